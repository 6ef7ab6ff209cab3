// SPDX-License-Identifier: MIT
// The program-wide stopwatch that times the two update phases.
#pragma once

#include <cstdint>

struct stopwatch {
    int64_t frequency = 0;    // counter ticks per second, taken once at construction
    int64_t start_count = 0;  // counter at the last start
    int64_t end_count = 0;    // counter at the last reading
    double start_time = 0;    // microseconds, from the last reading
    double end_time = 0;      // microseconds, from the last reading
};

// Takes the counter's frequency; counts and times start at zero.
stopwatch stopwatch_create();

void stopwatch_start(stopwatch& watch);

// Seconds from the last start to now; the stopwatch keeps running.
double stopwatch_elapsed_seconds(stopwatch& watch);

// Seconds between two counter readings, as stopwatch_elapsed_seconds computes them.
double stopwatch_seconds_between(stopwatch& watch, int64_t start_count, int64_t end_count);
