// Files the gateway writes: the request log, spool files, and the time stamp
// of the settings file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform {

// The gateway's own files beside the program (the log, the start log, the
// lock) are created private to their owner (mode 0600 on POSIX) and are
// regular files and nothing else: a named pipe nobody reads must not keep the
// gateway waiting, and a link (a reparse point on Windows) is never followed,
// as another account that may write the folder could point it at a file of
// the web server's user.

// Opens the log for appending as text (created when missing), or returns
// nullptr.
FILE* OpenLogForAppending(const char* path);

// True when `error` (LastSystemError, a start's outputError) says a file of
// the gateway's own was refused for being a link.
bool IsLinkRefused(long error);

// A new binary file for reading and writing in the system's temporary folder,
// removed when it is closed; nullptr when none can be made.
FILE* OpenTemporaryFile();

// Changes whenever the file at `path` is written or replaced; -1 when there
// is no file there.
int64_t FileStamp(const char* path);

}  // namespace platform
