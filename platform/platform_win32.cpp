// Win32 side of the platform seam: a console process on Windows Sockets 1.1,
// the profile functions and the program's own version resource.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // GetTickCount64
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <afunix.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/profile_text.h"

namespace platform {
namespace {

// Windows Sockets' would-block code.
constexpr long kWinsockWouldBlock = WSAEWOULDBLOCK;  // 10035

// The most the module path may take, its NUL included.
constexpr DWORD kModulePathLimit = 4095;

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// The profile functions look for a bare file name in the Windows folder, not
// in the current one.
bool HasFolder(const char* path) {
  return std::strchr(path, '\\') || std::strchr(path, '/') || std::strchr(path, ':');
}

}  // namespace

void StartProcess() {
  // Version 1.1 is all the gateway uses; the result shows up as failing
  // socket calls, which are logged where they happen.
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
}

void StopProcess() { WSACleanup(); }

bool GetProgramPath(const char*, char* path, size_t size) {
  // The module path is the file the web server started, whatever argv[0]
  // says; a copy named nph-shop.exe reads nph-shop.ini.
  if (size == 0) return false;
  path[0] = '\0';
  DWORD limit = size > kModulePathLimit ? kModulePathLimit : static_cast<DWORD>(size);
  DWORD length = GetModuleFileNameA(nullptr, path, limit);
  // A full buffer means the path was cut (and, on older systems, not
  // terminated).
  if (length == 0 || length >= limit) {
    path[0] = '\0';
    return false;
  }
  path[length] = '\0';
  return true;
}

void GetProgramVersion(const char* programPath, char* version, size_t size) {
  if (size == 0) return;
  version[0] = '\0';
  if (!programPath || programPath[0] == '\0') return;
  DWORD ignored = 0;
  DWORD blockSize = GetFileVersionInfoSizeA(programPath, &ignored);
  if (blockSize == 0) return;
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, blockSize);
  if (!block) return;
  void* info = static_cast<void*>(block);  // GMEM_FIXED: the handle is the address
  if (GetFileVersionInfoA(programPath, 0, blockSize, info)) {
    char subBlock[] = "\\StringFileInfo\\000004b0\\FileVersion";
    void* text = nullptr;
    UINT length = 0;
    if (VerQueryValueA(info, subBlock, &text, &length) && text && length > 0) {
      size_t count = length;
      if (count > size - 1) count = size - 1;
      std::memcpy(version, text, count);
      version[count] = '\0';
    }
  }
  GlobalFree(block);
}

int32_t ReadStandardInput(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) return 0;
  DWORD got = 0;
  // A pipe whose writer has gone fails with ERROR_BROKEN_PIPE: that is the end.
  if (!ReadFile(input, buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
  return static_cast<int32_t>(got);
}

int32_t WriteStandardOutput(const char* buffer, int32_t count) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return 0;
  int32_t written = 0;
  while (written < count) {
    DWORD put = 0;
    if (!WriteFile(output, buffer + written, static_cast<DWORD>(count - written), &put,
                   nullptr) ||
        put == 0) {
      break;
    }
    written += static_cast<int32_t>(put);
  }
  return written;
}

// The C library's copy of the environment, which matches names without
// regard to case as the system does.
const char* FindEnvironmentVariable(const char* name) { return std::getenv(name); }

bool EnvironmentNameAt(int32_t index, char* name, size_t size) {
  if (index < 0 || size == 0 || !_environ) return false;
  for (int32_t i = 0; i < index; ++i) {
    if (!_environ[i]) return false;
  }
  const char* entry = _environ[index];
  if (!entry) return false;
  const char* equals = std::strchr(entry, '=');
  size_t length = equals ? static_cast<size_t>(equals - entry) : std::strlen(entry);
  if (length >= size) length = 0;
  std::memcpy(name, entry, length);
  name[length] = '\0';
  return true;
}

// IIS hands a FastCGI application a named pipe, not a socket; this build
// serves Windows web servers as a CGI program only.
bool StandardInputIsListener() { return false; }
SocketHandle AcceptOnStandardInput() { return kNoSocket; }

FILE* OpenLogForAppending(const char* path) {
  // Text mode: each "\n" is stored as CR LF, as Windows programs expect.
  return std::fopen(path, "a");
}

