// SPDX-License-Identifier: MIT
// The emulated Quennet behind hidapi's interface, in the program's own
// process: in this build the hid_* functions come from the stand-in
// (emu/stand_in), answered here by device_model, and the platform's counter
// from this file, so update_run() and everything below it run unchanged.
// Time is simulated: a read that times out returns at once and moves the
// simulated clock on by its time-out, and so does the device's timing
// profile, so a run never sleeps yet knows how long it would have taken.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "emu/model/bus_options.h"
#include "emu/model/device_model.h"
#include "emu/stand_in/update_properties.h"

struct inprocess_run {
    int exit_status = -1;
    std::string console;           // everything the program wrote to standard output
    std::string input_left;        // what it left unread of its standard input
    device_model device;           // as the run left it
    hid_call_record calls;
    std::vector<size_t> read_lengths;  // length asked of every read that got a report
    long elapsed_us = 0;           // simulated time of the whole run
    long last_answer_us = 0;       // simulated time at which the program last got a report
    // The device's own time per command: the write's USB frame, the work, its answers' frames.
    std::array<long, 256> device_us_by_command{};
};

// Runs the program once, as its entry runs it with these arguments, with
// `input` as its standard input.
inprocess_run run_in_process(const device_model& device, const std::string& input, const bus_options& bus = {},
                             const std::vector<std::string>& arguments = {});
