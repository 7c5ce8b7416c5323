// One request starts the application and holds the lock file beside the
// program until the application accepts or the start has failed; requests
// that find the lock taken do not start anything and wait for the target
// itself, so they connect as soon as it accepts.
#include "forwarding/target_start.h"

#include "log/request_log.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace {

// The pause between connection attempts while the application comes up.
constexpr int kRetryPauseMs = 25;

bool Accepts(TargetSocket& socket) {
  long error = 0;
  return socket.TryConnect(&error) == TargetSocket::Attempt::kConnected;
}

Failure WaitForStart(const ForwardSettings& settings, TargetSocket& socket, int64_t since,
                     platform::StartedProcess& process) {
  const RequestLog log(settings.logFile);
  bool ended = false;
  for (;;) {
    if (Accepts(socket)) return Failure::kNone;
    long code = 0;
    platform::ProcessState state =
        ended ? platform::ProcessState::kRunning : platform::CheckProcess(&process, &code);
    if (state == platform::ProcessState::kKilled) {
      log.SocketError("%sTarget ended by signal %ld", "\t", code);
      return Failure::kStartFailed;
    }
    if (state == platform::ProcessState::kExited) {
      ended = true;
      log.SocketError("%sTarget exited with code %ld", "\t", code);
      // A command that succeeds may have left the application running in the
      // background (a server that forks itself away); any other end is final.
      if (code != 0) return Failure::kStartFailed;
    }
    if (platform::MonotonicSeconds() - since > settings.startTimeoutSeconds) {
      // Left running, it would still be coming up when the next request
      // starts another copy; stopped, the next request starts afresh.
      log.SocketError(ended ? "%sTarget not accepting after %ld s"
                            : "%sTarget not accepting after %ld s, stopped",
                      "\t", settings.startTimeoutSeconds);
      if (!ended) platform::EndProcess(&process);
      return Failure::kStartFailed;
    }
    platform::SleepMilliseconds(kRetryPauseMs);
  }
}

// The line for a file of the gateway's own that could not be used: `what`
// with the system's error code, or the path of a link, which is never used.
void LogFileNotUsed(const RequestLog& log, const char* what, long error, const char* path) {
  if (platform::IsLinkRefused(error)) {
    log.Event("File is a link, not used: ", path);
  } else {
    log.SocketError(what, "\t", error);
  }
}

Failure WaitForOtherStart(const ForwardSettings& settings, TargetSocket& socket,
                          platform::FileLock& lock) {
  const RequestLog log(settings.logFile);
  const int64_t since = platform::MonotonicSeconds();
  for (;;) {
    platform::SleepMilliseconds(kRetryPauseMs);
    if (Accepts(socket)) return Failure::kNone;
    // The starter keeps the lock until the application accepts or it gives
    // up: a free lock and still no target means it gave up (the attempt is
    // made once more, in case the target came up in between).
    if (lock.TryLock(settings.lockPath) == platform::FileLock::kLocked) {
      lock.Unlock();
      if (Accepts(socket)) return Failure::kNone;
      log.Event("Target start by another request failed");
      return Failure::kStartFailed;
    }
    if (platform::MonotonicSeconds() - since > settings.startTimeoutSeconds) {
      log.SocketError("%sTarget not accepting after %ld s", "\t", settings.startTimeoutSeconds);
      return Failure::kStartFailed;
    }
  }
}

}  // namespace

Failure StartTarget(const ForwardSettings& settings, TargetSocket& socket) {
  const RequestLog log(settings.logFile);
  platform::FileLock lock;
  switch (lock.TryLock(settings.lockPath)) {
    case platform::FileLock::kFailed:
      LogFileNotUsed(log, "%sLock file not usable: %ld", platform::LastSystemError(),
                     settings.lockPath);
      return Failure::kStartFailed;
    case platform::FileLock::kBusy:
      log.Event("Target being started by another request");
      return WaitForOtherStart(settings, socket, lock);
    case platform::FileLock::kLocked:
      break;
  }
  // Another request may have brought it up since our first attempt.
  long error = 0;
  if (socket.TryConnect(&error) == TargetSocket::Attempt::kConnected) return Failure::kNone;
  // A socket file that refuses is left from a copy that was killed; the new
  // one could not listen there while it stays.
  if (settings.targetSocket[0] != '\0' && platform::NothingListens(error)) {
    platform::RemoveSocketFile(settings.targetSocket);
  }
  platform::StartedProcess process;
  if (!platform::StartDetached(settings.startCommand, settings.programFolder,
                               settings.startLogPath, &process)) {
    log.SocketError("%sTarget not started: %ld", "\t", platform::LastSystemError());
    return Failure::kStartFailed;
  }
  log.SocketError("%sTarget started, process %ld", "\t", static_cast<long>(process.id));
  if (process.outputError != 0) {
    LogFileNotUsed(log, "%sStart log not usable: %ld", process.outputError,
                   settings.startLogPath);
  }
  if (process.sharesServerJob) log.Event("Target runs in the web server's job and may end with it");
  Failure accepted = WaitForStart(settings, socket, platform::MonotonicSeconds(), process);
  platform::ReleaseProcess(&process);
  return accepted;
}
