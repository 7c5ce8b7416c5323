// The steps of a TCP connect that each system takes its own way
// (posix/tcp.cpp, win32/tcp.cpp, with the socket calls in socket.cpp); the
// connect itself is written once over them (tcp.cpp).
#pragma once

#include "platform/socket.h"

namespace platform {

// True when the connect just made failed only because it is under way: on a
// non-blocking socket, or (POSIX) a blocking one that a signal interrupted.
bool ConnectUnderWay();
// Waits at most `timeoutSeconds` (0: without bound) for the connect under way
// on `socket`. False,
// with the connect's error as the last socket error (the system's "timed out"
// when the time ran out), when it did not succeed.
bool AwaitConnect(SocketHandle socket, int timeoutSeconds);
// Puts `socket` into blocking or non-blocking mode; false when it could not.
bool SetBlocking(SocketHandle socket, bool blocking);
// Sets what LastSocketError reports.
void SetLastSocketError(long code);

}  // namespace platform
