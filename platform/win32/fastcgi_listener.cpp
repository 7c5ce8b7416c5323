// FastCGI's listening socket on standard input (Win32).
#include "platform/fastcgi_listener.h"

namespace platform {

// IIS hands a FastCGI application a named pipe, not a socket; this build
// serves Windows web servers as a CGI program only.
bool StandardInputIsListener() { return false; }
SocketHandle AcceptOnStandardInput() { return kNoSocket; }

}  // namespace platform
