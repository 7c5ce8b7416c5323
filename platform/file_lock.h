// A lock file: one start of the application at a time.
#pragma once

#include <cstdint>

namespace platform {

// An exclusive lock on a file, held until Unlock or the object goes, and
// released by the system when the process ends however it ends.
class FileLock {
 public:
  enum Result { kLocked, kBusy, kFailed };
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock on `path` (created when missing) without waiting: kBusy
  // when another holds it, kFailed (with LastSystemError) when the file
  // cannot be opened or locked.
  Result TryLock(const char* path);
  void Unlock();

 private:
  intptr_t handle_ = -1;
};

}  // namespace platform
