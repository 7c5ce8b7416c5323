// Server-side sockets on 127.0.0.1 and on socket files, for tests that play
// the target.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace platform {

// Listens on 127.0.0.1 on `*port`, or on a free port when it is 0 (`*port`
// then names it); kNoSocket on failure.
SocketHandle OpenLoopbackListener(uint16_t* port);
// Listens on a socket file at `path`; kNoSocket on failure, LastSocketError
// saying why (the system may have no Unix domain sockets).
SocketHandle OpenLocalListener(const char* path);
// Waits at most `milliseconds` for a connection; kNoSocket when none came.
SocketHandle AcceptConnection(SocketHandle listener, int milliseconds);
// Ends our sending side (the peer reads end of stream).
void ShutdownSending(SocketHandle socket);
// Closes so that the peer sees a reset rather than an orderly close.
void ResetAndClose(SocketHandle socket);
// Blocks at most `milliseconds` for readable data or end of stream; false on timeout.
bool WaitForData(SocketHandle socket, int milliseconds);

// Starts tests/support/tls_targets.py for the life of the test program and
// returns the line it printed; "" where the test program cannot start it (a
// Windows build, whose runner starts it and passes the line in
// NPH_GW_TLS_TARGETS).
std::string StartTlsTargets();

}  // namespace platform
