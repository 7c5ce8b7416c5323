#include "forwarding/target_connection.h"

#include <cstdio>
#include <cstring>

#include "log/request_log.h"

namespace {

// How long an empty receive waits for data before the clock is looked at.
constexpr int kEmptyReceiveWaitMs = 1;

}  // namespace

TargetConnection::~TargetConnection() {
  if (socket_ == platform::kNoSocket) return;
  platform::EndTls(tls_);
  if (polling_) platform::EndPolling(socket_);
  platform::CloseSocket(socket_);
}

TargetConnection::Attempt TargetConnection::TryConnect(long* error) {
  if (socket_ != platform::kNoSocket) platform::CloseSocket(socket_);
  const bool local = settings_.targetSocket[0] != '\0';
  socket_ = local ? platform::OpenLocalSocket() : platform::OpenTcpSocket();
  if (socket_ == platform::kNoSocket) {
    *error = platform::LastSocketError();
    return Attempt::kNoSocket;
  }
  bool connected =
      local ? platform::ConnectLocalSocket(socket_, settings_.targetSocket,
                                           settings_.connectTimeoutSeconds)
            : platform::ConnectSocket(socket_, settings_.targetAddress, settings_.targetPort,
                                      settings_.connectTimeoutSeconds);
  *error = connected ? 0 : platform::LastSocketError();
  return connected ? Attempt::kConnected : Attempt::kFailed;
}

bool TargetConnection::Connect() {
  FILE* log = settings_.logFile;
  long error = 0;
  Attempt attempt = TryConnect(&error);
  if (attempt == Attempt::kNoSocket) {
    if (log) {
      const char* line = settings_.targetSocket[0] ? "No Unix domain socket: %s%ld\n"
                                                   : "No socket: %s%ld\n";
      LogSocketError(line, "", error, log);
    }
    return false;
  }
  if (attempt == Attempt::kFailed) {
    if (log) LogSocketError("Connection error: %s%ld", "", error, log);
    if (settings_.startCommand[0] == '\0' || !platform::NothingListens(error) || !StartTarget()) {
      return false;
    }
  }
  // A target that stops reading must not hold the gateway beyond its timeout.
  platform::SetSendTimeout(socket_, settings_.timeoutSeconds);
  if (log) LogEvent("Connected", log);
  return !settings_.targetTls || StartTls();
}

bool TargetConnection::StartTls() {
  FILE* log = settings_.logFile;
  if (!settings_.tlsVerify && log) {
    LogEvent("TLS certificate checks are off (TlsVerify=0)", log);
  }
  platform::TlsOptions options;
  // The name the target is known by; an address when it was given as one.
  options.serverName = settings_.tlsServerName[0] ? settings_.tlsServerName
                       : settings_.targetServer[0] ? settings_.targetServer
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
  tls_ = platform::StartTls(socket_, options, &failure, detail, sizeof detail);
  if (tls_) {
    if (log) LogEvent("TLS established", log);
    return true;
  }
  if (log) {
    static const char* const kCauses[] = {
        "", "untrusted certificate", "certificate name mismatch", "certificate expired",
        "protocol error", "timed out", "TLS not available"};
    static_assert(sizeof kCauses / sizeof kCauses[0] ==
                      static_cast<size_t>(platform::TlsFailure::kUnavailable) + 1,
                  "one cause for each failure");
    std::fprintf(log, "\tTLS failed: %s (%s, name %s)\n", kCauses[static_cast<int>(failure)],
                 detail, options.serverName);
    std::fflush(log);
  }
  return false;
}

void TargetConnection::Log(const char* event) const {
  if (settings_.logFile) LogEvent(event, settings_.logFile);
}

bool TargetConnection::Send(const char* data, int32_t length, bool wholeInTime) {
  const int64_t start = platform::MonotonicSeconds();
  int32_t sent = 0;
  while (sent < length) {
    // After a partial send, what is left of the time bounds the next one (the
    // first is bounded by the whole timeout since Connect).
    if (wholeInTime && sent > 0 && settings_.timeoutSeconds > 0) {
      int64_t left = settings_.timeoutSeconds - (platform::MonotonicSeconds() - start);
      if (left <= 0) {
        if (settings_.logFile) LogEvent("Timeout", settings_.logFile);
        return false;
      }
      platform::SetSendTimeout(socket_, static_cast<int>(left));
    }
    int32_t put = tls_ ? platform::SendOnTls(tls_, data + sent, length - sent)
                       : platform::SendOnSocket(socket_, data + sent, length - sent);
    if (put <= 0) {
      if (settings_.logFile) {
        LogSocketError("Send error: %s%ld", "", platform::LastSocketError(), settings_.logFile);
      }
      return false;
    }
    sent += put;
  }
  return true;
}

void TargetConnection::StartReceiving() {
  platform::BeginPolling(socket_);
  polling_ = true;
}

int32_t TargetConnection::Receive(char* buffer, int32_t count, int64_t since,
                                  const char** failure) {
  for (;;) {
    int32_t got = tls_ ? platform::ReceiveOnTlsWithoutWaiting(tls_, buffer, count)
                       : platform::ReceiveWithoutWaiting(socket_, buffer, count);
    if (got >= 0) return got;
    long code = platform::NormalizeErrorCode(platform::LastSocketError());
    if (code != 0 && code != platform::kWouldBlock) {
      *failure = "Network error";
      return -1;
    }
    if (platform::MonotonicSeconds() - since >= settings_.timeoutSeconds) {
      *failure = "Timeout";
      return -1;
    }
    platform::WaitReadable(socket_, kEmptyReceiveWaitMs);
  }
}

bool IsHeadRequest(const char* request, int32_t length) {
  return length >= 5 && std::memcmp(request, "HEAD ", 5) == 0;
}
