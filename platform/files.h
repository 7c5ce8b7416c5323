// Files the gateway writes: the request log, spool files, and the time stamp
// of the settings file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform {

// Opens a log file for appending as text (created when missing), or returns
// nullptr. Anything but a regular file is refused: a named pipe nobody reads
// must not keep the gateway waiting.
FILE* OpenLogForAppending(const char* path);

// A new binary file for reading and writing in the system's temporary folder,
// removed when it is closed; nullptr when none can be made.
FILE* OpenTemporaryFile();

// Changes whenever the file at `path` is written or replaced; -1 when there
// is no file there.
int64_t FileStamp(const char* path);

}  // namespace platform
