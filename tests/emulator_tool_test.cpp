// SPDX-License-Identifier: MIT
// quennet-emu, the tool that lets a person try quennet-update without the
// device: its options reach the emulated Quennet, and it says what the device
// holds after each run.
#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

child_outcome run_emulator(const std::vector<std::string>& options, const std::string& input)
{
    child_options child;
    child.argv = {QUENNET_EMU_PATH};
    child.argv.insert(child.argv.end(), options.begin(), options.end());
    child.environment = {"LSAN_OPTIONS=suppressions=" QUENNET_LSAN_SUPPRESSIONS ":print_suppressions=0"};
    child.input = input;
    child.timeout_ms = 60000;
    return run_child(child);
}

TEST(quennet_emu, plugs_the_device_in_again_between_runs)
{
    // Both runs read from the same input: the first its answer and a key,
    // the second its answer. Each run ends with a line on what the device
    // received and holds.
    const child_outcome outcome = run_emulator({"--fault", "unplug@index=700", "--runs", "2"}, "y\nky\n");
    EXPECT_EQ(outcome.exit_status, 0) << outcome.errors;
    EXPECT_NE(outcome.errors.find("exit status 1; the device received 704 packets and now runs Mainboard " +
                                  shown(TARGET_MAINBOARD_REVISION) + ", Control v0.00; it does not hold"),
              std::string::npos)
        << outcome.errors;
    EXPECT_NE(outcome.errors.find("quennet-emu: exit status 0; the device received 1474 packets and now runs Mainboard " +
                                  shown(TARGET_MAINBOARD_REVISION) + ", Control " + shown(TARGET_CONTROL_REVISION) +
                                  "; it holds the release this build carries"),
              std::string::npos)
        << outcome.errors;
}

TEST(quennet_emu, passes_versions_and_faults_to_the_device)
{
    const child_outcome outcome = run_emulator({"--mainboard", "0.90", "--control", "1.0A", "--stale", "2"}, "n\n");
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_NE(outcome.output.find("Found Quennet.. currently running:\n  Mainboard v0.90\n  Control v1.0A\n"),
              std::string::npos)
        << outcome.output;
}

// Options it does not know, and fault texts that are no fault (the tests
// hand the device theirs through the same parser), are refused with a reason.
TEST(quennet_emu, refuses_what_it_does_not_know_with_a_reason)
{
    std::vector<std::vector<std::string>> refused = {{"--mainboard", "ninety"}, {"--frobnicate"}};
    for (const char* fault : {"status=RR", "wait=x", "explode", "unplug@slot=3", "unplug@index=", "short=0", "short=64"})
        refused.push_back({"--fault", fault});
    for (const std::vector<std::string>& options : refused) {
        const child_outcome outcome = run_emulator(options, "");
        EXPECT_EQ(outcome.exit_status, 2) << options.back();
        EXPECT_NE(outcome.errors, "") << options.back();
    }
}

}  // namespace
