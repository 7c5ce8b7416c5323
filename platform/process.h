// Starting the application behind the gateway ("StartCommand").
#pragma once

#include <cstdint>

namespace platform {

struct StartedProcess {
  intptr_t id = 0;             // the system's process id
  intptr_t handle = 0;         // Win32: the process handle
  long outputError = 0;        // the output file could not be opened: why
  bool sharesServerJob = false;  // Win32: the web server's job would not let it go
};

// Starts `command` through the system's command interpreter (/bin/sh -c;
// cmd.exe /c) in `folder`, detached from this process and from the request:
// a session (or process group and hidden console) of its own, nothing
// inherited but standard input from the null device and standard output and
// error appended to `outputPath` (the null device when that cannot be opened:
// `outputError` says why), and an environment of the system's basics only
// (PATH, HOME, LANG and the like), never the request's CGI variables. False,
// with LastSystemError, when it could not be started.
bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   StartedProcess* process);
// Whether the started process has ended: kExited with its exit code, kKilled
// with the signal that ended it.
enum class ProcessState { kRunning, kExited, kKilled };
ProcessState CheckProcess(StartedProcess* process, long* code);
// Ends the started process and, on POSIX, everything in its session.
void EndProcess(StartedProcess* process);
// Lets go of the process (it runs on).
void ReleaseProcess(StartedProcess* process);
// The last error of a file or process call, as the system numbers it.
long LastSystemError();

}  // namespace platform
