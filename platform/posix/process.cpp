// Starting the application behind the gateway (POSIX).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/cgi_channel.h"
#include "platform/clock.h"
#include "platform/posix/system.h"
#include "platform/process.h"

namespace platform {

namespace {

// What a started application gets of the gateway's environment: the system's
// basics. The rest came from the web server for this one request
// (REQUEST_METHOD, QUERY_STRING, HTTP_*, REMOTE_USER ...) and must not follow
// the application into its later life.
const char* const kBasicVariables[] = {"PATH", "HOME", "LANG", "LC_ALL", "LC_CTYPE",
                                       "TZ",   "TMPDIR", "USER", "LOGNAME"};
constexpr size_t kBasicCount = sizeof kBasicVariables / sizeof kBasicVariables[0];
char kDefaultPath[] = "PATH=/usr/local/bin:/usr/bin:/bin";

void CloseDescriptorsFrom(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) close(static_cast<int>(fd));
}

// Whether the "NAME=value" entries of `environment` set `name`.
bool SetsVariable(const char* environment, const char* name) {
  size_t length = std::strlen(name);
  for (const char* entry = environment; entry && *entry; entry += std::strlen(entry) + 1) {
    if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
  }
  return false;
}

// The start time (clock ticks since the system's start) and state letter of
// a process, from Linux's /proc; false where there is none to read.
bool ReadProcessStart(int64_t id, int64_t* ticks, char* state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(id));
  char text[1024];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  // The name in parentheses may hold blanks; the fields after it do not:
  // the state, then the start time as the twentieth after it.
  const char* at = std::strrchr(text, ')');
  if (!at || at[1] != ' ') return false;
  *state = at[2];
  for (int field = 0; field < 20 && at; ++field) at = std::strchr(at + 1, ' ');
  if (!at) return false;
  *ticks = std::strtoll(at + 1, nullptr, 10);
  return true;
}

void WriteError(const char* what, const char* subject) {
  const char* parts[] = {"nph-gw: ", what, subject, "\n"};
  for (const char* part : parts) {
    ssize_t ignored = write(STDERR_FILENO, part, std::strlen(part));
    (void)ignored;
  }
}

// In the child after fork: becomes the application. Never returns.
[[noreturn]] void BecomeApplication(int input, int output, const char* folder,
                                    const char* command, char* const* environment) {
  setsid();  // a session of its own: no signal aimed at the web server's reaches it
  dup2(input, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  dup2(output, STDERR_FILENO);
  for (int fd = 0; fd <= 2; ++fd) fcntl(fd, F_SETFD, 0);
  // Nothing else: the web server waits for the CGI's pipes to close, and the
  // lock file must stay the gateway's.
  CloseDescriptorsFrom(3);
  // Signals the web server or the gateway ignore (SIGPIPE) would stay ignored
  // across exec; the application starts with the defaults.
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) signal(signal_number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (folder[0] != '\0' && chdir(folder) != 0) {
    WriteError("cannot enter ", folder);
    _exit(126);
  }
  char shell[] = "sh";
  char option[] = "-c";
  char* const arguments[] = {shell, option, const_cast<char*>(command), nullptr};
  execve("/bin/sh", arguments, environment);
  WriteError("cannot run ", "/bin/sh");
  _exit(127);
}

}  // namespace

bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   const char* extraEnvironment, StartedProcess* process) {
  // Everything the child needs is made before the fork: the basics, less
  // those the extra entries set, then the extra entries.
  size_t extraCount = 0;
  for (const char* entry = extraEnvironment; entry && *entry; entry += std::strlen(entry) + 1) {
    ++extraCount;
  }
  char** environment =
      static_cast<char**>(std::malloc((kBasicCount + extraCount + 2) * sizeof(char*)));
  if (!environment) return false;
  size_t count = 0;
  bool hasPath = false;
  for (const char* name : kBasicVariables) {
    const char* value = FindEnvironmentVariable(name);
    if (!value || SetsVariable(extraEnvironment, name)) continue;
    // The value lies in its "NAME=value" entry of the environment.
    environment[count++] = const_cast<char*>(value - std::strlen(name) - 1);
    hasPath = hasPath || std::strcmp(name, "PATH") == 0;
  }
  hasPath = hasPath || SetsVariable(extraEnvironment, "PATH");
  if (!hasPath) environment[count++] = kDefaultPath;
  for (const char* entry = extraEnvironment; entry && *entry; entry += std::strlen(entry) + 1) {
    environment[count++] = const_cast<char*>(entry);
  }
  environment[count] = nullptr;

  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int output = OpenOwnFile(outputPath, O_WRONLY | O_APPEND);
  if (output < 0) {
    process->outputError = errno;
    output = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  // The web server may have left child exits ignored, and then the exit code
  // could not be collected.
  signal(SIGCHLD, SIG_DFL);
  pid_t child = input >= 0 && output >= 0 ? fork() : -1;
  if (child == 0) BecomeApplication(input, output, folder, command, environment);
  int error = errno;
  if (input >= 0) close(input);
  if (output >= 0) close(output);
  std::free(environment);
  errno = error;
  if (child < 0) return false;
  process->id = child;
  return true;
}

ProcessState CheckProcess(StartedProcess* process, long* code) {
  int status = 0;
  pid_t ended = waitpid(static_cast<pid_t>(process->id), &status, WNOHANG);
  if (ended == 0) return ProcessState::kRunning;
  if (ended < 0) {
    *code = -1;  // not ours to wait for any more: it has ended, how is unknown
    return ProcessState::kExited;
  }
  if (WIFSIGNALED(status)) {
    *code = WTERMSIG(status);
    return ProcessState::kKilled;
  }
  *code = WEXITSTATUS(status);
  return ProcessState::kExited;
}

// The process leads its own session and so its own process group.
void EndProcess(StartedProcess* process) { killpg(static_cast<pid_t>(process->id), SIGTERM); }

void ReleaseProcess(StartedProcess* process) { process->id = 0; }

ProcessMark MarkOf(const StartedProcess& process) {
  ProcessMark mark;
  mark.id = process.id;
  char state = 0;
  if (!ReadProcessStart(process.id, &mark.mark, &state)) mark.mark = 0;
  return mark;
}

bool StillRunning(const ProcessMark& process) {
  if (process.id <= 0) return false;
  // Ours when this process started it (FastCGI mode): collected here once it
  // has ended, or it would linger as a zombie.
  waitpid(static_cast<pid_t>(process.id), nullptr, WNOHANG);
  int64_t ticks = 0;
  char state = 0;
  if (ReadProcessStart(process.id, &ticks, &state)) {
    return ticks == process.mark && state != 'Z' && state != 'X';
  }
  // No /proc: it is alive and leads its own session, as a started one does.
  pid_t id = static_cast<pid_t>(process.id);
  return process.mark == 0 && (kill(id, 0) == 0 || errno == EPERM) && getsid(id) == id;
}

void StopProcessTree(const ProcessMark& process, int graceMilliseconds) {
  // The process leads its own session and so its own process group; the
  // group keeps its number while any of it runs, so a late SIGKILL reaches
  // only what the application left behind.
  // The process itself too: it may not have made its group yet.
  const pid_t group = static_cast<pid_t>(process.id);
  kill(group, SIGTERM);
  killpg(group, SIGTERM);
  constexpr int kStep = 20;
  for (int waited = 0; waited < graceMilliseconds && StillRunning(process); waited += kStep) {
    SleepMilliseconds(kStep);
  }
  kill(group, SIGKILL);
  killpg(group, SIGKILL);
  for (int waited = 0; waited < 2000 && StillRunning(process); waited += kStep) {
    SleepMilliseconds(kStep);
  }
}

long LastSystemError() { return errno; }

}  // namespace platform
