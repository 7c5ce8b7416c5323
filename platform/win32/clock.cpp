// Time (Win32).
#include "platform/clock.h"
#include "platform/win32/system.h"

namespace platform {

int64_t MonotonicSeconds() { return static_cast<int64_t>(GetTickCount64() / 1000); }

int64_t MonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

int64_t WallClockMilliseconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // 100-nanosecond steps since 1601.
  uint64_t ticks = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000) - 11644473600000LL;
}

void SleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace platform
