// SPDX-License-Identifier: MIT
// Complete and failed updates, in process against the emulated Quennet on a
// simulated clock: the packets on the wire, the console dialogue word for
// word, the phase times, what the device ends up holding, the exit status,
// every failure message and every bound, each at its edge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "emu/inprocess/inprocess.h"
#include "emu/stand_in/hidapi_stand_in.h"
#include "link/update_protocol.h"
#include "tests/common.h"
#include "util/access.h"

namespace {

const std::string MAINBOARD_DONE = MAINBOARD_HEADING + mainboard_progress() + DONE;
const std::string CONTROL_DONE = CONTROL_STARTED + control_progress(1, 320) + DONE;
const std::string ALL_DONE = MAINBOARD_DONE + CONTROL_DONE;
const std::string EEPROM_WRITE_FAILED = "\nWriting EEPROM failed!\n";

TEST(complete_update, sends_every_packet_says_every_word_and_leaves_the_release_on_the_device)
{
    const inprocess_run run = run_in_process(quennet(), "y\n");
    expect_complete_update(run.console, run.exit_status, run.device, run.read_lengths);
    EXPECT_EQ(run.device.restarts, 1);
    EXPECT_EQ(run.calls.closes, 2);  // before the wait for the restarted device, and at the end
    EXPECT_EQ(run.device.mainboard_version, TARGET_MAINBOARD_REVISION);
    EXPECT_EQ(run.device.control_version, TARGET_CONTROL_REVISION);
    EXPECT_EQ(violated_update_property(run.calls, run.exit_status, run.console, false), nullptr);
}

// Each "Done in" time is what the device itself took for its phase (its USB
// frames and its work), to the rounding of two decimals: the Mainboard time
// counts from the consent, the Control time from the end of the Mainboard
// phase. A stopwatch that is not started again between the phases shows the
// two phases together as the Control time.
TEST(complete_update, each_phase_time_is_the_time_the_device_took_for_that_phase)
{
    const inprocess_run run = run_in_process(quennet(), "y\n", {.timing = realistic_timing()});
    ASSERT_EQ(run.exit_status, 0);
    const std::vector<double> times = phase_times(run.console);
    ASSERT_EQ(times.size(), 2u);
    const auto& by_command = run.device_us_by_command;
    const double mainboard = static_cast<double>(by_command[0x21]) * 1e-6;
    const double control = static_cast<double>(by_command[0x30] + by_command[0x31] + by_command[0x32]) * 1e-6;
    constexpr double TOLERANCE_SECONDS = 0.01;  // two decimals on the console
    EXPECT_NEAR(times[0], mainboard, TOLERANCE_SECONDS);
    EXPECT_NEAR(times[1], control, TOLERANCE_SECONDS);
    EXPECT_GT(mainboard, 1.0);
    EXPECT_GT(control, 3.0);
}

// --version and --help answer at once: no device call, no prompt, status 0.
// Any other argument is ignored.
TEST(command_line, version_and_help_answer_at_once_without_touching_the_device)
{
    const std::string images = PLACEHOLDER_IMAGES ? "placeholder images, not a release - do not use this build on a device"
                                                  : "the release's images";
    const inprocess_run version = run_in_process(quennet(), "", {}, {"--force", "--version"});
    EXPECT_EQ(version.console, std::string("quennet-update ") + PROGRAM_VERSION + "\nCarries Mainboard " +
                                   shown(TARGET_MAINBOARD_REVISION) + " and Control " + shown(TARGET_CONTROL_REVISION) +
                                   ": " + images + "\n");
    const inprocess_run help = run_in_process(quennet(), "", {}, {"--help"});
    EXPECT_EQ(help.console.rfind("Usage: quennet-update [--version | --help]\n", 0), 0u) << help.console;
    for (const char* fact : {"type y and\npress Enter", "It takes no other arguments", "Exit status: 0 after a completed update, 1 otherwise",
                             "leave the Quennet switched on and connected and run quennet-update again", "man quennet-update"})
        EXPECT_NE(help.console.find(fact), std::string::npos) << fact;
    for (const inprocess_run* run : {&version, &help}) {
        EXPECT_EQ(run->exit_status, 0);
        EXPECT_EQ(run->calls.calls, 0);
        EXPECT_EQ(run->console.find("Press any key"), std::string::npos);
    }
    const inprocess_run others = run_in_process(quennet(), "n\n", {}, {"--force", "-h"});
    EXPECT_EQ(others.console, DIALOGUE_UP_TO_CONSENT + PAUSE_PROMPT);
    EXPECT_EQ(others.exit_status, 1);
}

// The HID library's error text in the console's plain characters, cut to
// the room there is. (A text as given, and none, are rows of the tables.)
TEST(hid_error_text, is_shown_in_plain_characters_and_cut_to_the_room_there_is)
{
    char text[6];
    describe_hid_error(L"caf\u00e9\n", text, sizeof text);
    EXPECT_STREQ(text, "caf??");
    describe_hid_error(L"Input/output error", text, sizeof text);
    EXPECT_STREQ(text, "Input");
}

// Up to the consent, answered "n": what the HID library can answer besides
// the device's replies, and what the device answers to the version queries.
// Replies too short to hold what the program examines show no version that
// the device did not send.
struct before_consent_case {
    const char* name;
    bus_options bus;
    std::vector<std::string> faults;
    std::string after_banner;  // console text, pause prompt excluded
    long writes;               // attempts, failed ones included
    version_pair mainboard = DEFAULT_MAINBOARD_VERSION;
    version_pair control = DEFAULT_CONTROL_VERSION;
};

CASES_SHOW_BY_NAME(before_consent_case)

class before_consent : public testing::TestWithParam<before_consent_case> {};

TEST_P(before_consent, shows_what_the_device_sent_and_ends_with_status_1)
{
    const before_consent_case& c = GetParam();
    const inprocess_run run = run_in_process(quennet(c.faults, c.mainboard, c.control), "n\n", c.bus);
    EXPECT_EQ(run.console, BANNER + c.after_banner + PAUSE_PROMPT);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.calls.writes, c.writes);
    EXPECT_EQ(violated_update_property(run.calls, run.exit_status, run.console, true), nullptr);
}

