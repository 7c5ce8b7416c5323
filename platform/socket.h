// A connected stream socket, TCP or Unix domain: sending, receiving, polling
// and the system's error codes.
#pragma once

#include <cstdint>

namespace platform {

// A socket of the system's socket layer.
using SocketHandle = intptr_t;
constexpr SocketHandle kNoSocket = -1;

// The socket layer's would-block code, as the receive loop compares it.
constexpr long kWouldBlock = 11;

// Bounds each blocking send to `seconds`; a send that cannot proceed for that
// long fails.
void SetSendTimeout(SocketHandle socket, int seconds);
// One send on a blocking socket; returns the count sent, which may be less than
// `count`, or -1 on error. Never raises a signal.
int32_t SendOnSocket(SocketHandle socket, const char* data, int32_t count);
// One receive, waiting for data when there is none; returns the count, 0
// when the peer closed, -1 on error.
int32_t ReceiveFromSocket(SocketHandle socket, char* buffer, int32_t count);
// Between these two calls the socket may be polled: ReceiveWithoutWaiting
// returns -1 with the would-block error at once when nothing has arrived.
void BeginPolling(SocketHandle socket);
void EndPolling(SocketHandle socket);
int32_t ReceiveWithoutWaiting(SocketHandle socket, char* buffer, int32_t count);
// Waits until the socket has something to read, at most `milliseconds`.
void WaitReadable(SocketHandle socket, int milliseconds);
void CloseSocket(SocketHandle socket);
// The last socket error as the system reports it (for the log).
long LastSocketError();
// The last socket error with the would-block condition reported as kWouldBlock.
long NormalizeErrorCode(long raw);
// True when a connect failed with `code` because nothing listens there: the
// connection was refused, or there is no socket file.
bool NothingListens(long code);
// True when a connect failed with `code` because its time ran out.
bool TimedOut(long code);
// True when a socket or connect failed with `code` because the system cannot
// use that address at all (IPv6 off, no route to its network).
bool AddressUnusable(long code);

}  // namespace platform
