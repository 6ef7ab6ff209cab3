// SPDX-License-Identifier: MIT
#include "util/stopwatch.h"

#include "util/clock.h"

stopwatch stopwatch_create()
{
    stopwatch watch;
    watch.frequency = clock_ticks_per_second();
    return watch;
}

void stopwatch_start(stopwatch& watch)
{
    watch.start_count = clock_ticks();
}

// Both counts are turned into microseconds before they are subtracted.
double stopwatch_elapsed_seconds(const stopwatch& watch)
{
    const int64_t end_count = clock_ticks();
    const double microseconds_per_tick = 1e6 / static_cast<double>(watch.frequency);
    const double start_time = static_cast<double>(watch.start_count) * microseconds_per_tick;
    const double end_time = static_cast<double>(end_count) * microseconds_per_tick;
    return (end_time - start_time) * 1e-6;
}
