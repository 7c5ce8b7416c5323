// One request starts the application and holds the lock file beside the
// program until the application accepts or the start has failed; requests
// that find the lock taken do not start anything and wait for the target
// itself, so they connect as soon as it accepts. What a start leaves for the
// requests after it (the application's process, the failed starts) is kept
// in records beside the lock and judged under it.
#include "forwarding/target_start.h"

#include <cstdio>
#include <cstdlib>

#include "base/growing_buffer.h"
#include "base/owned_buffer.h"
#include "forwarding/environment_file.h"
#include "forwarding/start_records.h"
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
// How long a stopped application may take to end before it is made to.
constexpr int kStopGraceMs = 5000;
// What a browser is told to wait while a start is under way.
constexpr int kStartingRetrySeconds = 5;
constexpr int64_t kMaxEnvironmentFile = 64 * 1024;

bool Accepts(TargetSocket& socket) {
  long error = 0;
  return socket.TryConnect(&error) == TargetSocket::Attempt::kConnected;
}

platform::ProcessMark MarkOf(const RunningRecord& running) {
  platform::ProcessMark mark;
  mark.id = running.id;
  mark.mark = running.mark;
  return mark;
}

template <class Record>
bool ReadRecord(const char* path, Record* record) {
  char text[128];
  return platform::ReadFileStart(path, text, sizeof text) > 0 && ParseRecord(text, record);
}

template <class Record>
void WriteRecord(const char* path, const Record& record, const RequestLog& log) {
  char text[128];
  FormatRecord(record, text, sizeof text);
  if (!platform::WriteOwnFile(path, text)) {
    log.SocketError("%sStart record not written: %ld", "\t", platform::LastSystemError());
  }
}

// A start log grown past StartLogLimit is kept as ".1" and a new one begun.
void LimitStartLog(const ForwardSettings& settings) {
  platform::FileFacts facts;
  if (settings.startLogLimit <= 0 || !platform::LookAtFile(settings.startLogPath, &facts) ||
      facts.size <= settings.startLogLimit) {
    return;
  }
  char kept[sizeof settings.startLogPath + 2];
  std::snprintf(kept, sizeof kept, "%s.1", settings.startLogPath);
  platform::RenameReplacing(settings.startLogPath, kept);
}

// The entries of the environment file, with a log line for what is not used.
void ReadEnvironmentFile(const ForwardSettings& settings, const RequestLog& log,
                         GrowingBuffer& entries) {
  const char* path = settings.environmentFile;
  if (path[0] == '\0') return;
  char event[sizeof settings.environmentFile + 64];
  OwnedBuffer text(static_cast<char*>(std::malloc(kMaxEnvironmentFile + 2)));
  int64_t length = text ? platform::ReadFileStart(path, text.get(), kMaxEnvironmentFile + 2) : -1;
  if (length < 0 || length > kMaxEnvironmentFile) {
    std::snprintf(event, sizeof event, "Environment file not usable: %s", path);
    return log.Event(event);
  }
  platform::FileFacts facts;
  if (platform::LookAtFile(path, &facts) && facts.readableByEveryone) {
    std::snprintf(event, sizeof event, "Environment file readable by every user: %s", path);
    log.Event(event);
  }
  const char* at = text.get();
  for (long line = 1;; ++line) {
    EnvironmentLine kind = ReadEnvironmentLine(&at, entries);
    if (kind == EnvironmentLine::kEnd) break;
    if (kind == EnvironmentLine::kNotUnderstood) {
      log.SocketError("%sEnvironment file line %ld not understood", "\t", line);
    }
  }
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

// A restart waits for the lock itself, so that no request reaches the copy
// that is being stopped. False when it stays taken beyond a start's time.
bool WaitForLock(const ForwardSettings& settings, platform::FileLock& lock) {
  const int64_t until =
      platform::MonotonicMilliseconds() + settings.startTimeoutSeconds * 1000LL + kStopGraceMs;
  while (platform::MonotonicMilliseconds() < until) {
    platform::SleepMilliseconds(kRetryPauseMs);
    if (lock.TryLock(settings.lockPath) == platform::FileLock::kLocked) return true;
  }
  return false;
}

// An application of ours runs and does not accept: its starter may have been
// ended before it came up. It is given the rest of its start's time rather
// than joined by a second copy. False when it ends or does not come up.
bool WaitForRecorded(const ForwardSettings& settings, TargetSocket& socket,
                     const RunningRecord& running) {
  RequestLog(settings.logFile).SocketError("%sTarget started earlier, process %ld", "\t",
                                           static_cast<long>(running.id));
  const int64_t now = platform::WallClockMilliseconds();
  const int64_t timeout = settings.startTimeoutSeconds * 1000LL;
  const int64_t until = running.started + timeout < now + timeout ? running.started + timeout
                                                                  : now + timeout;
  while (platform::WallClockMilliseconds() < until) {
    if (Accepts(socket)) return true;
    if (!platform::StillRunning(MarkOf(running))) return false;
    platform::SleepMilliseconds(kRetryPauseMs);
  }
  return Accepts(socket);
}

// Starts the application, records it and waits for it to accept.
Failure Launch(const ForwardSettings& settings, TargetSocket& socket, StartRecord& starts) {
  const RequestLog log(settings.logFile);
  LimitStartLog(settings);
  GrowingBuffer environment;
  ReadEnvironmentFile(settings, log, environment);
  platform::StartedProcess process;
  if (!platform::StartDetached(settings.startCommand, settings.programFolder,
                               settings.startLogPath,
                               environment.Length() > 0 ? environment.Data() : nullptr, &process)) {
    log.SocketError("%sTarget not started: %ld", "\t", platform::LastSystemError());
    StartFailed(&starts, platform::WallClockMilliseconds());
    WriteRecord(settings.backoffPath, starts, log);
    return Failure::kStartFailed;
  }
  log.SocketError("%sTarget started, process %ld", "\t", static_cast<long>(process.id));
  if (process.outputError != 0) {
    LogFileNotUsed(log, "%sStart log not usable: %ld", process.outputError,
                   settings.startLogPath);
  }
  if (process.sharesServerJob) log.Event("Target runs in the web server's job and may end with it");
  const platform::ProcessMark mark = platform::MarkOf(process);
  starts.lastStart = platform::WallClockMilliseconds();
  WriteRecord(settings.processPath, RunningRecord{mark.id, mark.mark, starts.lastStart}, log);
  WriteRecord(settings.backoffPath, starts, log);
  Failure accepted = WaitForStart(settings, socket, platform::MonotonicSeconds(), process);
  platform::ReleaseProcess(&process);
  if (accepted != Failure::kNone) {
    StartFailed(&starts, platform::WallClockMilliseconds());
    WriteRecord(settings.backoffPath, starts, log);
  }
  return accepted;
}

Failure BackingOff(const RequestLog& log) {
  log.Event("Target not started: pausing after failed starts");
  return Failure::kBackingOff;
}

}  // namespace

