// One connection to the target (TCP, or a Unix domain socket; TLS over TCP
// when the target speaks it), with the request log's event lines. As a CGI
// program it serves one request; a FastCGI process keeps one and lends it to
// each request in turn, so that a reply that leaves it open saves the next
// request its connect (and TLS handshake).
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
      : settings_(settings), socket_(settings) {}
  ~TargetConnection() { Close(); }
  TargetConnection(const TargetConnection&) = delete;
  TargetConnection& operator=(const TargetConnection&) = delete;

  // Opens the socket and connects, with the TLS handshake when the target
  // speaks TLS; logs the failure or "Connected". When nothing listens and
  // there is a start command, starts the application (or waits for another
  // request's start) and connects once it accepts.
  Failure Connect();
  // Readies the connection for a request: one left open by the last request
  // is used again when the target has not closed it meanwhile (Reused() then
  // says so), else a new one is made (Connect).
  Failure Open();
  bool Reused() const { return reused_; }
  // Bytes sent since Open: 0 means the target has seen nothing of the request.
  int64_t SentSinceOpen() const { return sent_; }
  // Ends the connection; the next Open connects afresh.
  void Close();
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

  // True when an idle connection is as the last reply left it: nothing has
  // arrived on it, and the target has not closed it.
  bool StillIdle();
  // The log of the request the connection serves now.
  RequestLog Log() const { return RequestLog(settings_.logFile); }

  const ForwardSettings& settings_;
  TargetSocket socket_;
  platform::TlsSession* tls_ = nullptr;
  bool polling_ = false;
  bool reused_ = false;
  int64_t sent_ = 0;
};

// "HEAD " begins the request: its reply has no body, whatever it declares.
bool IsHeadRequest(const char* request, int32_t length);

// The log's line when a request goes again on a new connection.
constexpr const char kSentAgainEvent[] = "Kept connection failed: request sent again on a new one";

// Whether a request that failed with `failure` before any byte of its reply
// arrived goes again on a new connection: only when the connection was one
// kept from an earlier request (the target may have closed it just then), the
// failure was the connection's, and sending it again cannot repeat an action
// (the target saw none of it, or its method, at the start of `request`, is
// idempotent).
bool MaySendAgain(const TargetConnection& connection, Failure failure, const char* request,
                  int32_t length);
