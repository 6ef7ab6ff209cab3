// SPDX-License-Identifier: MIT
// Staying up on Windows: the thread's execution state asks the system not to
// sleep while the program runs. Windows lets no console program refuse a
// shutdown, and on many machines closing the lid or sleeping from the Start
// menu still goes ahead; the owner's guide says so.
#include "util/stay_awake.h"

#include <windows.h>

static bool held = false;

void stay_awake_begin()
{
    if (held)
        return;
    held = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

void stay_awake_end()
{
    if (!held)
        return;
    SetThreadExecutionState(ES_CONTINUOUS);
    held = false;
}
