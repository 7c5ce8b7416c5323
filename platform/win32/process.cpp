// Starting the application behind the gateway (Win32).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/cgi_channel.h"
#include "platform/process.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

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

// The length of the name in a "NAME=value" entry.
size_t NameLength(const char* entry) {
  const char* equals = std::strchr(entry + 1, '=');  // a name may begin with "="
  return equals ? static_cast<size_t>(equals - entry) : std::strlen(entry);
}

// Whether the "NAME=value" entries of `environment` set `name` (any case).
bool SetsVariable(const char* environment, const char* name) {
  size_t length = std::strlen(name);
  for (const char* entry = environment; entry && *entry; entry += std::strlen(entry) + 1) {
    if (NameLength(entry) == length && _strnicmp(entry, name, length) == 0) return true;
  }
  return false;
}

// Names compared as the system sorts an environment block: without regard
// to case.
int CompareEntries(const void* left, const void* right) {
  const char* a = *static_cast<const char* const*>(left);
  const char* b = *static_cast<const char* const*>(right);
  size_t aLength = NameLength(a), bLength = NameLength(b);
  int order = _strnicmp(a, b, aLength < bLength ? aLength : bLength);
  return order != 0 ? order : (aLength < bLength ? -1 : aLength > bLength ? 1 : 0);
}

// "NAME=value\0" for each basic variable that is set and each extra entry
// (in place of a basic one of the same name), sorted, then a final "\0".
// Returns nullptr when there is no memory.
char* MakeEnvironmentBlock(const char* extra) {
  constexpr size_t kBasicCount = sizeof kBasicVariables / sizeof kBasicVariables[0];
  size_t capacity = 2;  // an empty block is two NULs
  size_t extraCount = 0;
  for (const char* entry = extra; entry && *entry; entry += std::strlen(entry) + 1) {
    capacity += std::strlen(entry) + 1;
    ++extraCount;
  }
  // The basics as UTF-8, from the environment as the program read it.
  for (const char* name : kBasicVariables) {
    const char* value = FindEnvironmentVariable(name);
    if (value) capacity += std::strlen(name) + 1 + std::strlen(value) + 1;
  }
  char* basics = static_cast<char*>(std::malloc(capacity));
  char* block = static_cast<char*>(std::malloc(capacity));
  const char** entries =
      static_cast<const char**>(std::malloc((kBasicCount + extraCount + 1) * sizeof(char*)));
  size_t count = 0;
  size_t used = 0;
  for (const char* name : kBasicVariables) {
    if (!basics || !block || !entries) break;
    size_t nameLength = std::strlen(name);
    if (used + nameLength + 2 >= capacity || SetsVariable(extra, name)) continue;
    const char* value = FindEnvironmentVariable(name);
    size_t length = value ? std::strlen(value) : 0;
    if (!value || length >= capacity - used - nameLength - 1) continue;
    std::memcpy(basics + used + nameLength + 1, value, length + 1);
    std::memcpy(basics + used, name, nameLength);
    basics[used + nameLength] = '=';
    entries[count++] = basics + used;
    used += nameLength + 1 + length + 1;
  }
  for (const char* entry = extra; entries && entry && *entry; entry += std::strlen(entry) + 1) {
    entries[count++] = entry;
  }
  if (block && entries) {
    std::qsort(entries, count, sizeof *entries, CompareEntries);
    used = 0;
    for (size_t i = 0; i < count; ++i) {
      size_t length = std::strlen(entries[i]) + 1;
      std::memcpy(block + used, entries[i], length);
      used += length;
    }
    block[used] = '\0';
    block[used + 1] = '\0';
  } else {
    std::free(block);
    block = nullptr;
  }
  std::free(entries);
  std::free(basics);
  return block;
}

// The bytes of an environment block with both NULs that MakeEnvironmentBlock
// ends it with (an empty block is two NULs); 0 for none.
size_t BlockLength(const char* block) {
  const char* end = block;
  while (end && *end) end += std::strlen(end) + 1;
  return end ? static_cast<size_t>(end - block) + 2 : 0;
}

// The name of the job that holds a started application and what it starts,
// so that a later request can end them all.
void JobName(int64_t id, int64_t mark, char* out, size_t size) {
  std::snprintf(out, size, "Local\\nph-gw-%lld-%lld", static_cast<long long>(id),
                static_cast<long long>(mark));
}

int64_t CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<int64_t>(static_cast<uint64_t>(created.dwHighDateTime) << 32 |
                              created.dwLowDateTime);
}