std::vector<before_consent_case> before_consent_cases()
{
    const std::string no_reply = "\n\nFound Quennet\nNo reply from Quennet\n";
    const std::string consent = "\nProceed with update process? Yes/[No]: ";
    const std::string running = " currently running:\n  Mainboard v0.95\n";
    const std::string mainboard = "\n\nFound Quennet" + running;
    const std::string same = "\nQuennet already runs this release\n";
    const std::string newer = "\nQuennet runs newer software than this release - Updating would install older software\n";
    // The note a device newer than the release gets (the rows below spell
    // versions out, whatever release the build carries).
    auto note = [&newer](version_pair mainboard, version_pair control) {
        const bool is_newer = version_value(mainboard) > version_value(TARGET_MAINBOARD_REVISION) ||
                              version_value(control) > version_value(TARGET_CONTROL_REVISION);
        return is_newer ? newer : std::string();
    };
    const version_pair target_mainboard = TARGET_MAINBOARD_REVISION;
    const version_pair target_control = TARGET_CONTROL_REVISION;
    const version_pair newer_mainboard{target_mainboard.major, static_cast<uint8_t>(target_mainboard.minor + 1)};
    const version_pair newer_control{static_cast<uint8_t>(target_control.major + 1), 0x00};
    auto found = [](version_pair mainboard, version_pair control) {
        return "\n\nFound Quennet currently running:\n  Mainboard " + shown(mainboard) + "\n  Control " + shown(control) +
               "\n";
    };
    // A placeholder build refuses a device that is not the emulated Quennet.
    const std::string placeholder_refusal =
        PLACEHOLDER_IMAGES ? "\nThis build carries placeholder images - It updates only an emulated Quennet\n" : consent;
    return {
        {"versions_shown_major_in_hex_and_minor_as_two_hex_digits", {}, {},
         "\n\nFound Quennet currently running:\n  Mainboard v1.05\n  Control v0.0A\n" + note({0x01, 0x05}, {0x00, 0x0A}) +
             consent,
         2, {0x01, 0x05}, {0x00, 0x0A}},
        // The one place the version format is spelled out with literals.
        {"versions_shown_as_the_banner_shows_the_release", {}, {},
         "\n\nFound Quennet currently running:\n  Mainboard v0.97\n  Control v0.99\n" + note({0x00, 0x97}, {0x00, 0x99}) +
             (TARGET_MAINBOARD_REVISION == version_pair{0x00, 0x97} && TARGET_CONTROL_REVISION == version_pair{0x00, 0x99}
                  ? same
                  : "") +
             consent,
         2, {0x00, 0x97}, {0x00, 0x99}},
        {"versions_shown_wide", {}, {},
         "\n\nFound Quennet currently running:\n  Mainboard vAB.FF\n  Control v10.00\n" + note({0xAB, 0xFF}, {0x10, 0x00}) +
             consent,
         2, {0xAB, 0xFF}, {0x10, 0x00}},
        // Told before the consent what a yes would do; the prompt is the same.
        {"running_this_release", {}, {}, found(target_mainboard, target_control) + same + consent, 2, target_mainboard,
         target_control},
        {"running_a_newer_mainboard", {}, {}, found(newer_mainboard, target_control) + newer + consent, 2, newer_mainboard,
         target_control},
        {"running_a_newer_control", {}, {}, found(DEFAULT_MAINBOARD_VERSION, newer_control) + newer + consent, 2,
         DEFAULT_MAINBOARD_VERSION, newer_control},
        {"placeholder_build_facing_another_serial_number", {.interfaces = {{.serial = "0001"}}}, {},
         found(DEFAULT_MAINBOARD_VERSION, DEFAULT_CONTROL_VERSION) + placeholder_refusal, 2},
        {"placeholder_build_facing_no_serial_number", {.interfaces = {{.serial = ""}}}, {},
         found(DEFAULT_MAINBOARD_VERSION, DEFAULT_CONTROL_VERSION) + placeholder_refusal, 2},
        {"a_device_that_keeps_sending_is_drained_at_most_the_bound_and_the_run_goes_on", {.keeps_sending = true}, {},
         "\n\nFound Quennet" + std::string(DRAIN_READS_MAX, '.') + running + "  Control v0.98\n" + consent, 2},
        {"no_mainboard_reply", {}, {"no-reply@command=0x10"}, no_reply, 1},
        {"no_control_reply", {}, {"no-reply@command=0x11"}, mainboard + NO_RESPONSE, 2},
        {"mainboard_reply_without_echo", {}, {"echo=0x00@command=0x10"}, "\n\nFound Quennet  Control v0.98\n" + consent, 2},
        {"control_reply_without_echo", {}, {"echo=0x10@command=0x11"}, mainboard + consent, 2},
        {"failed_write_goes_on_to_the_reply_read", {}, {"write-fail@command=0x10"},
         "\n\nFound Quennet" + WRITE_FAILED + "\nNo reply from Quennet\n", 1},
        {"device_gone_before_the_first_query", {}, {"unplug@index=0"},
         "\n\nFound QuennetUnable to write()\nError: No such device\n\nNo reply from Quennet\n", 1},
        // Only the interface whose six identity fields are all the Quennet's.
        {"no_hid_interface", {.interfaces = {}}, {}, NOT_FOUND, 0},
        {"entry_without_strings", {.interfaces = {{.has_strings = false}}}, {}, NOT_FOUND, 0},
        {"other_vendor_id", {.interfaces = {{.vendor_id = 0x0452}}}, {}, NOT_FOUND, 0},
        {"other_product_id", {.interfaces = {{.product_id = 0x5B3F}}}, {}, NOT_FOUND, 0},
        {"manufacturer_differs_in_case", {.interfaces = {{.manufacturer = "harlowmere audio"}}}, {}, NOT_FOUND, 0},
        {"other_product_string", {.interfaces = {{.product = "Calverra Quennet 2"}}}, {}, NOT_FOUND, 0},
        {"product_string_cut_short", {.interfaces = {{.product = "Calverra Quenne"}}}, {}, NOT_FOUND, 0},
        {"other_usage_page", {.interfaces = {{.usage_page = 0x000C}}}, {}, NOT_FOUND, 0},
        {"other_usage", {.interfaces = {{.usage = 0x0002}}}, {}, NOT_FOUND, 0},
        {"the_devices_other_interface_skipped_without_a_message",
         {.interfaces = {{.usage_page = 0x000C, .usage = 0x0001}, {}}, .model_interface = 1}, {},
         found(DEFAULT_MAINBOARD_VERSION, DEFAULT_CONTROL_VERSION) + consent, 2},
        {"entry_without_path", {.interfaces = {{.has_path = false}}}, {}, NO_HANDLE + "Error: No such file or directory\n", 0},
        {"two_quennets", {.interfaces = {{}, {}}}, {}, "\n\nFound 2 Quennets - Please disconnect 1 of them\n", 0},
        {"three_quennets", {.interfaces = {{}, {}, {}}}, {}, "\n\nFound 3 Quennets - Please disconnect 2 of them\n", 0},
        {"open_refused_for_lack_of_rights", {.fail_open = true, .open_for_rights = true}, {},
         NO_HANDLE + "Error: " + OPEN_DENIED_REASON + "\n" + ACCESS_ADVICE, 0},
        {"open_refused_for_another_reason", {.fail_open = true}, {}, NO_HANDLE + "Error: Input/output error\n", 0},
        {"open_refused_without_a_reason", {.fail_open = true, .error_texts = false}, {},
         NO_HANDLE + "Error: no error text from the HID library\n", 0},
        // On Windows a device another program holds opens, and refuses the
        // writes: the advice follows the first one (the Windows build's only).
        {"held_by_another_program_on_windows", {.held_elsewhere = true}, {},
         std::string("\n\nFound QuennetUnable to write()\nError: WriteFile: (0x00000005) Access is denied.\n") +
             (ACCESS_ADVICE == ACCESS_ADVICE_WINDOWS ? ACCESS_ADVICE : "") + "\nNo reply from Quennet\n",
         1},
        {"switch_to_non_blocking_reads_fails", {.fail_nonblocking = true}, {}, NO_HANDLE + "Error: Operation not supported\n", 0},
        {"every_report_1_byte", {}, {"short=1@times=-1"}, no_reply, 1},
        {"every_report_6_bytes", {}, {"short=6@times=-1"}, no_reply, 1},
        {"control_version_reply_6_bytes", {}, {"short=6@command=0x11"}, mainboard + NO_RESPONSE, 2},
    };
}

