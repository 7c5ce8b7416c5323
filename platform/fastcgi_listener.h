// FastCGI: a web server that keeps the program running hands it a listening
// socket as standard input.
#pragma once

#include "platform/socket.h"

namespace platform {

// True when standard input is such a socket (it has a local address and no
// peer); a pipe or a connected socket, as CGI has, is not.
bool StandardInputIsListener();
// Waits for the next connection on that socket; kNoSocket when it is closed.
SocketHandle AcceptOnStandardInput();

}  // namespace platform
