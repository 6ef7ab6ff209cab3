#include "util/stopwatch.h"

#include <ctime>

// The monotonic clock, read as a counter of nanosecond ticks.
static constexpr int64_t COUNTER_TICKS_PER_SECOND = 1000000000;

static int64_t read_counter()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * COUNTER_TICKS_PER_SECOND + now.tv_nsec;
}

stopwatch stopwatch_create()
{
    stopwatch watch;
    watch.frequency = COUNTER_TICKS_PER_SECOND;
    return watch;
}

void stopwatch_start(stopwatch& watch)
{
    watch.start_count = read_counter();
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
    watch.end_count = read_counter();
    return stopwatch_seconds_between(watch, watch.start_count, watch.end_count);
}
