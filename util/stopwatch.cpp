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

double stopwatch_seconds_between(stopwatch& watch, int64_t start_count, int64_t end_count)
{
    const double microseconds_per_tick = 1e6 / static_cast<double>(watch.frequency);
    watch.start_time = static_cast<double>(start_count) * microseconds_per_tick;
    watch.end_time = static_cast<double>(end_count) * microseconds_per_tick;
    return (watch.end_time - watch.start_time) * 1e-6;
}

double stopwatch_elapsed_seconds(stopwatch& watch)
{
    watch.end_count = clock_ticks();
    return stopwatch_seconds_between(watch, watch.start_count, watch.end_count);
}
