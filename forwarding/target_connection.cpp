#include "forwarding/target_connection.h"

#include <cstdio>
#include <cstring>

#include "forwarding/target_start.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

// How long an empty receive waits for data before the clock is looked at.
constexpr int kEmptyReceiveWaitMs = 1;

// Why a connect failed, by the system's error code.
Failure ConnectFailure(long error) {
  if (platform::NothingListens(error)) return Failure::kRefused;
  return platform::TimedOut(error) ? Failure::kConnectTimeout : Failure::kUnreachable;
}

}  // namespace

void TargetConnection::Close() {
  if (!socket_.IsOpen()) return;
  platform::EndTls(tls_);
  tls_ = nullptr;
  if (polling_) platform::EndPolling(socket_.Handle());
  polling_ = false;
  socket_.Close();
}

Failure TargetConnection::Open() {
  sent_ = 0;
  reused_ = socket_.IsOpen() && !RestartDue(settings_) && StillIdle();
  if (reused_) {
    // Sends block again (with their timeout), as on a new connection.
    platform::EndPolling(socket_.Handle());
    polling_ = false;
    Log().Event("Kept connection used again");
    return Failure::kNone;
  }
  Close();
  return Connect();
}

bool TargetConnection::StillIdle() {
  if (!polling_) StartReceiving();
  char byte;
  int32_t got = tls_ ? platform::ReceiveOnTlsWithoutWaiting(tls_, &byte, 1)
                     : platform::ReceiveWithoutWaiting(socket_.Handle(), &byte, 1);
  return got < 0 &&
         platform::NormalizeErrorCode(platform::LastSocketError()) == platform::kWouldBlock;
}

Failure TargetConnection::Connect() {
  // After a deploy no request reaches the application before it is restarted.
  if (RestartDue(settings_)) {
    Failure restarted = StartTarget(settings_, socket_, true);
    return restarted != Failure::kNone ? restarted : Connected();
  }
  long error = 0;
  TargetSocket::Attempt attempt = socket_.TryConnect(&error);
  if (attempt == TargetSocket::Attempt::kNotResolved) {
    // Never another address in its place: the request, credentials and all,
    // would go to whoever listens there.
    char event[kSettingTextSize + 32];
    std::snprintf(event, sizeof event, "Target name not resolved: %s", settings_.targetServer);
    Log().Event(event);
    return Failure::kNotResolved;
  }
  if (attempt == TargetSocket::Attempt::kNoSocket) {
    const char* line = settings_.targetSocket[0] ? "No Unix domain socket: %s%ld\n"
                                                 : "No socket: %s%ld\n";
    Log().SocketError(line, "", error);
    return Failure::kNoSocket;
  }
  if (attempt == TargetSocket::Attempt::kFailed) {
    Log().SocketError("Connection error: %s%ld", "", error);
    if (settings_.startCommand[0] == '\0' || !platform::NothingListens(error)) {
      return ConnectFailure(error);
    }
    Failure started = StartTarget(settings_, socket_);
    if (started != Failure::kNone) return started;
  }
  return Connected();
}

Failure TargetConnection::Connected() {
  // A target that stops reading must not hold the gateway beyond its timeout.
  platform::SetSendTimeout(socket_.Handle(), settings_.timeoutSeconds);
  Log().Event("Connected");
  return settings_.targetTls ? StartTls() : Failure::kNone;
}

