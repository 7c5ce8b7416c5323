// The TCP connect, written once for both systems over the steps each takes
// its own way (connect_steps.h).
#ifdef _WIN32
#include <winsock2.h>
using NativeSocket = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
using NativeSocket = int;
#endif

#include <cstring>

#include "platform/connect_steps.h"
#include "platform/tcp.h"

namespace platform {
namespace {

NativeSocket Native(SocketHandle socket) { return static_cast<NativeSocket>(socket); }

bool ConnectNow(SocketHandle socket, const struct sockaddr_in& target) {
  return connect(Native(socket), reinterpret_cast<const struct sockaddr*>(&target),
                 sizeof target) == 0;
}

// Connects without blocking and waits for the outcome at most `timeoutSeconds`.
bool ConnectWithin(SocketHandle socket, const struct sockaddr_in& target, int timeoutSeconds) {
  if (!SetBlocking(socket, false)) return false;
  bool connected =
      ConnectNow(socket, target) || (ConnectUnderWay() && AwaitConnect(socket, timeoutSeconds));
  long error = LastSocketError();
  SetBlocking(socket, true);
  SetLastSocketError(error);  // the caller logs the connect's own error
  return connected;
}

}  // namespace

bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int timeoutSeconds) {
  struct sockaddr_in target;
  std::memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(address);
  target.sin_port = htons(port);
  // A blocking connect that a signal interrupts goes on by itself: it is
  // waited for, not given up on.
  bool connected = timeoutSeconds > 0 ? ConnectWithin(socket, target, timeoutSeconds)
                                      : ConnectNow(socket, target) ||
                                            (ConnectUnderWay() && AwaitConnect(socket, 0));
  if (!connected) return false;
  // The request goes out in one piece; don't hold its tail back.
  int on = 1;
  setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
  return true;
}

}  // namespace platform
