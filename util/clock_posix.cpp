// SPDX-License-Identifier: MIT
// The counter on POSIX systems: the monotonic clock, in nanosecond ticks.
#include "util/clock.h"

#include <cerrno>
#include <ctime>

static constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;

int64_t clock_ticks()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NANOSECONDS_PER_SECOND + now.tv_nsec;
}

int64_t clock_ticks_per_second()
{
    return NANOSECONDS_PER_SECOND;
}

void clock_sleep_ms(int milliseconds)
{
    timespec wait{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal that cuts the sleep short leaves the rest in `wait`.
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
