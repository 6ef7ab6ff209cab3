// SPDX-License-Identifier: MIT
// The fuzz input as the answerer of the hidapi stand-in (device_script.h
// says how an input scripts the library).
#pragma once

#include <cstddef>
#include <cstdint>

#include "emu/stand_in/hidapi_stand_in.h"

// An answerer that reads its answers from `data`, which must outlive the run.
hid_answerer fuzz_answerer(const uint8_t* data, size_t size);