Failure StartTarget(const ForwardSettings& settings, TargetSocket& socket, bool restart) {
  const RequestLog log(settings.logFile);
  StartRecord starts;
  // While a pause holds, requests answer at once.
  if (!restart && ReadRecord(settings.backoffPath, &starts) &&
      Pausing(starts, platform::WallClockMilliseconds())) {
    return BackingOff(log);
  }
  platform::FileLock lock;
  switch (lock.TryLock(settings.lockPath)) {
    case platform::FileLock::kFailed:
      LogFileNotUsed(log, "%sLock file not usable: %ld", platform::LastSystemError(),
                     settings.lockPath);
      return Failure::kStartFailed;
    case platform::FileLock::kBusy:
      log.Event("Target being started by another request");
      if (!restart) return WaitForOtherStart(settings, socket, lock);
      if (!WaitForLock(settings, lock)) {
        log.SocketError("%sTarget not accepting after %ld s", "\t", settings.startTimeoutSeconds);
        return Failure::kStartFailed;
      }
      break;
    case platform::FileLock::kLocked:
      break;
  }
  // Under the lock: the records as the last start left them.
  starts = StartRecord();
  ReadRecord(settings.backoffPath, &starts);
  RunningRecord running;
  const bool runs = ReadRecord(settings.processPath, &running) &&
                    platform::StillRunning(MarkOf(running));
  if (restart && RestartDue(settings)) {
    if (runs) {
      log.SocketError("%sTarget restarted: process %ld stopped", "\t",
                      static_cast<long>(running.id));
      platform::StopProcessTree(MarkOf(running), kStopGraceMs);
    }
    starts = StartRecord();  // a new version starts afresh
  } else {
    // Another request may have brought it up since our first attempt.
    if (Accepts(socket)) return Failure::kNone;
    if (runs) {
      if (WaitForRecorded(settings, socket, running)) return Failure::kNone;
      if (platform::StillRunning(MarkOf(running))) {
        log.SocketError("%sTarget not accepting: process %ld stopped", "\t",
                        static_cast<long>(running.id));
        platform::StopProcessTree(MarkOf(running), kStopGraceMs);
      }
    }
    if (!MayStart(&starts, platform::WallClockMilliseconds())) {
      WriteRecord(settings.backoffPath, starts, log);
      return BackingOff(log);
    }
  }
  long error = 0;
  if (socket.TryConnect(&error) == TargetSocket::Attempt::kConnected) return Failure::kNone;
  // A socket file that refuses is left from a copy that was killed; the new
  // one could not listen there while it stays.
  if (settings.targetSocket[0] != '\0' && platform::NothingListens(error)) {
    platform::RemoveSocketFile(settings.targetSocket);
  }
  return Launch(settings, socket, starts);
}

bool RestartDue(const ForwardSettings& settings) {
  platform::FileFacts touched, started;
  return settings.restartFile[0] != '\0' && settings.startCommand[0] != '\0' &&
         platform::LookAtFile(settings.restartFile, &touched) &&
         platform::LookAtFile(settings.processPath, &started) &&
         touched.modifiedMilliseconds > started.modifiedMilliseconds;
}

int RetryAfterSeconds(const ForwardSettings& settings) {
  StartRecord starts;
  const int64_t now = platform::WallClockMilliseconds();
  if (settings.backoffPath[0] != '\0' && ReadRecord(settings.backoffPath, &starts) &&
      Pausing(starts, now)) {
    return static_cast<int>((starts.until - now + 999) / 1000);
  }
  return kStartingRetrySeconds;
}