// The C runtime's tmpfile() puts its file in the drive's root, where the
// account a web server runs CGI programs as usually may not write.
FILE* OpenTemporaryFile() {
  char folder[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > sizeof folder || GetTempFileNameA(folder, "ngw", 0, path) == 0) {
    return nullptr;
  }
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileA(path);  // GetTempFileNameA made it
    return nullptr;
  }
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "w+b");
  if (!stream) _close(descriptor);
  return stream;
}

int64_t FileStamp(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return -1;
  uint64_t stamp = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                    info.ftLastWriteTime.dwLowDateTime) ^
                   static_cast<uint64_t>(info.nFileSizeLow) << 40;
  return static_cast<int64_t>(stamp & INT64_MAX);
}

int64_t MonotonicSeconds() { return static_cast<int64_t>(GetTickCount64() / 1000); }

void SleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

SocketHandle OpenTcpSocket() {
  SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return handle == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(handle);
}

// Connects without blocking and waits for the outcome at most `timeoutSeconds`.
static bool ConnectWithin(SOCKET handle, const struct sockaddr_in& target, int timeoutSeconds) {
  u_long on = 1;
  if (ioctlsocket(handle, FIONBIO, &on) != 0) return false;
  bool connected =
      connect(handle, reinterpret_cast<const struct sockaddr*>(&target), sizeof target) == 0;
  int error = connected ? 0 : WSAGetLastError();
  if (!connected && error == WSAEWOULDBLOCK) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle, &writable);
    FD_SET(handle, &failed);
    struct timeval limit;
    limit.tv_sec = timeoutSeconds;
    limit.tv_usec = 0;
    int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) {
      error = WSAETIMEDOUT;
    } else if (ready > 0 && FD_ISSET(handle, &writable)) {
      connected = true;
    } else if (ready > 0) {
      int size = sizeof error;
      if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
          error == 0) {
        error = WSAECONNREFUSED;
      }
    } else {
      error = WSAGetLastError();
    }
  }
  u_long off = 0;
  ioctlsocket(handle, FIONBIO, &off);
  WSASetLastError(error);
  return connected;
}

bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int timeoutSeconds) {
  struct sockaddr_in target;
  std::memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(address);
  target.sin_port = htons(port);
  SOCKET handle = Native(socket);
  bool connected =
      timeoutSeconds > 0
          ? ConnectWithin(handle, target, timeoutSeconds)
          : connect(handle, reinterpret_cast<struct sockaddr*>(&target), sizeof target) == 0;
  if (!connected) return false;
  // The request goes out in one piece; don't hold its tail back.
  BOOL on = TRUE;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return true;
}

// The bound is kept on the socket itself (SO_SNDTIMEO), where SendOnSocket
// reads it back when a send has to wait; the sends themselves are made
// without blocking (see there), so the system never applies it.
void SetSendTimeout(SocketHandle socket, int seconds) {
  if (seconds <= 0) return;
  DWORD milliseconds =
      seconds > 0x7fffffff / 1000 ? 0x7fffffff : static_cast<DWORD>(seconds) * 1000;
  setsockopt(Native(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds),
             sizeof milliseconds);
}

