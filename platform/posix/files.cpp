// Files the gateway writes (POSIX).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/files.h"
#include "platform/posix/system.h"

namespace platform {

// O_NONBLOCK keeps the open of a named pipe that nobody reads from waiting
// for ever before the check can refuse it.
int OpenOwnFile(const char* path, int flags) {
  int fd = open(path, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
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

FILE* OpenLogForAppending(const char* path) {
  int fd = OpenOwnFile(path, O_WRONLY | O_APPEND);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a");
  if (!file) close(fd);
  return file;
}

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
