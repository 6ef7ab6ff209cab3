// SPDX-License-Identifier: MIT
#include "util/progress_line.h"

#include "util/console.h"

void progress_percent(unsigned long percent)
{
    console_print("\r  %lu%%", percent);
}

void progress_done(double seconds)
{
    console_print("\r  Done in %.2lfs\n", seconds);
}
