// Files the gateway writes (POSIX).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/posix/system.h"

namespace platform {

// Opens a regular file and nothing else; O_NONBLOCK keeps the open of a named
// pipe that nobody reads from waiting for ever before the check can refuse it.
int OpenRegularFile(const char* path, int flags, mode_t mode) {
  int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat info;
  int current = fcntl(fd, F_GETFL, 0);
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || current < 0 ||
      fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// The one way the gateway creates a file of its own: readable by its own user
// only, and never through a link another account may have put in its place.
int OpenOwnFile(const char* path, int flags) {
  return OpenRegularFile(path, flags | O_CREAT | O_NOFOLLOW, 0600);
}

FILE* OpenLogForAppending(const char* path) {
  int fd = OpenOwnFile(path, O_WRONLY | O_APPEND);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a");
  if (!file) close(fd);
  return file;
}

namespace {

bool WriteAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t put = write(fd, bytes, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

bool WriteAndClose(int fd, const char* bytes, size_t length) {
  if (fd < 0) return false;
  bool written = WriteAll(fd, bytes, length);
  int error = errno;
  close(fd);
  errno = error;
  return written;
}

}  // namespace

bool AppendToOwnFile(const char* path, const char* bytes, size_t length) {
  return WriteAndClose(OpenOwnFile(path, O_WRONLY | O_APPEND), bytes, length);
}

bool WriteOwnFile(const char* path, const char* text) {
  return WriteAndClose(OpenOwnFile(path, O_WRONLY | O_TRUNC), text, std::strlen(text));
}

int64_t ReadFileStart(const char* path, char* out, size_t size) {
  int fd = OpenRegularFile(path, O_RDONLY, 0);
  if (fd < 0) return -1;
  size_t got = 0;
  while (got + 1 < size) {
    ssize_t read_now = read(fd, out + got, size - 1 - got);
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now <= 0) break;
    got += static_cast<size_t>(read_now);
  }
  close(fd);
  out[got] = '\0';
  return static_cast<int64_t>(got);
}

bool LookAtFile(const char* path, FileFacts* facts) {
  struct stat info;
  if (stat(path, &info) != 0) return false;
  facts->size = info.st_size;
  facts->modifiedMilliseconds =
      static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
  facts->readableByEveryone = (info.st_mode & S_IROTH) != 0;
  return true;
}

bool RenameReplacing(const char* from, const char* to) { return rename(from, to) == 0; }

bool IsLinkRefused(long error) { return error == ELOOP; }

FILE* OpenTemporaryFile() { return std::tmpfile(); }

int64_t FileStamp(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return -1;
  // Time to the nanosecond, with size and file number: an edit within one
  // tick of the clock, or a file moved into place, still shows.
  uint64_t stamp = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                   static_cast<uint64_t>(info.st_mtim.tv_nsec);
  stamp ^= static_cast<uint64_t>(info.st_size) << 40 ^ static_cast<uint64_t>(info.st_ino) << 20;
  return static_cast<int64_t>(stamp & INT64_MAX);
}

}  // namespace platform
