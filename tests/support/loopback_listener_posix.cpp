#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tests/support/loopback_listener.h"

#ifndef NPH_GW_TLS_TARGETS_SCRIPT  // set by the unit tests' build
#define NPH_GW_TLS_TARGETS_SCRIPT "tests/support/tls_targets.py"
#endif

namespace platform {

SocketHandle OpenLoopbackListener(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoSocket;
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(*port);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &size) != 0) {
    close(fd);
    return kNoSocket;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

SocketHandle OpenLocalListener(const char* path) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoSocket;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 16) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return kNoSocket;
  }
  return fd;
}

SocketHandle AcceptConnection(SocketHandle listener, int milliseconds) {
  if (!WaitForData(listener, milliseconds)) return kNoSocket;
  int fd = accept(static_cast<int>(listener), nullptr, nullptr);
  return fd < 0 ? kNoSocket : fd;
}

void ShutdownSending(SocketHandle socket) { shutdown(static_cast<int>(socket), SHUT_WR); }

void ResetAndClose(SocketHandle socket) {
  struct linger abort;
  abort.l_onoff = 1;
  abort.l_linger = 0;
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(static_cast<int>(socket));
}

bool WaitForData(SocketHandle socket, int milliseconds) {
  struct pollfd entry;
  entry.fd = static_cast<int>(socket);
  entry.events = POLLIN;
  entry.revents = 0;
  return poll(&entry, 1, milliseconds) > 0;
}

std::string StartTlsTargets() {
  // As the program's entry does: a target gone mid-send fails the send
  // (OpenSSL writes without MSG_NOSIGNAL).
  signal(SIGPIPE, SIG_IGN);
  // Never closed: the script ends when this process does.
  FILE* script = popen("exec python3 " NPH_GW_TLS_TARGETS_SCRIPT, "r");
  char line[1024];
  if (!script || !std::fgets(line, sizeof line, script)) return "";
  return line;
}

}  // namespace platform
