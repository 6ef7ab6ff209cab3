// SPDX-License-Identifier: MIT
// Whole updates through the real hidapi library and the kernel's hidraw
// interface as umockdev emulates it: what the in-process tests cannot show,
// the bytes hidapi really writes and time as a person waits it.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/harness.h"

namespace {

TEST(hidraw_update, sends_every_packet_says_every_word_and_leaves_the_release_on_the_device)
{
    const update_outcome run = run_update(quennet(), "y\n");
    expect_complete_update(run.child.output, run.child.exit_status, run.device, run.read_lengths);
}

// With the timing of a real device and an answer that comes 1.5 s after the
// question, each phase's time is the span in which the device saw that
// phase's packets: the Mainboard time from the clear (sent right after the
// answer) to the hand-over, the Control time from the hand-over to the
// restart. Both spans and the program's stopwatch run on the same monotonic
// clock and move together when the machine is busy; what separates them is
// a packet's way through the kernel at each end, milliseconds. Each bound
// allows half the fault it is there for: a Mainboard time counted from the
// question is 1.5 s too long, a stopwatch not started again for the Control
// phase adds the whole Mainboard phase to the Control time.
TEST(hidraw_update, phase_times_start_at_the_answer_and_at_the_end_of_the_mainboard_phase)
{
    constexpr int ANSWER_DELAY_MS = 1500;
    child_options child = update_child("y\n");
    child.input_delay_ms = ANSWER_DELAY_MS;
    const update_outcome run = run_update(quennet(), child, {.timing = realistic_timing()});
    ASSERT_EQ(run.child.exit_status, 0) << run.child.output;
    const std::vector<double> times = phase_times(run.child.output);
    ASSERT_EQ(times.size(), 2u);
    const auto seconds_between = [&](uint8_t from, uint8_t to) {
        return std::chrono::duration<double>(run.first_offered_at[to] - run.first_offered_at[from]).count();
    };
    const double mainboard = seconds_between(CMD_EEPROM_WRITE, CMD_CONTROL_PREPARE);
    const double control = seconds_between(CMD_CONTROL_PREPARE, CMD_RESTART);
    ASSERT_GT(mainboard, 1.0) << "the emulated device did not take a real device's time";
    EXPECT_NEAR(times[0], mainboard, ANSWER_DELAY_MS * 1e-3 / 2);
    EXPECT_NEAR(times[1], control, mainboard / 2);
}

}  // namespace
