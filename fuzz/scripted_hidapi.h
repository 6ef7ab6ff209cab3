// SPDX-License-Identifier: MIT
// The HID library as the fuzz input scripts it, with a record of every call
// the program made, for the properties checked after each run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "emu/update_properties.h"

// Starts a run on a new script.
void script_begin(const uint8_t* data, size_t size);

const hid_call_record& script_result();
