// Starting the application behind the gateway (Win32).
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/process.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

// What a started application gets of the gateway's environment: the system's
// basics, never the request's CGI variables. Sorted without regard to case,
// as an environment block must be.
const wchar_t* const kBasicVariables[] = {
    L"APPDATA",     L"COMSPEC",  L"HOMEDRIVE",  L"HOMEPATH",   L"LOCALAPPDATA",
    L"NUMBER_OF_PROCESSORS",     L"OS",         L"PATH",       L"PATHEXT",
    L"PROCESSOR_ARCHITECTURE",   L"ProgramData", L"ProgramFiles", L"SystemDrive",
    L"SystemRoot",  L"TEMP",     L"TMP",        L"USERDOMAIN", L"USERNAME",
    L"USERPROFILE", L"windir"};

// "NAME=value\0" for each basic variable that is set, then a final "\0", in
// UTF-16 (CREATE_UNICODE_ENVIRONMENT): the values pass as the system has them.
// Returns nullptr when there is no memory.
wchar_t* MakeEnvironmentBlock() {
  constexpr DWORD kValueLimit = 32767;  // the system's own limit for a value
  size_t capacity = 2;  // an empty block is two NULs
  for (const wchar_t* name : kBasicVariables) {
    DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
    if (length > 0 && length <= kValueLimit) capacity += wcslen(name) + 1 + length;
  }
  auto* block = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
  if (!block) return nullptr;
  size_t used = 0;
  for (const wchar_t* name : kBasicVariables) {
    size_t nameLength = wcslen(name);
    if (used + nameLength + 2 >= capacity) break;
    DWORD room = static_cast<DWORD>(capacity - used - nameLength - 1);
    DWORD length = GetEnvironmentVariableW(name, block + used + nameLength + 1, room);
    if (length == 0 || length >= room) continue;
    std::memcpy(block + used, name, nameLength * sizeof(wchar_t));
    block[used + nameLength] = L'=';
    used += nameLength + 1 + length + 1;
  }
  block[used] = L'\0';
  block[used + 1] = L'\0';
  return block;
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
                   StartedProcess* process) {
  wchar_t interpreter[MAX_PATH];
  UINT systemLength = GetSystemDirectoryW(interpreter, MAX_PATH - 16);
  if (systemLength == 0 || systemLength >= MAX_PATH - 16) return false;
  wcscat(interpreter, L"\\cmd.exe");
  WideText wideCommand(command), wideFolder(folder), wideOutput(outputPath);
  if (!wideCommand.get() || !wideFolder.get()) return false;
  // /d: no AutoRun commands from the registry; /s: the text between the outer
  // quotes is the command exactly as written.
  size_t lineSize = wcslen(interpreter) + wcslen(wideCommand.get()) + 32;
  auto* line = static_cast<wchar_t*>(std::malloc(lineSize * sizeof(wchar_t)));
  wchar_t* environment = MakeEnvironmentBlock();
  HANDLE input = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE output = OpenInheritable(wideOutput.get(), FILE_APPEND_DATA, OPEN_ALWAYS);
  if (output == INVALID_HANDLE_VALUE) {
    process->outputError = static_cast<long>(GetLastError());
    output = OpenInheritable(L"NUL", GENERIC_WRITE, OPEN_EXISTING);
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
    DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT |
                  CREATE_UNICODE_ENVIRONMENT;
    const wchar_t* where = folder[0] ? wideFolder.get() : nullptr;
    // Out of the web server's job, so that the end of the request, or of the
    // server's worker, does not end the application; where the job does not
    // allow it, inside.
    started = CreateProcessW(nullptr, line, nullptr, nullptr, TRUE,
                             flags | CREATE_BREAKAWAY_FROM_JOB, environment, where,
                             &info.StartupInfo, &created);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
      started = CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags, environment, where,
                               &info.StartupInfo, &created);
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
