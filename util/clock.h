// SPDX-License-Identifier: MIT
// The platform's monotonic high-resolution counter, read as ticks.
#pragma once

#include <cstdint>

// The counter's current value; never goes back.
int64_t clock_ticks();

// How many ticks the counter advances per second.
int64_t clock_ticks_per_second();

// Waits this many milliseconds (the only wait of the program outside the HID
// calls and the prompts: between tries to find the Quennet after its restart).
void clock_sleep_ms(int milliseconds);
