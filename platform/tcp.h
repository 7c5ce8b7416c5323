// TCP client sockets.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {

SocketHandle OpenTcpSocket();
// Connects to an IPv4 address and port, both in host byte order, waiting at
// most `timeoutSeconds` (0: as long as the system waits). The socket is left
// in blocking mode. On a timeout the error code is the system's "timed out".
bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int timeoutSeconds);

}  // namespace platform
