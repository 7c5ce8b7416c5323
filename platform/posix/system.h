// What the POSIX files of the platform share.
#pragma once

#include <sys/types.h>

#include "platform/socket.h"

namespace platform {

// The descriptor behind a socket handle (the same name on both sides).
inline int Native(SocketHandle socket) { return static_cast<int>(socket); }

// Opens or creates a file of the gateway's own (see files.h) with `flags` as
// open() takes them; -1 with errno otherwise, ELOOP for a link (files.cpp).
int OpenOwnFile(const char* path, int flags);
// Opens a regular file and nothing else, with `flags` and `mode` as open()
// takes them; -1 with errno otherwise (files.cpp).
int OpenRegularFile(const char* path, int flags, mode_t mode);

// One poll() of `fd` for `events`, waiting at most `milliseconds`
// (socket.cpp).
int PollOne(int fd, short events, int milliseconds);

}  // namespace platform