Failure TargetConnection::StartTls() {
  if (!settings_.tlsVerify) Log().Event("TLS certificate checks are off (TlsVerify=0)");
  platform::TlsOptions options;
  // The name the target is known by; an address when it was given as one.
  options.serverName = settings_.tlsServerName[0] ? settings_.tlsServerName
                       : settings_.targetHost[0]    ? settings_.targetHost
                                                    : settings_.targetName;
  options.caFile = settings_.tlsCaFile;
  options.verify = settings_.tlsVerify != 0;
  // A target that does not answer the handshake (plain HTTP waiting for a
  // request) is given up on as a connect would be.
  int seconds = settings_.connectTimeoutSeconds > 0 ? settings_.connectTimeoutSeconds
                                                    : settings_.timeoutSeconds;
  options.handshakeSeconds = seconds > 0 ? seconds : 1;
  platform::TlsFailure failure = platform::TlsFailure::kNone;
  char detail[256];
  tls_ = platform::StartTls(socket_.Handle(), options, settings_.tlsClient, &failure, detail,
                            sizeof detail);
  if (tls_) {
    Log().Event(platform::TlsResumed(tls_) ? "TLS established, session resumed"
                                           : "TLS established");
    return Failure::kNone;
  }
  static const char* const kCauses[] = {
      "", "untrusted certificate", "certificate name mismatch", "certificate expired",
      "protocol error", "timed out", "TLS not available"};
  static_assert(sizeof kCauses / sizeof kCauses[0] ==
                    static_cast<size_t>(platform::TlsFailure::kUnavailable) + 1,
                "one cause for each failure");
  char event[sizeof detail + kSettingTextSize + 64];
  std::snprintf(event, sizeof event, "TLS failed: %s (%s, name %s)",
                kCauses[static_cast<int>(failure)], detail, options.serverName);
  Log().Event(event);
  return Failure::kTls;
}

Failure TargetConnection::Send(const char* data, int32_t length, bool wholeInTime) {
  const int64_t start = platform::MonotonicSeconds();
  int32_t sent = 0;
  while (sent < length) {
    // After a partial send, what is left of the time bounds the next one (the
    // first is bounded by the whole timeout since Connect).
    if (wholeInTime && sent > 0 && settings_.timeoutSeconds > 0) {
      int64_t left = settings_.timeoutSeconds - (platform::MonotonicSeconds() - start);
      if (left <= 0) {
        Log().Event(FailureEvent(Failure::kTimeout));
        return Failure::kTimeout;
      }
      platform::SetSendTimeout(socket_.Handle(), static_cast<int>(left));
    }
    int32_t put = tls_ ? platform::SendOnTls(tls_, data + sent, length - sent)
                       : platform::SendOnSocket(socket_.Handle(), data + sent, length - sent);
    if (put <= 0) {
      Log().SocketError("Send error: %s%ld", "", platform::LastSocketError());
      return Failure::kSendFailed;
    }
    sent += put;
    sent_ += put;
  }
  return Failure::kNone;
}

void TargetConnection::StartReceiving() {
  platform::BeginPolling(socket_.Handle());
  polling_ = true;
}

int32_t TargetConnection::Receive(char* buffer, int32_t count, int64_t since, Failure* failure) {
  for (;;) {
    int32_t got = tls_ ? platform::ReceiveOnTlsWithoutWaiting(tls_, buffer, count)
                       : platform::ReceiveWithoutWaiting(socket_.Handle(), buffer, count);
    if (got >= 0) return got;
    long code = platform::NormalizeErrorCode(platform::LastSocketError());
    if (code != 0 && code != platform::kWouldBlock) {
      *failure = Failure::kNetworkError;
      return -1;
    }
    if (platform::MonotonicSeconds() - since >= settings_.timeoutSeconds) {
      *failure = Failure::kTimeout;
      return -1;
    }
    platform::WaitReadable(socket_.Handle(), kEmptyReceiveWaitMs);
  }
}

bool IsHeadRequest(const char* request, int32_t length) {
  return length >= 5 && std::memcmp(request, "HEAD ", 5) == 0;
}

bool MaySendAgain(const TargetConnection& connection, Failure failure, const char* request,
                  int32_t length) {
  if (!connection.Reused() || (failure != Failure::kSendFailed &&
                               failure != Failure::kNetworkError &&
                               failure != Failure::kClosedEarly)) {
    return false;
  }
  if (connection.SentSinceOpen() == 0) return true;
  static const char* const kIdempotent[] = {"GET ", "HEAD ", "OPTIONS ", "PUT ", "DELETE ",
                                            "TRACE "};
  for (const char* method : kIdempotent) {
    size_t size = std::strlen(method);
    if (static_cast<size_t>(length) >= size && std::memcmp(request, method, size) == 0) {
      return true;
    }
  }
  return false;
}
