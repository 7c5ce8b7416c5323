// Time (POSIX).
#include <time.h>

#include "platform/clock.h"

namespace platform {

int64_t MonotonicSeconds() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0 &&
      clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return static_cast<int64_t>(time(nullptr));
  }
  return static_cast<int64_t>(now.tv_sec);
}

int64_t MonotonicMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t WallClockMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMilliseconds(int milliseconds) {
  struct timespec pause;
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  nanosleep(&pause, nullptr);
}

}  // namespace platform
