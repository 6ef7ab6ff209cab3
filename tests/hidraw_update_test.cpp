// SPDX-License-Identifier: MIT
// Whole updates through the real hidapi library and the kernel's hidraw
// interface as umockdev emulates it: what the in-process tests cannot show,
// the bytes hidapi really writes, the error texts it really gives, and time
// as a person waits it.
#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

TEST(hidraw_update, sends_every_packet_says_every_word_and_leaves_the_release_on_the_device)
{
    const update_outcome run = run_update(quennet(), "y\n");
    expect_complete_update(run.child.output, run.child.exit_status, run.device, run.read_lengths);
}

TEST(hidraw_update, an_unplugged_device_is_reported_with_the_kernels_words_and_a_rerun_completes)
{
    const update_outcome first = run_update(quennet({"unplug@index=700"}), "y\n");
    EXPECT_EQ(first.child.exit_status, 1);
    const std::string expected_end = control_progress(1, 127) + repeated_write_failure("No such device", 4) + NO_RESPONSE +
                                     PAUSE_PROMPT;
    ASSERT_GE(first.child.output.size(), expected_end.size());
    EXPECT_EQ(first.child.output.substr(first.child.output.size() - expected_end.size()), expected_end);

    device_model again = device_after_replug(first.device);
    EXPECT_EQ(again.control_version.minor, 0x00) << "a Control processor cut off runs no program";
    again.faults.clear();
    again.packets.clear();
    const update_outcome second = run_update(again, "y\n");
    EXPECT_EQ(second.child.exit_status, 0);
    EXPECT_TRUE(device_holds_release(second.device));
}

// With the timing of a real device and an answer that comes 1.5 s after the
// question, each phase's time is the device's own time for that phase plus
// what the emulation layer costs per report: the Mainboard time starts at the
// answer, not at the question.
TEST(hidraw_update, phase_times_start_at_the_answer_and_at_the_end_of_the_mainboard_phase)
{
    bus_options realistic;
    realistic.timing = realistic_timing();
    std::unique_ptr<emulated_bus> bus = bus_create(realistic, quennet());
    ASSERT_TRUE(bus != nullptr);
    child_options child = update_child("y\n");
    child.input_delay_ms = 1500;
    const child_outcome outcome = run_child(child);
    std::array<long, 256> device_us{};
    {
        std::lock_guard<std::mutex> guard(bus->lock);
        device_us = bus->device_us_by_command;
    }
    bus_destroy(bus);
    ASSERT_EQ(outcome.exit_status, 0) << outcome.output;
    const std::vector<double> times = phase_times(outcome.output);
    ASSERT_EQ(times.size(), 2u);
    const double mainboard = static_cast<double>(device_us[0x21]) * 1e-6;
    const double control = static_cast<double>(device_us[0x30] + device_us[0x31] + device_us[0x32]) * 1e-6;
    // Below: the two decimals. Above: the emulation layer's cost, about
    // 0.2 ms per report each way here, allowed 0.6 ms, and 0.25 s for a
    // loaded machine; for the Mainboard phase that stays well below the
    // 1.5 s the answer took.
    constexpr double BELOW = 0.01, PER_REPORT = 0.0006, LOADED = 0.25;
    const double mainboard_reports = 2 * 187, control_reports = 2 + 2 + 1280 + 320;
    EXPECT_GE(times[0], mainboard - BELOW);
    EXPECT_LE(times[0], mainboard + mainboard_reports * PER_REPORT + LOADED);
    EXPECT_GE(times[1], control - BELOW);
    EXPECT_LE(times[1], control + control_reports * PER_REPORT + LOADED);
}

}  // namespace
