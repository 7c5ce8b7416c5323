// Starting the application behind the gateway (POSIX).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/cgi_channel.h"
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
                   StartedProcess* process) {
  // Everything the child needs is made before the fork.
  char* environment[kBasicCount + 2];
  size_t count = 0;
  bool hasPath = false;
  for (const char* name : kBasicVariables) {
    const char* value = FindEnvironmentVariable(name);
    if (!value) continue;
    // The value lies in its "NAME=value" entry of the environment.
    environment[count++] = const_cast<char*>(value - std::strlen(name) - 1);
    hasPath = hasPath || std::strcmp(name, "PATH") == 0;
  }
  if (!hasPath) environment[count++] = kDefaultPath;
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

long LastSystemError() { return errno; }

}  // namespace platform
