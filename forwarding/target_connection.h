// One connection to the target (TCP, or a Unix domain socket; TLS over TCP
// when the target speaks it), with the request log's event lines.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "settings/forward_settings.h"

class TargetConnection {
 public:
  explicit TargetConnection(const ForwardSettings& settings) : settings_(settings) {}
  ~TargetConnection();
  TargetConnection(const TargetConnection&) = delete;
  TargetConnection& operator=(const TargetConnection&) = delete;

  // Opens the socket and connects, with the TLS handshake when the target
  // speaks TLS; logs the failure or "Connected". When nothing listens and
  // there is a start command, starts the application (or waits for another
  // request's start) and connects once it accepts. Called once, before
  // anything is sent.
  bool Connect();
  // Sends every byte, however the socket splits them; logs a failure. A send
  // that makes no progress for `timeoutSeconds` fails; with `wholeInTime` the
  // whole of it must be done within `timeoutSeconds`.
  bool Send(const char* data, int32_t length, bool wholeInTime = false);
  // From here on receives do not block.
  void StartReceiving();

  // One receive of at most `count` bytes. Returns the count, 0 when the
  // target closed, -1 when the exchange failed (`*failure` is then the log's
  // event line). An empty receive waits at most 1 ms for data and fails once
  // `timeoutSeconds` have passed since `since` (whole seconds).
  int32_t Receive(char* buffer, int32_t count, int64_t since, const char** failure);

 private:
  enum class Attempt { kConnected, kNoSocket, kFailed };
  // One connect on a fresh socket; the system's error code in `*error`.
  Attempt TryConnect(long* error);
  // After "nothing listens": starts the application, or waits for another
  // request's start (target_start.cpp).
  bool StartTarget();
  bool WaitForStart(int64_t since, platform::StartedProcess& process);
  bool WaitForOtherStart(platform::FileLock& lock);
  void Log(const char* event) const;
  bool StartTls();

  const ForwardSettings& settings_;
  platform::SocketHandle socket_ = platform::kNoSocket;
  platform::TlsSession* tls_ = nullptr;
  bool polling_ = false;
};

// "HEAD " begins the request: its reply has no body, whatever it declares.
bool IsHeadRequest(const char* request, int32_t length);
