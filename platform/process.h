// Starting the application behind the gateway ("StartCommand").
#pragma once

#include <cstdint>

namespace platform {

struct StartedProcess {
  intptr_t id = 0;             // the system's process id
  intptr_t handle = 0;         // Win32: the process handle
  intptr_t job = 0;            // Win32: the job that holds it and what it starts
  long outputError = 0;        // the output file could not be opened: why
  bool sharesServerJob = false;  // Win32: the web server's job would not let it go
};

// Starts `command` through the system's command interpreter (/bin/sh -c;
// cmd.exe /c) in `folder`, detached from this process and from the request:
// a session (or process group and hidden console) of its own, nothing
// inherited but standard input from the null device and standard output and
// error appended to `outputPath` (the null device when that cannot be opened:
// `outputError` says why), and an environment of the system's basics only
// (PATH, HOME, LANG and the like), never the request's CGI variables, with
// the "NAME=value" entries of `extraEnvironment` (each ending in a NUL, the
// last followed by another; nullptr for none) added or put in their place.
// False, with LastSystemError, when it could not be started.
bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   const char* extraEnvironment, StartedProcess* process);
// Whether the started process has ended: kExited with its exit code, kKilled
// with the signal that ended it.
enum class ProcessState { kRunning, kExited, kKilled };
ProcessState CheckProcess(StartedProcess* process, long* code);
// Ends the started process and, on POSIX, everything in its session.
void EndProcess(StartedProcess* process);
// Lets go of the process (it runs on).
void ReleaseProcess(StartedProcess* process);

// A started process as another process finds it again: its id, and a mark
// that a later process given the same id does not carry (Linux: the time it
// started, in clock ticks since the system's start; Windows: its creation
// time; 0 where the system tells neither).
struct ProcessMark {
  int64_t id = 0;
  int64_t mark = 0;
};
ProcessMark MarkOf(const StartedProcess& process);
// Whether that very process still runs (one that has ended counts as ended
// even before its parent collected it).
bool StillRunning(const ProcessMark& process);
// Stops it and what it started, then waits for it to end. POSIX: its process
// group is asked to end (SIGTERM) and, after `graceMilliseconds`, made to
// (SIGKILL). Windows: the processes of its job end at once.
void StopProcessTree(const ProcessMark& process, int graceMilliseconds);
// The last error of a file or process call, as the system numbers it.
long LastSystemError();

}  // namespace platform
