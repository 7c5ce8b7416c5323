// Time: whole seconds that never go backwards, and pauses.
#pragma once

#include <cstdint>

namespace platform {

// Whole seconds from an arbitrary fixed point; never goes backwards.
int64_t MonotonicSeconds();
// Sleeps the calling thread.
void SleepMilliseconds(int milliseconds);

}  // namespace platform
