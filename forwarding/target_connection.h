// One connection to the target (TCP, or a Unix domain socket; TLS over TCP
// when the target speaks it), with the request log's event lines.
#pragma once

#include <cstdint>

#include "forwarding/failure.h"
#include "forwarding/target_socket.h"
#include "log/request_log.h"
#include "platform/tls.h"
#include "settings/forward_settings.h"

class TargetConnection {
 public:
  explicit TargetConnection(const ForwardSettings& settings)
      : settings_(settings), log_(settings.logFile), socket_(settings) {}
  ~TargetConnection();
  TargetConnection(const TargetConnection&) = delete;
  TargetConnection& operator=(const TargetConnection&) = delete;

  // Opens the socket and connects, with the TLS handshake when the target
  // speaks TLS; logs the failure or "Connected". When nothing listens and
  // there is a start command, starts the application (or waits for another
  // request's start) and connects once it accepts. Called once, before
  // anything is sent.
  Failure Connect();
  // Sends every byte, however the socket splits them; logs a failure. A send
  // that makes no progress for `timeoutSeconds` fails; with `wholeInTime` the
  // whole of it must be done within `timeoutSeconds`.
  Failure Send(const char* data, int32_t length, bool wholeInTime = false);
  // From here on receives do not block.
  void StartReceiving();

  // One receive of at most `count` bytes. Returns the count, 0 when the
  // target closed, -1 when the exchange failed (`*failure` says why). An
  // empty receive waits at most 1 ms for data and fails once
  // `timeoutSeconds` have passed since `since` (whole seconds).
  int32_t Receive(char* buffer, int32_t count, int64_t since, Failure* failure);

 private:
  // The rest of Connect once the socket is connected.
  Failure Connected();
  Failure StartTls();

  const ForwardSettings& settings_;
  const RequestLog log_;
  TargetSocket socket_;
  platform::TlsSession* tls_ = nullptr;
  bool polling_ = false;
};

// "HEAD " begins the request: its reply has no body, whatever it declares.
bool IsHeadRequest(const char* request, int32_t length);
