// Files the gateway writes: the request log, spool files, the access log and
// the application's records; and what it asks of files it reads.
#pragma once

#include <cstddef>
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