// Windows raises no signal for a closed connection: a failed send is just -1.
//
// The gateway sends on a blocking socket. A send that has to wait for room
// is made here as a non-blocking send after a wait for the socket to take
// more: a blocking send that is left waiting when the target resets the
// connection does not always return under Wine, and a gateway that never
// ends ties up the web server. Nor does Wine always end a wait for room
// when the connection is reset, so the wait is made in short slices with
// the send tried again after each: a reset shows there as the send's error.
// The whole wait is bounded by the socket's send timeout and then fails with
// WSAETIMEDOUT, as a blocking send with that timeout fails on Windows. The
// result may be a part of `count`; the caller sends the rest.
int32_t SendOnSocket(SocketHandle socket, const char* data, int32_t count) {
  constexpr DWORD kWaitSliceMs = 100;
  SOCKET handle = Native(socket);
  u_long on = 1;
  if (ioctlsocket(handle, FIONBIO, &on) != 0) {
    int sent = send(handle, data, count, 0);
    return sent == SOCKET_ERROR ? -1 : static_cast<int32_t>(sent);
  }
  bool waiting = false;
  ULONGLONG started = 0;
  DWORD bound = 0;  // milliseconds; 0: no bound
  int sent;
  for (;;) {
    sent = send(handle, data, count, 0);
    if (sent != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK) break;
    ULONGLONG now = GetTickCount64();
    if (!waiting) {
      waiting = true;
      started = now;
      int size = sizeof bound;
      char* value = reinterpret_cast<char*>(&bound);
      if (getsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, value, &size) != 0) bound = 0;
    }
    DWORD slice = kWaitSliceMs;
    if (bound > 0) {
      ULONGLONG waited = now - started;
      if (waited >= bound) {
        WSASetLastError(WSAETIMEDOUT);  // the target stopped taking the request
        break;
      }
      if (bound - waited < slice) slice = static_cast<DWORD>(bound - waited);
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle, &writable);
    FD_SET(handle, &failed);
    struct timeval limit;
    limit.tv_sec = static_cast<long>(slice / 1000);
    limit.tv_usec = static_cast<long>(slice % 1000) * 1000;
    if (select(0, nullptr, &writable, &failed, &limit) == SOCKET_ERROR) break;
  }
  int error = WSAGetLastError();
  u_long off = 0;
  ioctlsocket(handle, FIONBIO, &off);
  WSASetLastError(error);  // the caller logs the send's own error
  return sent == SOCKET_ERROR ? -1 : static_cast<int32_t>(sent);
}

int32_t ReceiveFromSocket(SocketHandle socket, char* buffer, int32_t count) {
  int got = recv(Native(socket), buffer, count, 0);
  return got == SOCKET_ERROR ? -1 : static_cast<int32_t>(got);
}

// Polling needs the socket in non-blocking mode (FIONBIO), and back in
// blocking mode before it is closed.
void BeginPolling(SocketHandle socket) {
  u_long on = 1;
  ioctlsocket(Native(socket), FIONBIO, &on);
}

void EndPolling(SocketHandle socket) {
  u_long off = 0;
  ioctlsocket(Native(socket), FIONBIO, &off);
}

int32_t ReceiveWithoutWaiting(SocketHandle socket, char* buffer, int32_t count) {
  return ReceiveFromSocket(socket, buffer, count);
}

void WaitReadable(SocketHandle socket, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  struct timeval limit;
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = (milliseconds % 1000) * 1000;
  int saved = WSAGetLastError();  // the caller reads the receive's error after the wait
  select(0, &readable, nullptr, nullptr, &limit);
  WSASetLastError(saved);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) closesocket(Native(socket));
}

long LastSocketError() { return WSAGetLastError(); }

long NormalizeErrorCode(long raw) { return raw == kWinsockWouldBlock ? kWouldBlock : raw; }

// Unix domain sockets came with Windows 10 version 1803; before it, and under
// Wine 8, the socket cannot be made (WSAEAFNOSUPPORT, 10047).
SocketHandle OpenLocalSocket() {
  SOCKET handle = socket(AF_UNIX, SOCK_STREAM, 0);
  return handle == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(handle);
}

// The timeout is not applied: a full queue refuses at once on Windows.
bool ConnectLocalSocket(SocketHandle socket, const char* path, int) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) {
    WSASetLastError(WSAENAMETOOLONG);
    return false;
  }
  std::memcpy(address.sun_path, path, length + 1);
  return connect(Native(socket), reinterpret_cast<struct sockaddr*>(&address), sizeof address) ==
         0;
}

bool NothingListens(long code) {
  return code == WSAECONNREFUSED || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool TimedOut(long code) { return code == WSAETIMEDOUT; }

// A socket file is a reparse point of its own kind.
void RemoveSocketFile(const char* path) {
  constexpr DWORD kSocketFileTag = 0x80000023;  // IO_REPARSE_TAG_AF_UNIX
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      found.dwReserved0 == kSocketFileTag) {
    DeleteFileA(path);
  }
}

bool ResolveIPv4(const char* hostName, uint32_t* address) {
  unsigned long dotted = inet_addr(hostName);
  // INADDR_NONE is also the answer for a text that is no address at all.
  if (dotted != INADDR_NONE || std::strcmp(hostName, "255.255.255.255") == 0) {
    *address = ntohl(dotted);
    return true;
  }
  const struct hostent* host = gethostbyname(hostName);
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list ||
      !host->h_addr_list[0]) {
    return false;
  }
  uint32_t first;
  std::memcpy(&first, host->h_addr_list[0], sizeof first);
  *address = ntohl(first);
  return true;
}

