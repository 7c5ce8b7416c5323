// Time (Win32).
#include "platform/clock.h"
#include "platform/win32/system.h"

namespace platform {

int64_t MonotonicSeconds() { return static_cast<int64_t>(GetTickCount64() / 1000); }

void SleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace platform
