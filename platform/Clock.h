// Wall-clock readings and the pacing sleep.
#pragma once

#include <cstdint>

// System wall clock in 100-nanosecond ticks.
uint64_t wallClockTicks();

// Sleeps until `microseconds` have passed on a monotonic clock.
void sleepMicroseconds(int32_t microseconds);