// Starting the application ----------------------------------------------------

namespace {

// What a started application gets of the gateway's environment: the system's
// basics, never the request's CGI variables. Sorted without regard to case,
// as an environment block must be.
const char* const kBasicVariables[] = {
    "APPDATA",     "COMSPEC",  "HOMEDRIVE",  "HOMEPATH",   "LOCALAPPDATA",
    "NUMBER_OF_PROCESSORS",    "OS",         "PATH",       "PATHEXT",
    "PROCESSOR_ARCHITECTURE",  "ProgramData", "ProgramFiles", "SystemDrive",
    "SystemRoot",  "TEMP",     "TMP",        "USERDOMAIN", "USERNAME",
    "USERPROFILE", "windir"};

// "NAME=value\0" for each basic variable that is set, then a final "\0".
// Returns nullptr when there is no memory.
char* MakeEnvironmentBlock() {
  constexpr DWORD kValueLimit = 32767;  // the system's own limit for a value
  size_t capacity = 2;  // an empty block is two NULs
  for (const char* name : kBasicVariables) {
    DWORD length = GetEnvironmentVariableA(name, nullptr, 0);
    if (length > 0 && length <= kValueLimit) capacity += std::strlen(name) + 1 + length;
  }
  char* block = static_cast<char*>(std::malloc(capacity));
  if (!block) return nullptr;
  size_t used = 0;
  for (const char* name : kBasicVariables) {
    size_t nameLength = std::strlen(name);
    if (used + nameLength + 2 >= capacity) break;
    DWORD room = static_cast<DWORD>(capacity - used - nameLength - 1);
    DWORD length = GetEnvironmentVariableA(name, block + used + nameLength + 1, room);
    if (length == 0 || length >= room) continue;
    std::memcpy(block + used, name, nameLength);
    block[used + nameLength] = '=';
    used += nameLength + 1 + length + 1;
  }
  block[used] = '\0';
  block[used + 1] = '\0';
  return block;
}

// A handle the started process may inherit (given to it by name below).
HANDLE OpenInheritable(const char* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inheritable, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// cmd.exe runs the command, as /bin/sh does on POSIX. CREATE_NO_WINDOW rather
// than DETACHED_PROCESS: cmd.exe and every console program it starts then
// share one hidden console of their own, where a detached cmd.exe would have
// the system open a new console for each of them.
bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   StartedProcess* process) {
  char interpreter[MAX_PATH];
  UINT systemLength = GetSystemDirectoryA(interpreter, MAX_PATH - 16);
  if (systemLength == 0 || systemLength >= MAX_PATH - 16) return false;
  std::strcat(interpreter, "\\cmd.exe");
  // /d: no AutoRun commands from the registry; /s: the text between the outer
  // quotes is the command exactly as written.
  size_t lineSize = std::strlen(interpreter) + std::strlen(command) + 32;
  char* line = static_cast<char*>(std::malloc(lineSize));
  char* environment = MakeEnvironmentBlock();
  HANDLE input = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE output = OpenInheritable(outputPath, FILE_APPEND_DATA, OPEN_ALWAYS);
  if (output == INVALID_HANDLE_VALUE) {
    process->outputError = static_cast<long>(GetLastError());
    output = OpenInheritable("NUL", GENERIC_WRITE, OPEN_EXISTING);
  }
  SIZE_T listSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
  auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(std::malloc(listSize));
  HANDLE inherited[2] = {input, output};
  bool ready = line && environment && list && input != INVALID_HANDLE_VALUE &&
               output != INVALID_HANDLE_VALUE &&
               InitializeProcThreadAttributeList(list, 1, 0, &listSize);
  // Only these two handles go to the application. The web server's pipes (our
  // standard handles) above all must not: the server waits for them to close.
  if (ready && !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                          sizeof inherited, nullptr, nullptr)) {
    DeleteProcThreadAttributeList(list);
    ready = false;
  }
  bool started = false;
  if (ready) {
    // Where the list is not honoured, the standard handles still stay behind.
    const DWORD standards[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : standards) {
      HANDLE standard = GetStdHandle(which);
      if (standard && standard != INVALID_HANDLE_VALUE) {
        SetHandleInformation(standard, HANDLE_FLAG_INHERIT, 0);
      }
    }
    std::snprintf(line, lineSize, "\"%s\" /d /s /c \"%s\"", interpreter, command);
    STARTUPINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.StartupInfo.cb = sizeof info;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = input;
    info.StartupInfo.hStdOutput = output;
    info.StartupInfo.hStdError = output;
    info.lpAttributeList = list;
    PROCESS_INFORMATION created;
    DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;
    // Out of the web server's job, so that the end of the request, or of the
    // server's worker, does not end the application; where the job does not
    // allow it, inside.
    started = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE,
                             flags | CREATE_BREAKAWAY_FROM_JOB, environment,
                             folder[0] ? folder : nullptr, &info.StartupInfo, &created);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
      started = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, flags, environment,
                               folder[0] ? folder : nullptr, &info.StartupInfo, &created);
      process->sharesServerJob = started;
    }
    if (started) {
      CloseHandle(created.hThread);
      process->handle = reinterpret_cast<intptr_t>(created.hProcess);
      process->id = static_cast<intptr_t>(created.dwProcessId);
    }
    DeleteProcThreadAttributeList(list);
  }
  DWORD error = GetLastError();
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  std::free(list);
  std::free(environment);
  std::free(line);
  SetLastError(error);
  return started;
}