// A handle the started process may inherit (given to it by name below).
HANDLE OpenInheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  if (!path) return INVALID_HANDLE_VALUE;
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inheritable, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// cmd.exe runs the command, as /bin/sh does on POSIX. CREATE_NO_WINDOW rather
// than DETACHED_PROCESS: cmd.exe and every console program it starts then
// share one hidden console of their own, where a detached cmd.exe would have
// the system open a new console for each of them.
bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   const char* extraEnvironment, StartedProcess* process) {
  wchar_t interpreter[MAX_PATH];
  UINT systemLength = GetSystemDirectoryW(interpreter, MAX_PATH - 16);
  if (systemLength == 0 || systemLength >= MAX_PATH - 16) return false;
  wcscat(interpreter, L"\\cmd.exe");
  WideText wideCommand(command), wideFolder(folder);
  if (!wideCommand.get() || !wideFolder.get()) return false;
  // /d: no AutoRun commands from the registry; /s: the text between the outer
  // quotes is the command exactly as written.
  size_t lineSize = wcslen(interpreter) + wcslen(wideCommand.get()) + 32;
  auto* line = static_cast<wchar_t*>(std::malloc(lineSize * sizeof(wchar_t)));
  char* block = MakeEnvironmentBlock(extraEnvironment);
  // In UTF-16 (CREATE_UNICODE_ENVIRONMENT): the values pass as the system has them.
  WideText environment(block, static_cast<int>(BlockLength(block)));
  std::free(block);
  HANDLE input = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE output = OpenOwnFile(outputPath, FILE_APPEND_DATA, true);
  if (output == INVALID_HANDLE_VALUE) {
    process->outputError = static_cast<long>(GetLastError());
    output = OpenInheritable(L"NUL", GENERIC_WRITE, OPEN_EXISTING);
  }
  SIZE_T listSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
  auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(std::malloc(listSize));
  HANDLE inherited[2] = {input, output};
  bool ready = line && environment.get() && list && input != INVALID_HANDLE_VALUE &&
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
    const wchar_t* parts[] = {L"\"", interpreter, L"\" /d /s /c \"", wideCommand.get(), L"\""};
    line[0] = L'\0';
    for (const wchar_t* part : parts) wcscat(line, part);
    STARTUPINFOEXW info;
    std::memset(&info, 0, sizeof info);
    info.StartupInfo.cb = sizeof info;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = input;
    info.StartupInfo.hStdOutput = output;
    info.StartupInfo.hStdError = output;
    info.lpAttributeList = list;
    PROCESS_INFORMATION created;
    // Suspended until it is in its job, so that nothing it starts escapes it.
    DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT |
                  CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    const wchar_t* where = folder[0] ? wideFolder.get() : nullptr;
    // Out of the web server's job, so that the end of the request, or of the
    // server's worker, does not end the application; where the job does not
    // allow it, inside.
    started = CreateProcessW(nullptr, line, nullptr, nullptr, TRUE,
                             flags | CREATE_BREAKAWAY_FROM_JOB,
                             const_cast<wchar_t*>(environment.get()), where,
                             &info.StartupInfo, &created);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
      started = CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags,
                               const_cast<wchar_t*>(environment.get()), where, &info.StartupInfo,
                               &created);
      process->sharesServerJob = started;
    }
    if (started) {
      char name[64];
      JobName(created.dwProcessId, CreationTime(created.hProcess), name, sizeof name);
      HANDLE job = CreateJobObjectA(nullptr, name);
      // Where jobs do not nest (before Windows 8, inside the web server's
      // job), it runs without one and only cmd.exe can be ended.
      if (job && !AssignProcessToJobObject(job, created.hProcess)) {
        CloseHandle(job);
        job = nullptr;
      }
      // A job's name lasts while a handle to it is open: the application
      // holds one (unused), so a later request finds the job by its name.
      HANDLE kept = nullptr;
      if (job) {
        DuplicateHandle(GetCurrentProcess(), job, created.hProcess, &kept, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
      }
      ResumeThread(created.hThread);
      CloseHandle(created.hThread);
      process->handle = reinterpret_cast<intptr_t>(created.hProcess);
      process->job = reinterpret_cast<intptr_t>(job);
      process->id = static_cast<intptr_t>(created.dwProcessId);
    }
    DeleteProcThreadAttributeList(list);
  }
  DWORD error = GetLastError();
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  std::free(list);
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

// Ends cmd.exe and what it started (its job); without a job, cmd.exe only.
void EndProcess(StartedProcess* process) {
  if (!process->job || !TerminateJobObject(reinterpret_cast<HANDLE>(process->job), 1)) {
    TerminateProcess(reinterpret_cast<HANDLE>(process->handle), 1);
  }
}

// The job lives on with the processes in it, to be found again by its name.
void ReleaseProcess(StartedProcess* process) {
  if (process->handle) CloseHandle(reinterpret_cast<HANDLE>(process->handle));
  if (process->job) CloseHandle(reinterpret_cast<HANDLE>(process->job));
  process->handle = process->job = 0;
}

ProcessMark MarkOf(const StartedProcess& process) {
  ProcessMark mark;
  mark.id = process.id;
  mark.mark = CreationTime(reinterpret_cast<HANDLE>(process.handle));
  return mark;
}

namespace {

// The process itself, when it still runs: the same id and creation time.
HANDLE OpenRunning(const ProcessMark& process, DWORD access) {
  HANDLE handle = OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                              static_cast<DWORD>(process.id));
  if (!handle) return nullptr;
  if (CreationTime(handle) != process.mark || WaitForSingleObject(handle, 0) != WAIT_TIMEOUT) {
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

}  // namespace

bool StillRunning(const ProcessMark& process) {
  HANDLE handle = process.id > 0 ? OpenRunning(process, 0) : nullptr;
  if (handle) CloseHandle(handle);
  return handle != nullptr;
}

// No polite way to end a program without a window of ours: the job's
// processes end at once.
void StopProcessTree(const ProcessMark& process, int graceMilliseconds) {
  HANDLE handle = OpenRunning(process, PROCESS_TERMINATE);
  if (!handle) return;
  char name[64];
  JobName(process.id, process.mark, name, sizeof name);
  HANDLE job = OpenJobObjectA(JOB_OBJECT_TERMINATE, FALSE, name);
  if (!job || !TerminateJobObject(job, 1)) TerminateProcess(handle, 1);
  if (job) CloseHandle(job);
  WaitForSingleObject(handle, static_cast<DWORD>(graceMilliseconds));
  CloseHandle(handle);
}

long LastSystemError() { return static_cast<long>(GetLastError()); }

}  // namespace platform
