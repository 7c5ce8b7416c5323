// Starting the application behind the gateway (Win32).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "platform/win32/system.h"

namespace platform {

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
  HANDLE output = OpenOwnFile(outputPath, FILE_APPEND_DATA, true);
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

}  // namespace platform
