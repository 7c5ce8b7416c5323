// The TCP steps that POSIX takes its own way (connect_steps.h).
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/connect_steps.h"
#include "platform/posix/system.h"
#include "platform/tcp.h"

namespace platform {

SocketHandle OpenTcpSocket(const TcpAddress& address) {
  int family = reinterpret_cast<const struct sockaddr*>(address.raw)->sa_family;
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? kNoSocket : fd;
}

bool ConnectUnderWay() { return errno == EINPROGRESS || errno == EINTR; }

bool AwaitConnect(SocketHandle socket, int timeoutSeconds) {
  int ready;
  do {
    ready = PollOne(Native(socket), POLLOUT, timeoutSeconds > 0 ? timeoutSeconds * 1000 : -1);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    errno = ETIMEDOUT;
    return false;
  }
  if (ready < 0) return false;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
    return true;
  }
  if (error != 0) errno = error;
  return false;
}

}  // namespace platform
