// Unix domain socket clients (Win32).
#include "platform/win32/system.h"

#include <afunix.h>

#include <cstring>

#include "platform/local_socket.h"
#include "platform/win32/wide_text.h"

namespace platform {

// Unix domain sockets came with Windows 10 version 1803; before it, and under
// Wine 8, the socket cannot be made (WSAEAFNOSUPPORT, 10047).
SocketHandle OpenLocalSocket() {
  SOCKET handle = socket(AF_UNIX, SOCK_STREAM, 0);
  return handle == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(handle);
}

// The timeout is not applied: a full queue refuses at once on Windows.
bool ConnectLocalSocket(SocketHandle socket, const char* path, int) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) {
    WSASetLastError(WSAENAMETOOLONG);
    return false;
  }
  std::memcpy(address.sun_path, path, length + 1);
  return connect(Native(socket), reinterpret_cast<struct sockaddr*>(&address), sizeof address) ==
         0;
}

// A socket file is a reparse point of its own kind.
void RemoveSocketFile(const char* path) {
  constexpr DWORD kSocketFileTag = 0x80000023;  // IO_REPARSE_TAG_AF_UNIX
  WideText widePath(path);
  if (!widePath.get()) return;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widePath.get(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      found.dwReserved0 == kSocketFileTag) {
    DeleteFileW(widePath.get());
  }
}

}  // namespace platform
