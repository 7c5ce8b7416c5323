// A connected stream socket (Win32).
#include "platform/connect_steps.h"
#include "platform/socket.h"
#include "platform/win32/system.h"

namespace platform {
namespace {

// Windows Sockets' would-block code.
constexpr long kWinsockWouldBlock = WSAEWOULDBLOCK;  // 10035

}  // namespace

int WaitForSocket(SOCKET socket, SocketWait wait, DWORD milliseconds, bool* failed) {
  fd_set ready;
  fd_set failing;
  FD_ZERO(&ready);
  FD_ZERO(&failing);
  FD_SET(socket, &ready);
  FD_SET(socket, &failing);
  struct timeval limit;
  limit.tv_sec = static_cast<long>(milliseconds / 1000);
  limit.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
  const bool reading = wait == SocketWait::kReadable;
  int count = select(0, reading ? &ready : nullptr, reading ? nullptr : &ready,
                     reading ? nullptr : &failing, milliseconds == INFINITE ? nullptr : &limit);
  if (failed) *failed = count > 0 && !FD_ISSET(socket, &ready);
  return count;
}

bool SetBlocking(SocketHandle socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0;
}

// The bound is kept on the socket itself (SO_SNDTIMEO), where SendOnSocket
// reads it back when a send has to wait; the sends themselves are made
// without blocking (see there), so the system never applies it.
void SetSendTimeout(SocketHandle socket, int seconds) {
  if (seconds <= 0) return;
  DWORD milliseconds =
      seconds > 0x7fffffff / 1000 ? 0x7fffffff : static_cast<DWORD>(seconds) * 1000;
  setsockopt(Native(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds),
             sizeof milliseconds);
}

// Windows raises no signal for a closed connection: a failed send is just -1.
//
// The gateway sends on a blocking socket. A send that has to wait for room
// is made here as a non-blocking send after a wait for the socket to take
// more: a blocking send that is left waiting when the target resets the
// connection does not always return under Wine, and a gateway that never
// ends ties up the web server. Nor does Wine always end a wait for room
// when the connection is reset, so the wait is made in short slices with
// the send tried again after each: a reset shows there as the send's error.
// The whole wait is bounded by the socket's send timeout and then fails with
// WSAETIMEDOUT, as a blocking send with that timeout fails on Windows. The
// result may be a part of `count`; the caller sends the rest.
int32_t SendOnSocket(SocketHandle socket, const char* data, int32_t count) {
  constexpr DWORD kWaitSliceMs = 100;
  SOCKET handle = Native(socket);
  if (!SetBlocking(socket, false)) {
    int sent = send(handle, data, count, 0);
    return sent == SOCKET_ERROR ? -1 : static_cast<int32_t>(sent);
  }
  bool waiting = false;
  ULONGLONG started = 0;
  DWORD bound = 0;  // milliseconds; 0: no bound
  int sent;
  for (;;) {
    sent = send(handle, data, count, 0);
    if (sent != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK) break;
    ULONGLONG now = GetTickCount64();
    if (!waiting) {
      waiting = true;
      started = now;
      int size = sizeof bound;
      char* value = reinterpret_cast<char*>(&bound);
      if (getsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, value, &size) != 0) bound = 0;
    }
    DWORD slice = kWaitSliceMs;
    if (bound > 0) {
      ULONGLONG waited = now - started;
      if (waited >= bound) {
        WSASetLastError(WSAETIMEDOUT);  // the target stopped taking the request
        break;
      }
      if (bound - waited < slice) slice = static_cast<DWORD>(bound - waited);
    }
    bool failed = false;
    if (WaitForSocket(handle, SocketWait::kWritable, slice, &failed) == SOCKET_ERROR) break;
  }
  int error = WSAGetLastError();
  SetBlocking(socket, true);
  WSASetLastError(error);  // the caller logs the send's own error
  return sent == SOCKET_ERROR ? -1 : static_cast<int32_t>(sent);
}

int32_t ReceiveFromSocket(SocketHandle socket, char* buffer, int32_t count) {
  int got = recv(Native(socket), buffer, count, 0);
  return got == SOCKET_ERROR ? -1 : static_cast<int32_t>(got);
}

// Polling needs the socket in non-blocking mode (FIONBIO), and back in
// blocking mode before it is closed.
void BeginPolling(SocketHandle socket) { SetBlocking(socket, false); }
void EndPolling(SocketHandle socket) { SetBlocking(socket, true); }

int32_t ReceiveWithoutWaiting(SocketHandle socket, char* buffer, int32_t count) {
  return ReceiveFromSocket(socket, buffer, count);
}

void WaitReadable(SocketHandle socket, int milliseconds) {
  int saved = WSAGetLastError();  // the caller reads the receive's error after the wait
  WaitForSocket(Native(socket), SocketWait::kReadable, static_cast<DWORD>(milliseconds));
  WSASetLastError(saved);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) closesocket(Native(socket));
}

long LastSocketError() { return WSAGetLastError(); }

void SetLastSocketError(long code) { WSASetLastError(static_cast<int>(code)); }

long NormalizeErrorCode(long raw) { return raw == kWinsockWouldBlock ? kWouldBlock : raw; }

bool NothingListens(long code) {
  return code == WSAECONNREFUSED || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool TimedOut(long code) { return code == WSAETIMEDOUT; }

bool AddressUnusable(long code) {
  return code == WSAEAFNOSUPPORT || code == WSAEADDRNOTAVAIL || code == WSAENETUNREACH;
}

}  // namespace platform
