// A connected stream socket (POSIX).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/connect_steps.h"
#include "platform/posix/system.h"
#include "platform/socket.h"

namespace platform {

int PollOne(int fd, short events, int milliseconds) {
  struct pollfd entry;
  entry.fd = fd;
  entry.events = events;
  entry.revents = 0;
  return poll(&entry, 1, milliseconds);
}

bool SetBlocking(SocketHandle socket, bool blocking) {
  int flags = fcntl(Native(socket), F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(Native(socket), F_SETFL, flags) == 0;
}

void SetSendTimeout(SocketHandle socket, int seconds) {
  if (seconds <= 0) return;
  struct timeval limit;
  limit.tv_sec = seconds;
  limit.tv_usec = 0;
  setsockopt(Native(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int32_t SendOnSocket(SocketHandle socket, const char* data, int32_t count) {
  for (;;) {
    ssize_t sent = send(Native(socket), data, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int32_t>(sent);
    if (errno != EINTR) return -1;
  }
}

int32_t ReceiveFromSocket(SocketHandle socket, char* buffer, int32_t count) {
  for (;;) {
    ssize_t got = recv(Native(socket), buffer, static_cast<size_t>(count), 0);
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno != EINTR) return -1;
  }
}

// A per-call flag does the work of switching the socket's mode, without the
// four system calls that switching on and off would cost every request.
void BeginPolling(SocketHandle) {}
void EndPolling(SocketHandle) {}

int32_t ReceiveWithoutWaiting(SocketHandle socket, char* buffer, int32_t count) {
  for (;;) {
    ssize_t got = recv(Native(socket), buffer, static_cast<size_t>(count), MSG_DONTWAIT);
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno != EINTR) return -1;
  }
}

void WaitReadable(SocketHandle socket, int milliseconds) {
  int saved = errno;  // the caller reads the receive's error after the wait
  PollOne(Native(socket), POLLIN, milliseconds);
  errno = saved;
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) close(Native(socket));
}

long LastSocketError() { return errno; }

void SetLastSocketError(long code) { errno = static_cast<int>(code); }

long NormalizeErrorCode(long raw) {
  return (raw == EAGAIN || raw == EWOULDBLOCK) ? kWouldBlock : raw;
}

bool NothingListens(long code) { return code == ECONNREFUSED || code == ENOENT; }

bool TimedOut(long code) { return code == ETIMEDOUT; }

bool AddressUnusable(long code) {
  return code == EAFNOSUPPORT || code == EADDRNOTAVAIL || code == ENETUNREACH;
}

}  // namespace platform
