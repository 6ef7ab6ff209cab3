// SPDX-License-Identifier: MIT
// The program-wide stopwatch that times the two update phases.
#pragma once

#include <cstdint>

struct stopwatch {
    int64_t frequency = 0;    // counter ticks per second, taken once at construction
    int64_t start_count = 0;  // counter at the last start
};

// Takes the counter's frequency; the start count is zero.
stopwatch stopwatch_create();

void stopwatch_start(stopwatch& watch);

// Seconds from the last start to now; the stopwatch keeps running.
double stopwatch_elapsed_seconds(const stopwatch& watch);