ProcessState CheckProcess(StartedProcess* process, long* code) {
  HANDLE handle = reinterpret_cast<HANDLE>(process->handle);
  DWORD exitCode = 0;
  if (WaitForSingleObject(handle, 0) != WAIT_OBJECT_0 || !GetExitCodeProcess(handle, &exitCode)) {
    return ProcessState::kRunning;
  }
  *code = static_cast<long>(exitCode);
  return ProcessState::kExited;
}

// Ends cmd.exe; a program it started runs on (Windows keeps no tree of them).
void EndProcess(StartedProcess* process) {
  TerminateProcess(reinterpret_cast<HANDLE>(process->handle), 1);
}

void ReleaseProcess(StartedProcess* process) {
  if (process->handle) CloseHandle(reinterpret_cast<HANDLE>(process->handle));
  process->handle = 0;
}

long LastSystemError() { return static_cast<long>(GetLastError()); }

FileLock::Result FileLock::TryLock(const char* path) {
  Unlock();
  // Not inheritable: the lock must not pass to the application.
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kFailed;
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return error == ERROR_LOCK_VIOLATION ? kBusy : kFailed;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return kLocked;
}

void FileLock::Unlock() {
  if (handle_ == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

// Settings file -------------------------------------------------------------
//
// The system's own profile functions read the file; they look for it on each
// call, through their cache.

ProfileFile::ProfileFile(const char* path) {
  if (!path) return;
  size_t length = std::strlen(path);
  if (length == 0) return;
  const char* prefix = HasFolder(path) ? "" : ".\\";
  size_t prefixLength = std::strlen(prefix);
  path_ = static_cast<char*>(std::malloc(prefixLength + length + 1));
  if (!path_) return;
  std::memcpy(path_, prefix, prefixLength);
  std::memcpy(path_ + prefixLength, path, length + 1);
}

ProfileFile::~ProfileFile() {
  std::free(text_);
  std::free(path_);
}

void ProfileFile::GetString(const char* section, const char* key, const char* fallback,
                            char* out, size_t size) const {
  if (size == 0) return;
  if (!path_) {
    size_t length = std::strlen(fallback);
    if (length >= size) length = size - 1;
    std::memcpy(out, fallback, length);
    out[length] = '\0';
    return;
  }
  DWORD limit = size > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(size);
  GetPrivateProfileStringA(section, key, fallback, out, limit, path_);
}

long ProfileFile::GetInteger(const char* section, const char* key, long fallback) const {
  if (!path_) return fallback;
  // The text decides whether there is a number at all: the profile functions
  // would read a value without digits as 0, where the key's default is the
  // sounder reading (and the one the POSIX side gives).
  char text[64];
  GetPrivateProfileStringA(section, key, "", text, sizeof text, path_);
  long ignored = 0;
  if (!ParseProfileInteger(text, std::strlen(text), &ignored)) return fallback;
  // The number itself is read the system's way: 32 bits, the low bits kept.
  UINT value = GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), path_);
  return static_cast<long>(static_cast<int32_t>(value));
}

}  // namespace platform
