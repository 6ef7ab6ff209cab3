// Runs the real quennet-update against the emulated Quennet and collects what
// a person and the device saw.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "emu/child_process.h"
#include "emu/device_model.h"
#include "emu/testbed.h"
#include "tests/expected_console.h"

struct update_outcome {
    child_outcome child;
    device_model device;              // as the run left it
    std::vector<size_t> read_lengths; // length asked of every read that got a report
};

// A Quennet running Mainboard 0.95 and Control 0.98 with the given faults.
device_model quennet(const std::vector<std::string>& faults = {}, version_pair mainboard = {0x00, 0x95},
                     version_pair control = {0x00, 0x98});

// How quennet-update is started under the emulated bus.
child_options update_child(const std::string& input, int timeout_ms = 30000);

// One run of quennet-update with `input` on its standard input. Every run is
// bounded: a child that has not ended after `timeout_ms` is killed and the
// outcome says so.
update_outcome run_update(const device_model& device, const std::string& input, const bus_options& bus = {},
                          int timeout_ms = 30000);

// The console text with every "Done in" time replaced by "#.##".
std::string without_times(const std::string& console);

// Every percentage printed on the console, in order, from `from` on.
std::vector<unsigned long> percentages(const std::string& console, size_t from = 0, size_t to = std::string::npos);

// The packets the device took (those whose write did not fail).
std::vector<std::vector<uint8_t>> delivered(const device_model& device);

// A fresh, empty folder for one test's files, under the build tree.
std::filesystem::path scratch_dir(const std::string& name);

// Runs a command to its end (at most two minutes) and returns what it did.
child_outcome run_command(const std::vector<std::string>& argv);

std::string read_text(const std::filesystem::path& path);
