// FastCGI's listening socket on standard input (POSIX).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/fastcgi_listener.h"

namespace platform {

bool StandardInputIsListener() {
  struct sockaddr_storage address;
  socklen_t size = sizeof address;
  if (getsockname(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&address), &size) != 0) {
    return false;  // a pipe or a file: CGI, at the cost of one system call
  }
  size = sizeof address;
  return getpeername(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&address), &size) != 0 &&
         errno == ENOTCONN;
}

namespace {

// A web server that listens for its FastCGI programs on TCP names the
// addresses it connects from in FCGI_WEB_SERVER_ADDRS; anyone else could set
// the request's variables (REMOTE_USER among them) and is turned away.
bool PeerMayConnect(const struct sockaddr_storage& peer) {
  const char* allowed = getenv("FCGI_WEB_SERVER_ADDRS");
  if (!allowed || (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)) {
    return true;  // a Unix socket: only the web server can reach it
  }
  char address[INET6_ADDRSTRLEN];
  const auto& ipv4 = reinterpret_cast<const struct sockaddr_in&>(peer);
  const auto& ipv6 = reinterpret_cast<const struct sockaddr_in6&>(peer);
  const void* raw = peer.ss_family == AF_INET ? static_cast<const void*>(&ipv4.sin_addr)
                                              : static_cast<const void*>(&ipv6.sin6_addr);
  if (!inet_ntop(peer.ss_family, raw, address, sizeof address)) return false;
  size_t length = std::strlen(address);
  for (const char* at = allowed; *at;) {
    size_t entry = std::strcspn(at, ", ");
    if (entry == length && std::strncmp(at, address, length) == 0) return true;
    at += entry;
    at += std::strspn(at, ", ");
  }
  return false;
}

}  // namespace

SocketHandle AcceptOnStandardInput() {
  for (;;) {
    struct sockaddr_storage peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t size = sizeof peer;
    int fd = accept4(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd >= 0 && PeerMayConnect(peer)) return fd;
    if (fd >= 0) {
      close(fd);
      continue;
    }
    // A connection that went away before it was taken is no reason to stop.
    if (errno != EINTR && errno != ECONNABORTED) return kNoSocket;
  }
}

// On POSIX every connection is a socket.
int32_t ReceiveOnConnection(SocketHandle connection, char* buffer, int32_t count) {
  return ReceiveFromSocket(connection, buffer, count);
}
int32_t SendOnConnection(SocketHandle connection, const char* data, int32_t count) {
  return SendOnSocket(connection, data, count);
}
void CloseConnection(SocketHandle connection) { CloseSocket(connection); }

}  // namespace platform
