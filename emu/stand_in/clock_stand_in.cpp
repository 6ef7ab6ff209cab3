// SPDX-License-Identifier: MIT
// The platform's counter for the fuzz build: it moves only when the program
// waits, so that a run never sleeps and every run of an input is the same.
#include "util/clock.h"

static int64_t now_us = 0;

int64_t clock_ticks()
{
    return now_us;
}

int64_t clock_ticks_per_second()
{
    return 1000000;
}

void clock_sleep_ms(int milliseconds)
{
    now_us += milliseconds * 1000L;
}
