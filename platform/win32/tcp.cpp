// The TCP steps that Windows takes its own way (connect_steps.h).
#include "platform/connect_steps.h"
#include "platform/tcp.h"
#include "platform/win32/system.h"

namespace platform {

SocketHandle OpenTcpSocket(const TcpAddress& address) {
  int family = reinterpret_cast<const struct sockaddr*>(address.raw)->sa_family;
  SOCKET handle = socket(family, SOCK_STREAM, IPPROTO_TCP);
  return handle == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(handle);
}

bool ConnectUnderWay() { return WSAGetLastError() == WSAEWOULDBLOCK; }

bool AwaitConnect(SocketHandle socket, int timeoutSeconds) {
  SOCKET handle = Native(socket);
  bool failed = false;
  DWORD bound = timeoutSeconds > 0 ? static_cast<DWORD>(timeoutSeconds) * 1000 : INFINITE;
  int ready = WaitForSocket(handle, SocketWait::kWritable, bound, &failed);
  if (ready > 0 && !failed) return true;
  int error = 0;
  if (ready == 0) {
    error = WSAETIMEDOUT;
  } else if (ready > 0) {
    int size = sizeof error;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error == 0) {
      error = WSAECONNREFUSED;
    }
  } else {
    error = WSAGetLastError();
  }
  WSASetLastError(error);
  return false;
}

}  // namespace platform
