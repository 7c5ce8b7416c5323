// What the Win32 files of the platform share: the system's headers, and the
// one wait on a socket.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // GetTickCount64
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include "platform/socket.h"

namespace platform {

// The system's socket behind a socket handle (the same name on both sides).
inline SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Opens or creates a file of the gateway's own (see files.h) for `access`,
// never through a reparse point (refused with ERROR_CANT_ACCESS_FILE), and
// only a file on disk (files.cpp).
HANDLE OpenOwnFile(const char* path, DWORD access, bool inheritable);

enum class SocketWait { kReadable, kWritable };
// One select() on `socket`, at most `milliseconds`: above 0 when it is ready
// (waiting to write, `*failed` then says whether it failed instead), 0 when
// the time passed, SOCKET_ERROR on an error (socket.cpp).
int WaitForSocket(SOCKET socket, SocketWait wait, DWORD milliseconds, bool* failed = nullptr);

}  // namespace platform
