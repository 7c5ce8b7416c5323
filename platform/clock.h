// Time: whole seconds that never go backwards, and pauses.
#pragma once

#include <cstdint>

namespace platform {

// Whole seconds from an arbitrary fixed point; never goes backwards.
int64_t MonotonicSeconds();
// Milliseconds from an arbitrary fixed point; never goes backwards.
int64_t MonotonicMilliseconds();
// Milliseconds since 1970-01-01 UTC by the system's clock, which other
// processes read alike (and which may be set back).
int64_t WallClockMilliseconds();
// Sleeps the calling thread.
void SleepMilliseconds(int milliseconds);

}  // namespace platform
