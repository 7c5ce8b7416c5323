// TLS client over a connected TCP socket: OpenSSL on POSIX, the system's own
// (SChannel) on Windows, or none (tls/none.cpp). Nothing else in the gateway
// knows which.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace platform {

struct TlsSession;
struct TlsClient;

enum class TlsFailure { kNone, kUntrusted, kNameMismatch, kExpired, kProtocol, kTimeout,
                        kUnavailable };

struct TlsOptions {
  const char* serverName;  // sent as SNI (unless it is an address) and checked
  const char* caFile;      // PEM roots trusted instead of the system's; "" = system
  bool verify;             // false: neither the chain nor the name is checked
  int handshakeSeconds;    // the whole handshake's bound (> 0)
};

// What a process that serves request after request keeps between its
// connections: the client context with its trust store, made at the first
// connection, and the target's last session, which the next connection
// resumes (a handshake without the certificate and its checks). Other options
// than the context was made for (the name, the CA file or its content, the
// checks) make a new context without the session; a failed handshake forgets
// the session. MakeTlsClient touches no TLS library; nullptr when there is no
// memory (or no TLS).
TlsClient* MakeTlsClient();
void EndTlsClient(TlsClient* client);

// Makes the handshake on `socket`, connected and in blocking mode. From then
// on the socket is used only through the session. `client` (may be null: a
// context of its own, made and freed with the session) lends its context and
// last session. Returns nullptr on failure with the cause, and the library's
// own words in `detail`.
TlsSession* StartTls(SocketHandle socket, const TlsOptions& options, TlsClient* client,
                     TlsFailure* failure, char* detail, size_t size);
// True when the handshake resumed an earlier session.
bool TlsResumed(const TlsSession* session);
// As SendOnSocket: may send less than `count`; waits for room at most the
// socket's send timeout.
int32_t SendOnTls(TlsSession* session, const char* data, int32_t count);
// As ReceiveWithoutWaiting: -1 with the would-block error when nothing is
// ready. 0 at the end, whether or not the target sent TLS's close_notify: the
// framing rules decide whether the reply is whole, as for a plain close.
int32_t ReceiveOnTlsWithoutWaiting(TlsSession* session, char* buffer, int32_t count);
// Ends the session; the socket stays for CloseSocket.
void EndTls(TlsSession* session);

}  // namespace platform
