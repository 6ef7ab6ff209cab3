// SPDX-License-Identifier: MIT
// What the program asks of the computer around the device, answered in this
// process for the in-process emulation and the fuzz build: there is no
// device node to lock and no system bus to ask, as for a program whose
// system offers neither. Nothing here touches the machine the tests run on.
#include "util/device_lock.h"
#include "util/stay_awake.h"

device_lock_result device_lock_take(const char*)
{
    return device_lock_result::unavailable;
}

void device_lock_release() {}

void stay_awake_begin() {}

void stay_awake_end() {}
