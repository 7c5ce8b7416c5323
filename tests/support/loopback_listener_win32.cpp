// Server-side sockets on 127.0.0.1 for tests, over Windows Sockets.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <afunix.h>

#include <cstring>

#include "tests/support/loopback_listener.h"

namespace platform {
namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// A test may open a listener before anything started the socket library;
// the library counts its starts, so one more is harmless.
void EnsureSocketLibrary() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

}  // namespace

SocketHandle OpenLoopbackListener(uint16_t* port) {
  EnsureSocketLibrary();
  SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (handle == INVALID_SOCKET) return kNoSocket;
  // Without this another process could bind the same port on Windows.
  BOOL exclusive = TRUE;
  setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(*port);
  int size = sizeof address;
  if (bind(handle, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
      listen(handle, 16) != 0 ||
      getsockname(handle, reinterpret_cast<struct sockaddr*>(&address), &size) != 0) {
    closesocket(handle);
    return kNoSocket;
  }
  *port = ntohs(address.sin_port);
  return static_cast<SocketHandle>(handle);
}

SocketHandle OpenLocalListener(const char* path) {
  EnsureSocketLibrary();
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  SOCKET handle = socket(AF_UNIX, SOCK_STREAM, 0);
  if (handle == INVALID_SOCKET) return kNoSocket;
  if (bind(handle, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
      listen(handle, 16) != 0) {
    int error = WSAGetLastError();
    closesocket(handle);
    WSASetLastError(error);
    return kNoSocket;
  }
  return static_cast<SocketHandle>(handle);
}

SocketHandle AcceptConnection(SocketHandle listener, int milliseconds) {
  if (!WaitForData(listener, milliseconds)) return kNoSocket;
  SOCKET handle = accept(Native(listener), nullptr, nullptr);
  return handle == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(handle);
}

void ShutdownSending(SocketHandle socket) { shutdown(Native(socket), SD_SEND); }

void ResetAndClose(SocketHandle socket) {
  struct linger abort;
  abort.l_onoff = 1;
  abort.l_linger = 0;
  setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
             sizeof abort);
  closesocket(Native(socket));
}

bool WaitForData(SocketHandle socket, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  struct timeval limit;
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = (milliseconds % 1000) * 1000;
  return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

std::string StartTlsTargets() { return ""; }

}  // namespace platform
