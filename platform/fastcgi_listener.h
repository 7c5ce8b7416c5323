// FastCGI: a web server that keeps the program running hands it, as standard
// input, a listening socket (POSIX servers) or a named pipe (IIS).
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {

// True when standard input is such a listener; a pipe or a connected socket,
// as CGI has, is not.
bool StandardInputIsListener();
// Waits for the next connection on it; kNoSocket when it is closed.
SocketHandle AcceptOnStandardInput();
// One receive / one send on a connection AcceptOnStandardInput gave, as the
// socket calls behave (0 at the end, -1 on failure), and its end.
int32_t ReceiveOnConnection(SocketHandle connection, char* buffer, int32_t count);
int32_t SendOnConnection(SocketHandle connection, const char* data, int32_t count);
void CloseConnection(SocketHandle connection);

}  // namespace platform
