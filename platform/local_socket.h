// Unix domain socket clients: an application on a socket file.
#pragma once

#include "platform/socket.h"

namespace platform {

// A stream socket for a socket file; kNoSocket when none can be made (where the
// system has no Unix domain sockets, LastSocketError says so).
SocketHandle OpenLocalSocket();
// Connects to the socket file at `path`, waiting at most `timeoutSeconds` (0:
// as long as the system waits) when the listener's queue is full. A path too
// long for a socket address fails with the system's "name too long".
bool ConnectLocalSocket(SocketHandle socket, const char* path, int timeoutSeconds);
// Removes the file at `path` when it is a socket file, one left behind by a
// server that ended without removing it.
void RemoveSocketFile(const char* path);

}  // namespace platform
