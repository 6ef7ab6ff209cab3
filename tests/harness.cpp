// SPDX-License-Identifier: MIT
#include "tests/harness.h"

#include <gtest/gtest.h>

child_options update_child(const std::string& input, int timeout_ms)
{
    child_options child;
    child.argv = {QUENNET_UPDATE_PATH};
    child.environment = bus_child_environment();
    child.environment.push_back("LSAN_OPTIONS=suppressions=" QUENNET_LSAN_SUPPRESSIONS ":print_suppressions=0");
    // No system bus, unless a test brings its own: a test run takes no sleep
    // lock on the machine it runs on.
    child.environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/quennet-update-tests/bus");
    child.input = input;
    child.timeout_ms = timeout_ms;
    return child;
}

update_outcome run_update(const device_model& device, const std::string& input, const bus_options& bus_setup,
                          int timeout_ms)
{
    return run_update(device, update_child(input, timeout_ms), bus_setup);
}

update_outcome run_update(const device_model& device, const child_options& child, const bus_options& bus_setup)
{
    update_outcome outcome;
    std::unique_ptr<emulated_bus> bus = bus_create(bus_setup, device);
    EXPECT_TRUE(bus != nullptr) << "the emulated bus could not be built";
    if (!bus)
        return outcome;
    outcome.child = run_child(child);
    outcome.device = bus_device(*bus);
    {
        std::lock_guard<std::mutex> guard(bus->lock);
        outcome.read_lengths = bus->read_lengths;
        outcome.device_us_by_command = bus->device_us_by_command;
        outcome.first_offered_at = bus->first_offered_at;
    }
    bus_destroy(bus);
    EXPECT_TRUE(outcome.child.started) << outcome.child.errors;
    EXPECT_FALSE(outcome.child.timed_out) << "quennet-update did not end within " << child.timeout_ms << " ms";
    EXPECT_EQ(outcome.child.signal, 0) << outcome.child.errors;
    EXPECT_EQ(outcome.child.errors, "") << "quennet-update wrote to standard error";
    return outcome;
}

std::filesystem::path scratch_dir(const std::string& name)
{
    std::filesystem::path dir = std::filesystem::path(QUENNET_SCRATCH_DIR) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

child_outcome run_command(const std::vector<std::string>& argv)
{
    child_options options;
    options.argv = argv;
    options.timeout_ms = 120000;
    return run_child(options);
}

std::string missing_tools(const std::vector<needed_file>& files)
{
    std::string missing;
    for (const needed_file& file : files)
        if (!std::filesystem::exists(file.path))
            missing += std::string(missing.empty() ? "" : ", ") + file.path + " (Debian package " + file.package + ")";
    return missing.empty() ? "" : "Missing tool: " + missing + "; install with scripts/install-packages.sh --test-tools";
}
