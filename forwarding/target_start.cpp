// Starting the application behind the gateway when nothing listens
// ("StartCommand"). One request starts it and holds the lock file beside the
// program until the application accepts or the start has failed; requests
// that find the lock taken do not start anything and wait for the target
// itself, so they connect as soon as it accepts.
#include "forwarding/target_connection.h"
#include "log/request_log.h"

namespace {

// The pause between connection attempts while the application comes up.
constexpr int kRetryPauseMs = 25;

void LogCode(const char* format, long code, FILE* log) {
  if (log) LogSocketError(format, "\t", code, log);
}

}  // namespace

bool TargetConnection::StartTarget() {
  FILE* log = settings_.logFile;
  platform::FileLock lock;
  switch (lock.TryLock(settings_.lockPath)) {
    case platform::FileLock::kFailed:
      LogCode("%sLock file not usable: %ld", platform::LastSystemError(), log);
      return false;
    case platform::FileLock::kBusy:
      Log("Target being started by another request");
      return WaitForOtherStart(lock);
    case platform::FileLock::kLocked:
      break;
  }
  // Another request may have brought it up since our first attempt.
  long error = 0;
  if (TryConnect(&error) == Attempt::kConnected) return true;
  // A socket file that refuses is left from a copy that was killed; the new
  // one could not listen there while it stays.
  if (settings_.targetSocket[0] != '\0' && platform::NothingListens(error)) {
    platform::RemoveSocketFile(settings_.targetSocket);
  }
  platform::StartedProcess process;
  if (!platform::StartDetached(settings_.startCommand, settings_.programFolder,
                               settings_.startLogPath, &process)) {
    LogCode("%sTarget not started: %ld", platform::LastSystemError(), log);
    return false;
  }
  LogCode("%sTarget started, process %ld", static_cast<long>(process.id), log);
  if (process.outputError != 0) LogCode("%sStart log not usable: %ld", process.outputError, log);
  if (process.sharesServerJob) Log("Target runs in the web server's job and may end with it");
  bool accepted = WaitForStart(platform::MonotonicSeconds(), process);
  platform::ReleaseProcess(&process);
  return accepted;
}

bool TargetConnection::WaitForStart(int64_t since, platform::StartedProcess& process) {
  FILE* log = settings_.logFile;
  bool ended = false;
  for (;;) {
    long error = 0;
    if (TryConnect(&error) == Attempt::kConnected) return true;
    long code = 0;
    platform::ProcessState state =
        ended ? platform::ProcessState::kRunning : platform::CheckProcess(&process, &code);
    if (state == platform::ProcessState::kKilled) {
      LogCode("%sTarget ended by signal %ld", code, log);
      return false;
    }
    if (state == platform::ProcessState::kExited) {
      ended = true;
      LogCode("%sTarget exited with code %ld", code, log);
      // A command that succeeds may have left the application running in the
      // background (a server that forks itself away); any other end is final.
      if (code != 0) return false;
    }
    if (platform::MonotonicSeconds() - since > settings_.startTimeoutSeconds) {
      // Left running, it would still be coming up when the next request
      // starts another copy; stopped, the next request starts afresh.
      LogCode(ended ? "%sTarget not accepting after %ld s" : "%sTarget not accepting after %ld s, stopped",
              settings_.startTimeoutSeconds, log);
      if (!ended) platform::EndProcess(&process);
      return false;
    }
    platform::SleepMilliseconds(kRetryPauseMs);
  }
}

bool TargetConnection::WaitForOtherStart(platform::FileLock& lock) {
  const int64_t since = platform::MonotonicSeconds();
  for (;;) {
    platform::SleepMilliseconds(kRetryPauseMs);
    long error = 0;
    if (TryConnect(&error) == Attempt::kConnected) return true;
    // The starter keeps the lock until the application accepts or it gives
    // up: a free lock and still no target means it gave up (the attempt is
    // made once more, in case the target came up in between).
    if (lock.TryLock(settings_.lockPath) == platform::FileLock::kLocked) {
      lock.Unlock();
      if (TryConnect(&error) == Attempt::kConnected) return true;
      Log("Target start by another request failed");
      return false;
    }
    if (platform::MonotonicSeconds() - since > settings_.startTimeoutSeconds) {
      LogCode("%sTarget not accepting after %ld s", settings_.startTimeoutSeconds, settings_.logFile);
      return false;
    }
  }
}
