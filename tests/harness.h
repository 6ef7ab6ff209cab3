// SPDX-License-Identifier: MIT
// Runs the real quennet-update against the emulated Quennet and collects what
// a person and the device saw.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "emu/umockdev/child_process.h"
#include "emu/model/device_model.h"
#include "emu/umockdev/testbed.h"
#include "tests/common.h"

struct update_outcome {
    child_outcome child;
    device_model device;              // as the run left it
    std::vector<size_t> read_lengths; // length asked of every read that got a report
    std::array<long, 256> device_us_by_command{};  // the device's own time per command
    std::array<std::chrono::steady_clock::time_point, 256> first_offered_at{};  // per command
};

// How quennet-update is started under the emulated bus.
child_options update_child(const std::string& input, int timeout_ms = 30000);

// One run of quennet-update with `input` on its standard input. Every run is
// bounded: a child that has not ended after `timeout_ms` is killed and the
// outcome says so.
update_outcome run_update(const device_model& device, const std::string& input, const bus_options& bus = {},
                          int timeout_ms = 30000);
// The same, the program started as `child` says (a late answer, an input
// held open).
update_outcome run_update(const device_model& device, const child_options& child, const bus_options& bus = {});

// A fresh, empty folder for one test's files, under the build tree.
std::filesystem::path scratch_dir(const std::string& name);

// Runs a command to its end (at most two minutes) and returns what it did.
child_outcome run_command(const std::vector<std::string>& argv);

// A file a test needs that the README's first command does not install, and
// the Debian package that brings it.
struct needed_file {
    const char* path;
    const char* package;
};

// Empty when every file is there; otherwise the reason to skip the test,
// naming each missing file's package and the command that installs them
// ("Missing tool: ...", which the test command looks for in a skip).
std::string missing_tools(const std::vector<needed_file>& files);
