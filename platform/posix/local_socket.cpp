// Unix domain socket clients (POSIX).
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/local_socket.h"
#include "platform/posix/system.h"

namespace platform {

SocketHandle OpenLocalSocket() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kNoSocket : fd;
}

bool ConnectLocalSocket(SocketHandle socket, const char* path, int timeoutSeconds) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path, length + 1);
  // Connecting to a socket file waits only while the listener's queue is
  // full, bounded by the send timeout; past it the system says EAGAIN.
  SetSendTimeout(socket, timeoutSeconds);
  // A wait that a signal interrupts left nothing under way: it is tried again.
  while (connect(Native(socket), reinterpret_cast<struct sockaddr*>(&address), sizeof address) !=
         0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN) errno = ETIMEDOUT;
    return false;
  }
  return true;
}

void RemoveSocketFile(const char* path) {
  struct stat info;
  if (lstat(path, &info) == 0 && S_ISSOCK(info.st_mode)) unlink(path);
}

}  // namespace platform