INSTANTIATE_TEST_SUITE_P(cases, before_consent, testing::ValuesIn(before_consent_cases()),
                         testing::PrintToStringParamName());

struct answer_case {
    const char* name;
    std::string input;
    bool proceeds;
    std::string left;  // what the run leaves unread for the next reader
};

CASES_SHOW_BY_NAME(answer_case)

class consent_answer : public testing::TestWithParam<answer_case> {};

// The answer is read up to its line end and the prompt takes one character
// more; the rest stays for whatever reads standard input next. A line typed
// on Windows ends in "\r\n": the "\r" is part of the line.
TEST_P(consent_answer, is_its_first_character_and_the_prompt_takes_one_more)
{
    const answer_case& c = GetParam();
    const inprocess_run run = run_in_process(quennet(), c.input);
    EXPECT_EQ(run.exit_status, c.proceeds ? 0 : 1);
    EXPECT_EQ(run.calls.writes > 2, c.proceeds);
    EXPECT_EQ(run.input_left, c.left);
    if (c.proceeds) {
        EXPECT_EQ(without_times(run.console), complete_update_console());
    } else {
        EXPECT_EQ(run.console, DIALOGUE_UP_TO_CONSENT + PAUSE_PROMPT);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, consent_answer,
    testing::Values(answer_case{"y", "y\n", true, ""}, answer_case{"Y", "Y\n", true, ""},
                    answer_case{"Yes", "Yes\n", true, ""}, answer_case{"y_without_line_end", "y", true, ""},
                    answer_case{"n", "n\n", false, ""}, answer_case{"No", "No\n", false, ""},
                    answer_case{"space_then_y", " y\n", false, ""},
                    answer_case{"yes_then_a_key", "yes\nkrest", true, "rest"},
                    answer_case{"y_with_cr_lf", "y\r\nkrest", true, "rest"},
                    answer_case{"n_with_cr_lf", "n\r\n\r\nrest", false, "\nrest"},
                    answer_case{"lone_cr_is_no_line_end", "y\rstill the answer\nkrest", true, "rest"},
                    answer_case{"empty_line", "\nkrest", false, "rest"},
                    answer_case{"end_of_input", "", false, ""}),
    testing::PrintToStringParamName());

struct outcome_case {
    const char* name;
    std::vector<std::string> faults;
    std::string after_consent;  // console text, "#.##" for times, pause prompt excluded
    int exit_status;
    double waited_seconds;      // simulated time the run took (reply time-outs, blocked writes, late replies)
    long packets_offered;       // writes offered to the device, failed ones included
    version_pair mainboard = DEFAULT_MAINBOARD_VERSION;
    bus_options bus = {};       // what the HID library answers besides the device
};

CASES_SHOW_BY_NAME(outcome_case)

class update_outcome : public testing::TestWithParam<outcome_case> {};

// With no device timing, a run's simulated time is the time it waited
// through time-outs, blocked writes and late replies, and nothing else.
TEST_P(update_outcome, says_what_happened_and_ends_as_the_device_deserves)
{
    const outcome_case& c = GetParam();
    const inprocess_run run = run_in_process(quennet(c.faults, c.mainboard), "y\n", c.bus);
    const std::string console = without_times(run.console);
    const std::string consent = "Yes/[No]: ";
    ASSERT_NE(console.find(consent), std::string::npos) << console;
    EXPECT_EQ(console.substr(console.find(consent) + consent.size()), c.after_consent + PAUSE_PROMPT);
    EXPECT_EQ(run.exit_status, c.exit_status);
    // A device found again at once still waited the first half second.
    const double first_try = c.after_consent.ends_with(RESTARTING) ? RESTART_RETRY_MS * 1e-3 : 0;
    EXPECT_NEAR(static_cast<double>(run.elapsed_us) * 1e-6, c.waited_seconds + first_try, 0.001);
    EXPECT_EQ(static_cast<long>(run.device.packets.size()), c.packets_offered);
    if (c.exit_status == 0) {
        EXPECT_TRUE(device_holds_release(run.device));
    } else {
        EXPECT_FALSE(shows_success(run.console));
        EXPECT_EQ(run.device.restarts, c.after_consent.find(RESTART_WAIT) != std::string::npos ? 1 : 0);
    }
    EXPECT_EQ(violated_update_property(run.calls, run.exit_status, run.console, false), nullptr);
}

std::vector<outcome_case> outcome_cases()
{
    const std::string success = ALL_DONE + RESTARTING;
    const std::string flash_success_end = control_progress(1, 320) + DONE + RESTARTING;
    const std::string before_control = MAINBOARD_DONE + CONTROL_STARTED;
    return {
        // Final step
        {"running_0_90_is_asked_to_power_cycle_and_gets_no_restart", {}, ALL_DONE + POWER_CYCLE, 0, 0, 1471, {0x00, 0x90}},
        {"running_0_91_is_restarted", {}, success, 0, 0, 1474, {0x00, 0x91}},
        {"running_1_90_is_restarted", {}, success, 0, 0, 1474, {0x01, 0x90}},
        {"running_0_85_is_restarted", {}, success, 0, 0, 1474, {0x00, 0x85}},
        {"unknown_mainboard_version_is_asked_to_power_cycle", {"echo=0x00@command=0x10"}, ALL_DONE + POWER_CYCLE, 0, 0, 1471},
        // The images are written: they load at the next power-up.
        {"failed_restart_write_asks_for_a_power_cycle_and_exits_0", {"write-fail@command=0x40"},
         ALL_DONE + WRITE_FAILED + POWER_CYCLE, 0, 0, 1472},
        {"a_failed_write_without_an_error_text", {"write-fail@command=0x40"},
         ALL_DONE + "Unable to write()\nError: no error text from the HID library\n" + POWER_CYCLE, 0, 0, 1472,
         DEFAULT_MAINBOARD_VERSION, {.error_texts = false}},
        // After the restart: the device is found again and asked what it
        // runs, as often as every half second for 30 s. A device answered on
        // its own node keeps it, one gone from the bus is opened again.
        {"back_after_its_restart_on_the_second_try", {"no-reply@command=0x10,restarts=1"},
         ALL_DONE + RESTARTING, 0, 1 + 0.5, 1475},
        // A device still leaving the bus fails writes: no answer, and
        // nothing for the owner to read.
        {"a_failed_write_after_the_restart_is_no_answer_and_shows_nothing", {"write-fail@command=0x10,restarts=1"},
         ALL_DONE + RESTARTING, 0, 0.5, 1475},
        {"back_on_the_same_node_while_enumeration_lists_another_device_interface", {},
         ALL_DONE + RESTARTING, 0, 0, 1474, DEFAULT_MAINBOARD_VERSION, {.interfaces = {{.usage_page = 0x000C}, {}},
                                                                       .model_interface = 1}},
        // A status the phases pass over, or an acknowledgement lost on the
        // way, leaves the device without the release: its restart shows it.
        {"an_unknown_status_at_one_eeprom_chunk_shows_after_the_restart", {"status=X@command=0x21,address=1024"},
         MAINBOARD_HEADING + mainboard_progress(153) + mainboard_progress(186).substr(mainboard_progress(154).size()) + DONE +
             CONTROL_DONE + RESTART_WAIT + restarted_running({0x00, 0x00}, TARGET_CONTROL_REVISION) + NOT_TAKEN_HOLD,
         1, 30, 1472 + 2 * 59},
        {"a_lost_block_commit_shows_after_the_restart", {"lost@command=0x31,address=336"},
         before_control + control_progress(1, 1) + control_progress(3, 320) + DONE + RESTART_WAIT +
             restarted_running(TARGET_MAINBOARD_REVISION, {0x00, 0x00}) + NOT_TAKEN_HOLD,
         1, 31, 1472 + 2 * 59},
        {"a_device_that_never_comes_back", {"unplug-after@command=0x40"}, ALL_DONE + RESTART_WAIT + NOT_BACK, 1, 30, 1472},
        // Under wine a device that left is listed a while longer: its open is refused.
        {"a_device_that_never_comes_back_still_listed", {"unplug-after@command=0x40"}, ALL_DONE + RESTART_WAIT + NOT_BACK, 1,
         30, 1472, DEFAULT_MAINBOARD_VERSION, {.gone_listed = true}},
        // Each try waits one reply time-out; none starts after the bound.
        {"a_device_that_comes_back_answering_neither_query", {"no-reply@command=0x10,restarts=1,times=-1"},
         ALL_DONE + RESTART_WAIT + NOT_BACK, 1, 30.5, 1472 + 20},
        // The Mainboard answers 600 ms late, the Control not at all: the try
        // at 29.9 s gets its answer past the bound and sends no Control query.
        {"a_query_is_not_sent_past_the_bound",
         {"delay=600@command=0x10,restarts=1,times=-1", "no-reply@command=0x11,restarts=1,times=-1"},
         ALL_DONE + RESTART_WAIT + NOT_BACK, 1, 31, 1472 + 2 * 14 + 1},
        {"a_version_reply_with_another_echo_is_no_answer", {"echo=0x00@command=0x11,restarts=1,times=-1"},
         ALL_DONE + RESTART_WAIT + NOT_BACK, 1, 30, 1472 + 2 * 59},
        {"writes_returning_the_output_report_length_complete_the_update", {}, success, 0, 0, 1474,
         // hidapi on Windows returns the output report's length
         DEFAULT_MAINBOARD_VERSION, {.written_count = UPDATE_PACKET_SIZE + 1}},
        // Replies cut short: fewer than the 7 bytes examined are no reply,
        // whatever the buffer held before; 7 bytes are a whole reply.
        {"every_reply_of_7_bytes_is_whole", {"short=7@times=-1"}, success, 0, 0, 1474},
        {"short_clear_reply", {"short=5@index=2"}, NO_RESPONSE, 1, 0, 3},
        {"short_chunk_reply", {"short=6@command=0x21,address=5888"}, MAINBOARD_HEADING + mainboard_progress(1) + NO_RESPONSE, 1, 0, 5},
        {"short_hand_over_reply", {"short=5@command=0x30"}, MAINBOARD_DONE + NO_RESPONSE, 1, 0, 190},
        {"short_entry_reply", {"short=6@index=190"}, MAINBOARD_DONE + "Bootloader entry" + NO_RESPONSE, 1, 0, 191},
        {"a_short_acknowledgement_is_a_silent_block", {"short=5@command=0x31,address=336"},
         before_control + control_progress(1, 1) + control_progress(3, 320) + DONE + RESTARTING, 0, 0, 1474},
        {"three_short_acknowledgements_in_a_row_end_the_run",
         {"short=1@command=0x31,address=336", "short=3@command=0x31,address=528", "short=6@command=0x31,address=720"},
         before_control + control_progress(1, 1) + NO_RESPONSE, 1, 0, 207},
        {"a_short_last_acknowledgement_is_read_through_to_the_bound", {"short=5@command=0x31,address=61392"},
         before_control + control_progress(1, 319) + NO_RESPONSE, 1, 2, 1471},
        // Mainboard phase
        {"clear_unanswered", {"no-reply@index=2"}, NO_RESPONSE, 1, 1, 3},
        {"clear_read_failed", {"status=R@index=2"}, "\nReading EEPROM failed!\n", 1, 0, 3},
        {"clear_verify_failed", {"status=V@index=2"}, "\nVerify EEPROM failed!\n", 1, 0, 3},
        {"clear_write_failed", {"status=W@index=2"}, EEPROM_WRITE_FAILED, 1, 0, 3},
        {"clear_answered_with_another_status_goes_on_without_the_heading", {"garble=X@index=2"},
         mainboard_progress() + DONE + CONTROL_DONE + RESTARTING, 0, 0, 1474},
        {"first_chunk_unanswered", {"no-reply@command=0x21,address=5920"}, MAINBOARD_HEADING + NO_RESPONSE, 1, 1, 4},
        {"first_chunk_read_failed", {"status=R@command=0x21,address=5920"}, MAINBOARD_HEADING + "\nReading EEPROM failed!\n", 1, 0, 4},
        {"chunk_verify_failed", {"status=V@command=0x21,address=5888"},
         MAINBOARD_HEADING + mainboard_progress(1) + "\nVerify EEPROM failed!\n", 1, 0, 5},
        {"last_chunk_write_failed", {"status=W@index=188"}, MAINBOARD_HEADING + mainboard_progress(185) + EEPROM_WRITE_FAILED, 1, 0, 189},
        {"chunk_answered_late_is_no_response", {"delay=1001@command=0x21,address=5888"},
         MAINBOARD_HEADING + mainboard_progress(1) + NO_RESPONSE, 1, 1, 5},
        {"chunk_answered_just_in_time", {"delay=1000@command=0x21,address=5888"}, success, 0, 1, 1474},
        {"chunk_write_fails", {"write-fail@command=0x21,address=5920"}, MAINBOARD_HEADING + WRITE_FAILED + NO_RESPONSE, 1, 1, 4},
        // A device one reply behind (an 'M' answer to one chunk, then 'K')
        // hands the program an earlier chunk's 'K' for a chunk whose write
        // failed: the chunk never reached the EEPROM, so the run must fail.
        {"failed_chunk_write_behind_an_earlier_wait_reply", {"wait=1@command=0x21,address=5888", "write-fail@index=188"},
         MAINBOARD_HEADING + mainboard_progress(1) + mainboard_progress(185).substr(mainboard_progress(2).size()) +
             WRITE_FAILED + EEPROM_WRITE_FAILED,
         1, 0, 189},
        {"unplugged_in_mainboard_phase", {"unplug@index=100"},
         MAINBOARD_HEADING + mainboard_progress(97) + "Unable to write()\nError: No such device\n" + NO_RESPONSE, 1, 0, 101},
        {"a_device_answering_no_known_status_gets_no_percentages_and_the_phase_completes", {"garble=X@command=0x21,times=-1"},
         DONE + CONTROL_DONE + RESTARTING, 0, 0, 1474},
        // Control hand-over and bootloader entry
        {"hand_over_unanswered", {"no-reply@command=0x30"}, MAINBOARD_DONE + NO_RESPONSE, 1, 1, 190},
        {"hand_over_refused", {"status=W@command=0x30"}, MAINBOARD_DONE + "\nReplied 'W'\n", 1, 0, 190},
        {"entry_unanswered", {"no-reply@index=190"}, MAINBOARD_DONE + "Bootloader entry" + NO_RESPONSE, 1, 1, 191},
        {"entry_read_failed_is_a_reply_not_a_flash_failure", {"status=R@index=190"},
         MAINBOARD_DONE + "Bootloader entry\nReplied 'R'\n", 1, 0, 191},
        // Control flash
        {"block_read_failed", {"status=R@command=0x31,address=144"}, before_control + "\nReading flash failed!\n", 1, 0, 195},
        {"block_verify_failed", {"status=V@command=0x31,address=336"},
         before_control + control_progress(1, 1) + "\nVerify flash failed!\n", 1, 0, 199},
        {"block_write_failed", {"status=W@command=0x31,address=61392"},
         before_control + control_progress(1, 319) + "\nWriting flash failed!\n", 1, 0, 1471},
        {"acknowledgement_read_fails", {"unplug-after@command=0x31,address=528"},
         before_control + control_progress(1, 2) + NO_RESPONSE, 1, 0, 203},
        {"a_block_answered_with_wait_replies_gets_one_percentage",
         {"wait=3@command=0x31,address=144", "wait=1@command=0x31,address=61392"}, success, 0, 0, 1474},
        {"999_wait_replies_are_waited_through", {"wait=999@command=0x31,address=144"}, success, 0, 0, 1474},
        {"1000_wait_replies_end_the_run", {"wait=1000@command=0x31,address=144"}, before_control + NO_RESPONSE, 1, 0, 195},
        // Resends of a failed flash packet
        {"flash_packet_resent_three_times_in_a_row", {"write-fail@command=0x32,address=48,times=3"},
         before_control + repeated_write_failure("Input/output error", 3) + flash_success_end, 0, 0, 1477},
        {"flash_packet_failing_a_fourth_time_ends_the_run", {"write-fail@command=0x32,address=48,times=-1"},
         before_control + repeated_write_failure("Input/output error", 4) + NO_RESPONSE, 1, 0, 196},
        {"failed_writes_count_again_after_a_good_write",
         {"write-fail@command=0x32,address=48,times=3", "write-fail@command=0x32,address=96,times=3",
          "write-fail@command=0x31,address=336,times=3"},
         before_control + repeated_write_failure("Input/output error", 6) + control_progress(1, 1) + repeated_write_failure("Input/output error", 3) +
             control_progress(2, 320) + DONE + RESTARTING,
         0, 0, 1483},
        {"failed_write_at_a_block_start_waits_before_the_resend", {"write-fail@command=0x32,address=192"},
         before_control + control_progress(1, 1) + WRITE_FAILED + control_progress(2, 320) + DONE + RESTARTING, 0, 1, 1475},
        // Silent block waits: a time-out and an unknown status count alike
        {"one_silent_block_lets_streaming_go_on", {"no-reply@command=0x31,address=336"},
         before_control + control_progress(1, 1) + control_progress(3, 320) + DONE + RESTARTING, 0, 1, 1474},
        {"an_unknown_status_in_a_block_wait_counts_as_silence", {"garble=X@command=0x31,address=336"},
         before_control + control_progress(1, 1) + control_progress(3, 320) + DONE + RESTARTING, 0, 0, 1474},
        {"two_silent_blocks_in_a_row_let_streaming_go_on",
         {"no-reply@command=0x31,address=336", "garble=X@command=0x31,address=528"},
         before_control + control_progress(1, 1) + control_progress(4, 320) + DONE + RESTARTING, 0, 1, 1474},
        {"three_silent_blocks_in_a_row_end_the_run",
         {"no-reply@command=0x31,address=336", "garble=X@command=0x31,address=528", "no-reply@command=0x31,address=720"},
         before_control + control_progress(1, 1) + NO_RESPONSE, 1, 2, 207},
        {"silent_blocks_count_again_after_an_acknowledgement",
         {"no-reply@command=0x31,address=336", "no-reply@command=0x31,address=528", "no-reply@command=0x31,address=912",
          "garble=X@command=0x31,address=1104"},
         before_control + control_progress(1, 1) + control_progress(4, 4) + control_progress(7, 320) + DONE + RESTARTING,
         0, 3, 1474},
        {"an_unacknowledged_last_block_ends_the_run", {"no-reply@command=0x31,address=61392"},
         before_control + control_progress(1, 319) + NO_RESPONSE, 1, 3, 1471},
        {"a_late_acknowledgement_of_the_last_block_is_waited_for", {"delay=1500@command=0x31,address=61392"},
         before_control + flash_success_end, 0, 1.5, 1474},
        // A device that stops reading: the USB layer takes four more reports,
        // then every write blocks 5.1 s and fails.
        {"a_device_that_hangs_in_the_control_phase", {"stop@index=700"},
         before_control + control_progress(1, 127) + repeated_write_failure("Connection timed out", 4) + NO_RESPONSE,
         1, 1 + 4 * 5.1, 708},
    };
}

INSTANTIATE_TEST_SUITE_P(cases, update_outcome, testing::ValuesIn(outcome_cases()),
                         testing::PrintToStringParamName());

}  // namespace
