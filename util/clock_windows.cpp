// SPDX-License-Identifier: MIT
// The counter on Windows: the performance counter and its frequency.
#include "util/clock.h"

#include <windows.h>

int64_t clock_ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t clock_ticks_per_second()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

void clock_sleep_ms(int milliseconds)
{
    Sleep(static_cast<DWORD>(milliseconds));
}
