// The lock file (POSIX).
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/file_lock.h"
#include "platform/posix/system.h"

namespace platform {

FileLock::Result FileLock::TryLock(const char* path) {
  Unlock();
  int fd = OpenOwnFile(path, O_RDWR);
  if (fd < 0) return kFailed;
  // flock, not fcntl: its lock belongs to this open file, so a second open in
  // the same process is refused as another process's would be.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return error == EWOULDBLOCK ? kBusy : kFailed;
  }
  handle_ = fd;
  return kLocked;
}

void FileLock::Unlock() {
  if (handle_ < 0) return;
  close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace platform
