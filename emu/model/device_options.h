// SPDX-License-Identifier: MIT
// The command-line options that every tool emulating the Quennet takes
// (quennet-emu, quennet-gadget): the versions the device runs, its faults and
// its timing. Each tool adds options of its own to the same getopt_long table.
#pragma once

#include <string>
#include <vector>

#include <getopt.h>

#include "emu/model/device_model.h"

struct device_options {
    device_model device = make_device_model();
    bool realistic = false;        // the device takes a real device's time
    bool other_interface = false;  // the device shows its consumer-control HID interface first
};

// The long options: the shared ones, then the tool's own, then the end mark.
std::vector<option> device_long_options(const std::vector<option>& tool_options);

enum class option_use { taken, not_shared, bad };

// Takes one option that getopt_long returned, if it is a shared one; on bad,
// `error` says why.
option_use take_device_option(int code, const char* value, device_options& options, std::string& error);

// The help lines of the shared options.
extern const char* const DEVICE_OPTIONS_HELP;
