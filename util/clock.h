// SPDX-License-Identifier: MIT
// The platform's monotonic high-resolution counter, read as ticks.
#pragma once

#include <cstdint>

// The counter's current value; never goes back.
int64_t clock_ticks();

// How many ticks the counter advances per second.
int64_t clock_ticks_per_second();
