// The lock file (Win32).
#include <cstring>

#include "platform/file_lock.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

namespace platform {

FileLock::Result FileLock::TryLock(const char* path) {
  Unlock();
  // Not inheritable: the lock must not pass to the application.
  HANDLE file = OpenOwnFile(path, GENERIC_READ | GENERIC_WRITE, false);
  if (file == INVALID_HANDLE_VALUE) return kFailed;
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return error == ERROR_LOCK_VIOLATION ? kBusy : kFailed;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return kLocked;
}

void FileLock::Unlock() {
  if (handle_ == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

}  // namespace platform
