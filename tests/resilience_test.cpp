// A device that stops working must neither keep the program running for ever
// nor be reported as updated; an update cut off anywhere completes when run
// again. Bounds on resends, 'M' replies and silent blocks, interrupted
// updates, and a campaign of seeded random fault plans.
#include <gtest/gtest.h>

#include <random>

#include "tests/harness.h"

namespace {

// The console text from the Control phase's first line on.
std::string control_part(const std::string& console)
{
    const size_t at = console.find("Bootloader entry");
    return at == std::string::npos ? std::string() : without_times(console.substr(at));
}

std::string repeated(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

struct bound_case {
    const char* name;
    std::vector<std::string> faults;
    int exit_status;
    std::string control_console;  // from "Bootloader entry" on, pause prompt included
    double at_least_seconds;      // reply time-outs the run must have waited through
};

void PrintTo(const bound_case& c, std::ostream* out)
{
    *out << c.name;
}

class control_bounds : public testing::TestWithParam<bound_case> {};

TEST_P(control_bounds, end_the_run_only_when_the_device_is_gone_or_stuck)
{
    const bound_case& c = GetParam();
    const update_outcome run = run_update(quennet(c.faults), "y\n");
    EXPECT_EQ(control_part(run.child.output), c.control_console);
    EXPECT_EQ(run.child.exit_status, c.exit_status);
    if (c.exit_status == 0) {
        EXPECT_TRUE(device_holds_release(run.device));
    }
    EXPECT_GE(run.child.seconds, c.at_least_seconds);
}

std::vector<bound_case> bound_cases()
{
    const std::string all = control_progress(1, 320);
    const std::string success_end = all + DONE + RESTARTING + PAUSE_PROMPT;
    return {
        {"flash_packet_resent_three_times_in_a_row",
         {"write-fail@command=0x32,address=48,times=3"},
         0,
         CONTROL_STARTED + repeated(WRITE_FAILED, 3) + success_end,
         0},
        {"flash_packet_failing_a_fourth_time_ends_the_run",
         {"write-fail@command=0x32,address=48,times=-1"},
         1,
         CONTROL_STARTED + repeated(WRITE_FAILED, 4) + NO_RESPONSE + PAUSE_PROMPT,
         0},
        {"failed_write_at_a_block_start_waits_before_the_resend",
         {"write-fail@command=0x32,address=192"},
         0,
         CONTROL_STARTED + control_progress(1, 1) + WRITE_FAILED + control_progress(2, 320) + DONE + RESTARTING +
             PAUSE_PROMPT,
         1.0},
        {"999_wait_replies_are_waited_through",
         {"wait=999@command=0x31,address=144"},
         0,
         CONTROL_STARTED + success_end,
         0},
        {"1000_wait_replies_end_the_run",
         {"wait=1000@command=0x31,address=144"},
         1,
         CONTROL_STARTED + NO_RESPONSE + PAUSE_PROMPT,
         0},
        {"one_silent_block_lets_streaming_go_on",
         {"no-reply@command=0x31,address=336"},
         0,
         CONTROL_STARTED + control_progress(1, 1) + control_progress(3, 320) + DONE + RESTARTING + PAUSE_PROMPT,
         1.0},
        {"two_silent_blocks_in_a_row_let_streaming_go_on",
         {"no-reply@command=0x31,address=336", "no-reply@command=0x31,address=528"},
         0,
         CONTROL_STARTED + control_progress(1, 1) + control_progress(4, 320) + DONE + RESTARTING + PAUSE_PROMPT,
         2.0},
        {"three_silent_blocks_in_a_row_end_the_run",
         {"no-reply@command=0x31,address=336", "no-reply@command=0x31,address=528",
          "no-reply@command=0x31,address=720"},
         1,
         CONTROL_STARTED + control_progress(1, 1) + NO_RESPONSE + PAUSE_PROMPT,
         3.0},
        {"an_unacknowledged_last_block_ends_the_run",
         {"no-reply@command=0x31,address=61392"},
         1,
         CONTROL_STARTED + control_progress(1, 319) + NO_RESPONSE + PAUSE_PROMPT,
         3.0},
        {"a_late_acknowledgement_of_the_last_block_is_waited_for",
         {"delay=1500@command=0x31,address=61392"},
         0,
         CONTROL_STARTED + success_end,
         1.5},
    };
}

INSTANTIATE_TEST_SUITE_P(cases, control_bounds, testing::ValuesIn(bound_cases()),
                         [](const testing::TestParamInfo<bound_case>& info) { return info.param.name; });

TEST(control_bounds, a_failing_flash_packet_is_offered_four_times_in_all)
{
    const update_outcome run = run_update(quennet({"write-fail@command=0x32,address=48,times=-1"}), "y\n");
    size_t attempts = 0;
    for (const packet_record& record : run.device.packets)
        attempts += record.bytes[1] == 0x32 && record.bytes[2] == 0 && record.bytes[3] == 48;
    EXPECT_EQ(attempts, 4u);
    EXPECT_EQ(run.device.packets.size(), 191u + 1u + 4u);
}

struct cut_off_case {
    const char* name;
    std::string fault;
    version_pair mainboard_after;  // as the device reports after power-up
    version_pair control_after;
};

void PrintTo(const cut_off_case& c, std::ostream* out)
{
    *out << c.name;
}

class cut_off : public testing::TestWithParam<cut_off_case> {};

TEST_P(cut_off, update_completes_when_run_again)
{
    const cut_off_case& c = GetParam();
    const update_outcome first = run_update(quennet({c.fault}), "y\n");
    EXPECT_EQ(first.child.exit_status, 1);
    EXPECT_EQ(first.child.output.find("Restarting"), std::string::npos);
    EXPECT_FALSE(device_holds_release(first.device));

    const device_model replugged = device_after_replug(first.device);
    EXPECT_EQ(replugged.mainboard_version.major, c.mainboard_after.major);
    EXPECT_EQ(replugged.mainboard_version.minor, c.mainboard_after.minor);
    EXPECT_EQ(replugged.control_version.major, c.control_after.major);
    EXPECT_EQ(replugged.control_version.minor, c.control_after.minor);
    device_model again = replugged;
    again.faults.clear();
    again.packets.clear();
    const update_outcome second = run_update(again, "y\n");
    EXPECT_EQ(second.child.exit_status, 0);
    EXPECT_NE(second.child.output.find("Restarting Quennet"), std::string::npos);
    EXPECT_TRUE(device_holds_release(second.device));
    EXPECT_EQ(second.device.mainboard_version.minor, 0x97);
    EXPECT_EQ(second.device.control_version.minor, 0x99);
}

INSTANTIATE_TEST_SUITE_P(
    cases, cut_off,
    testing::Values(cut_off_case{"after_the_eeprom_clear", "unplug@index=3", {0x00, 0x00}, {0x00, 0x98}},
                    cut_off_case{"in_the_mainboard_phase", "unplug@index=100", {0x00, 0x00}, {0x00, 0x98}},
                    cut_off_case{"at_the_hand_over", "unplug@index=189", {0x00, 0x97}, {0x00, 0x98}},
                    cut_off_case{"in_the_control_phase", "unplug@index=700", {0x00, 0x97}, {0x00, 0x00}},
                    cut_off_case{"at_the_last_flash_packet", "unplug@index=1470", {0x00, 0x97}, {0x00, 0x00}}),
    [](const testing::TestParamInfo<cut_off_case>& info) { return info.param.name; });

// A random fault plan for a device that reports its failures truthfully:
// what it answers with R, V or W it has not stored, and a withheld or late
// answer still stored its packet.
std::vector<std::string> fault_plan(unsigned seed)
{
    std::mt19937 random(seed);
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const char* failures[] = {"R", "V", "W"};
    std::vector<std::string> plan;
    bool silent_used = false;
    const int count = pick(1, 3);
    for (int i = 0; i < count; ++i) {
        const std::string chunk = "command=0x21,address=" + std::to_string(32 * pick(0, 185));
        const std::string block = "command=0x31,address=" + std::to_string(192 * pick(0, 319) + 144);
        const std::string index = "index=" + std::to_string(pick(2, 1471));
        switch (pick(0, 7)) {
        case 0:
            plan.push_back(std::string("status=") + failures[pick(0, 2)] + "@" + (pick(0, 1) ? chunk : block));
            break;
        case 1:
            plan.push_back("wait=" + std::to_string(pick(1, 40)) + "@" + (pick(0, 1) ? block : index));
            break;
        case 2:
            plan.push_back("write-fail@" + index + ",times=" + std::to_string(pick(1, 5)));
            break;
        case 3:
            plan.push_back("unplug@" + index);
            break;
        case 4:
            plan.push_back("unplug-after@" + index);
            break;
        case 5:
            if (!silent_used)
                plan.push_back("no-reply@" + (pick(0, 1) ? block : index));
            silent_used = true;
            break;
        case 6:
            if (!silent_used)
                plan.push_back("delay=" + std::to_string(pick(100, 1300)) + "@" + block);
            silent_used = true;
            break;
        default:
            plan.push_back("write-fail@command=0x32,times=" + std::to_string(pick(1, 3)));
            break;
        }
    }
    return plan;
}

class fault_campaign : public testing::TestWithParam<unsigned> {};

TEST_P(fault_campaign, never_reports_success_for_a_device_without_the_release)
{
    const std::vector<std::string> plan = fault_plan(GetParam());
    std::string described;
    for (const std::string& fault : plan)
        described += " " + fault;
    SCOPED_TRACE("fault plan:" + described);

    const update_outcome run = run_update(quennet(plan), "y\n", bus_options{}, 60000);
    const std::string& console = run.child.output;
    const bool success_shown = console.find(RESTARTING) != std::string::npos || console.find(POWER_CYCLE) != std::string::npos;
    if (run.child.exit_status == 0) {
        EXPECT_TRUE(device_holds_release(run.device));
        EXPECT_TRUE(success_shown);
    } else {
        EXPECT_EQ(run.child.exit_status, 1);
        EXPECT_FALSE(success_shown);
    }
    EXPECT_EQ(console.substr(console.size() - PAUSE_PROMPT.size()), PAUSE_PROMPT);

    // Whatever the plan left behind, a clean run then completes the update.
    device_model again = device_after_replug(run.device);
    again.faults.clear();
    again.packets.clear();
    const update_outcome second = run_update(again, "y\n");
    EXPECT_EQ(second.child.exit_status, 0);
    EXPECT_TRUE(device_holds_release(second.device));
}

INSTANTIATE_TEST_SUITE_P(seeds, fault_campaign, testing::Range(1u, 25u));

}  // namespace
