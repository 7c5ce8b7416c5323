// Files the gateway writes: the request log, spool files, the access log and
// the application's records; and what it asks of files it reads.
#pragma once

#include <cstddef>
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

// Files of the gateway's own (the access log, the application's records):
// created for the program's user alone (mode 0600) when missing, and never
// anything but a regular file. False with LastSystemError when they fail.
//
// Appends `length` bytes with one write at the end of the file, so that
// lines of requests served at once never mix.
bool AppendToOwnFile(const char* path, const char* bytes, size_t length);
// Replaces the file's content with `text`.
bool WriteOwnFile(const char* path, const char* text);

// Reads the start of a regular file: at most `size` - 1 bytes into `out`, a
// NUL after them. The count read, or -1 when the file cannot be read (ask
// for one byte more than you take to tell a longer file).
int64_t ReadFileStart(const char* path, char* out, size_t size);

struct FileFacts {
  int64_t size;
  int64_t modifiedMilliseconds;  // since 1970
  bool readableByEveryone;       // POSIX: the mode lets others read; Windows: false
};
// False when there is no file at `path`.
bool LookAtFile(const char* path, FileFacts* facts);

// Renames `from` to `to`, replacing a file there.
bool RenameReplacing(const char* from, const char* to);

}  // namespace platform
