// Complete updates against the emulated Quennet: the packets on the wire, the
// console dialogue, what the device ends up holding, and every failure of the
// two phases and the final step.
#include <gtest/gtest.h>

#include <numeric>

#include "payload/firmware_payload.h"
#include "tests/harness.h"

namespace {

constexpr size_t VERSION_QUERIES = 2;
constexpr size_t FIRST_CHUNK = 3;        // packet index of the chunk at 5920
constexpr size_t LAST_CHUNK = 188;       // packet index of the chunk at 0
constexpr size_t HAND_OVER = 189;
constexpr size_t ENTRY = 190;
constexpr size_t FIRST_FLASH = 191;
constexpr size_t LAST_FLASH = 1470;
constexpr size_t RESTART = 1471;
constexpr size_t ALL_PACKETS = 1472;

const std::string CONSENTED = DIALOGUE_UP_TO_CONSENT;
const std::string MAINBOARD_DONE = MAINBOARD_HEADING + mainboard_progress() + DONE;
const std::string CONTROL_DONE = CONTROL_STARTED + control_progress(1, 320) + DONE;

uint8_t check_byte(const uint8_t* bytes, size_t count)
{
    const unsigned sum = std::accumulate(bytes, bytes + count, 0u);
    return static_cast<uint8_t>((256 - sum % 256) % 256);
}

std::vector<uint8_t> packet(uint8_t command, uint16_t address, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> bytes(64, 0);
    bytes[0] = 0x02;
    bytes[1] = command;
    bytes[2] = static_cast<uint8_t>(address >> 8);
    bytes[3] = static_cast<uint8_t>(address & 0xFF);
    bytes[4] = static_cast<uint8_t>(payload.size());
    for (size_t i = 0; i < payload.size(); ++i)
        bytes[5 + i] = payload[i];
    return bytes;
}

std::vector<uint8_t> image_bytes(const uint8_t* image, size_t offset, size_t count)
{
    return std::vector<uint8_t>(image + offset, image + offset + count);
}

TEST(complete_update, console_dialogue_word_for_word)
{
    const update_outcome run = run_update(quennet(), "y\n");
    EXPECT_EQ(without_times(run.child.output),
              CONSENTED + MAINBOARD_DONE + CONTROL_DONE + RESTARTING + PAUSE_PROMPT);
    EXPECT_EQ(run.child.exit_status, 0);
}

TEST(complete_update, leaves_the_device_holding_the_release_and_restarted)
{
    const update_outcome run = run_update(quennet(), "y\n");
    EXPECT_TRUE(device_holds_release(run.device));
    EXPECT_EQ(run.device.restarts, 1);
    EXPECT_EQ(run.device.mainboard_version.minor, 0x97);
    EXPECT_EQ(run.device.control_version.minor, 0x99);
}

TEST(complete_update, sends_every_packet_in_order_as_64_zero_padded_bytes)
{
    const update_outcome run = run_update(quennet(), "y\n");
    const std::vector<std::vector<uint8_t>> sent = delivered(run.device);
    ASSERT_EQ(sent.size(), ALL_PACKETS);
    std::vector<std::vector<uint8_t>> expected = {packet(0x10, 0, {}), packet(0x11, 0, {}),
                                                  packet(0x21, 0, std::vector<uint8_t>(32, 0xFF))};
    for (long address = 5920; address >= 0; address -= 32) {
        const size_t count = address == 5920 ? 10 : 32;
        expected.push_back(packet(0x21, static_cast<uint16_t>(address), image_bytes(mainboard_image, address, count)));
    }
    expected.push_back(packet(0x30, 0, {0x48}));
    expected.push_back(packet(0x31, 0, {0x3B, 0xA7, 0x5C, 0x19, 0xD2, 0x6E, 0x84, 0xF1, 0xF4}));
    for (size_t offset = 0; offset < 61440; offset += 48) {
        std::vector<uint8_t> data = image_bytes(control_image, offset, 48);
        if (offset % 192 == 144) {
            data.push_back(check_byte(control_image + offset - 144, 192));
            expected.push_back(packet(0x31, static_cast<uint16_t>(offset), data));
        } else {
            expected.push_back(packet(0x32, static_cast<uint16_t>(offset), data));
        }
    }
    expected.push_back(packet(0x40, 0, {}));
    for (size_t i = 0; i < ALL_PACKETS; ++i)
        ASSERT_EQ(sent[i], expected[i]) << "packet " << i;
}

TEST(complete_update, edge_packets_carry_the_right_bytes)
{
    const update_outcome run = run_update(quennet(), "y\n");
    const std::vector<std::vector<uint8_t>> sent = delivered(run.device);
    ASSERT_EQ(sent.size(), ALL_PACKETS);
    // First image chunk: address 5920 (0x17 0x20), 10 bytes; last: address 0, 32 bytes.
    EXPECT_EQ(std::vector<uint8_t>(sent[FIRST_CHUNK].begin(), sent[FIRST_CHUNK].begin() + 5),
              (std::vector<uint8_t>{0x02, 0x21, 0x17, 0x20, 10}));
    EXPECT_EQ(std::vector<uint8_t>(sent[LAST_CHUNK].begin(), sent[LAST_CHUNK].begin() + 5),
              (std::vector<uint8_t>{0x02, 0x21, 0x00, 0x00, 32}));
    // Entry: the code's bytes and its check byte at byte 13 add up to 0 mod 256.
    EXPECT_EQ(std::accumulate(sent[ENTRY].begin() + 5, sent[ENTRY].begin() + 14, 0u) % 256, 0u);
    // First streamed packet: data at offset 0; the fourth: the commit at 144 with
    // its check byte at byte 53; the last: the commit with the image's last 48 bytes.
    EXPECT_EQ(sent[FIRST_FLASH][1], 0x32);
    EXPECT_EQ(sent[FIRST_FLASH][4], 48);
    const std::vector<uint8_t>& fourth = sent[FIRST_FLASH + 3];
    EXPECT_EQ(std::vector<uint8_t>(fourth.begin(), fourth.begin() + 5), (std::vector<uint8_t>{0x02, 0x31, 0x00, 0x90, 49}));
    const unsigned block_sum = std::accumulate(control_image, control_image + 192, 0u) + fourth[53];
    EXPECT_EQ(block_sum % 256, 0u);
    EXPECT_EQ(std::vector<uint8_t>(sent[LAST_FLASH].begin(), sent[LAST_FLASH].begin() + 5),
              (std::vector<uint8_t>{0x02, 0x31, 0xEF, 0xD0, 49}));
    EXPECT_EQ(std::vector<uint8_t>(sent[LAST_FLASH].begin() + 5, sent[LAST_FLASH].begin() + 53),
              image_bytes(control_image, 61392, 48));
    EXPECT_EQ(sent[RESTART], packet(0x40, 0, {}));
    EXPECT_EQ(sent[HAND_OVER], packet(0x30, 0, {0x48}));
}

TEST(complete_update, reads_one_8_byte_reply_per_answered_packet)
{
    const update_outcome run = run_update(quennet(), "y\n");
    // 2 version replies, 187 EEPROM replies, hand-over, entry, 320 block acknowledgements.
    EXPECT_EQ(run.read_lengths, std::vector<size_t>(2 + 187 + 2 + 320, 8));
}

TEST(complete_update, percentages_rise_to_100_in_each_phase)
{
    const update_outcome run = run_update(quennet(), "y\n");
    const size_t control_at = run.child.output.find("Updating Control:");
    ASSERT_NE(control_at, std::string::npos);
    const std::vector<unsigned long> mainboard = percentages(run.child.output, 0, control_at);
    const std::vector<unsigned long> control = percentages(run.child.output, control_at);
    ASSERT_EQ(mainboard.size(), 186u);
    ASSERT_EQ(control.size(), 320u);
    EXPECT_TRUE(std::is_sorted(mainboard.begin(), mainboard.end()));
    EXPECT_TRUE(std::is_sorted(control.begin(), control.end()));
    EXPECT_EQ(mainboard.front(), 0u);
    EXPECT_EQ(mainboard.back(), 100u);
    EXPECT_EQ(std::vector<unsigned long>(control.begin(), control.begin() + 4), (std::vector<unsigned long>{0, 0, 0, 1}));
    EXPECT_EQ(control.back(), 100u);
}

struct final_case {
    const char* name;
    std::vector<std::string> faults;
    version_pair mainboard;
    std::string ending;
    bool restart_sent;
};

void PrintTo(const final_case& c, std::ostream* out)
{
    *out << c.name;
}

class final_step : public testing::TestWithParam<final_case> {};

TEST_P(final_step, restarts_or_asks_for_a_power_cycle_and_exits_0)
{
    const final_case& c = GetParam();
    const update_outcome run = run_update(quennet(c.faults, c.mainboard), "y\n");
    const std::string output = without_times(run.child.output);
    const std::string ending = CONTROL_DONE + c.ending + PAUSE_PROMPT;
    ASSERT_GE(output.size(), ending.size());
    EXPECT_EQ(output.substr(output.size() - ending.size()), ending);
    EXPECT_EQ(run.child.exit_status, 0);
    const std::vector<std::vector<uint8_t>> sent = delivered(run.device);
    EXPECT_EQ(!sent.empty() && sent.back()[1] == 0x40, c.restart_sent);
    EXPECT_TRUE(device_holds_release(run.device));
}

INSTANTIATE_TEST_SUITE_P(
    cases, final_step,
    testing::Values(
        final_case{"running_0_90_is_asked_to_power_cycle", {}, {0x00, 0x90}, POWER_CYCLE, false},
        final_case{"running_0_91_is_restarted", {}, {0x00, 0x91}, RESTARTING, true},
        final_case{"running_1_90_is_restarted", {}, {0x01, 0x90}, RESTARTING, true},
        final_case{"unknown_mainboard_version_is_asked_to_power_cycle",
                   {"echo=0x00@command=0x10"},
                   {0x00, 0x95},
                   POWER_CYCLE,
                   false},
        final_case{"failed_restart_write_is_reported_and_still_exits_0",
                   {"write-fail@command=0x40"},
                   {0x00, 0x95},
                   "Unable to write()\nError: Input/output error\n",
                   false}),
    [](const testing::TestParamInfo<final_case>& info) { return info.param.name; });

TEST(control_phase, a_block_answered_with_wait_replies_gets_one_percentage)
{
    const update_outcome run = run_update(quennet({"wait=3@command=0x31,address=144", "wait=1@command=0x31,address=61392"}), "y\n");
    EXPECT_EQ(without_times(run.child.output), CONSENTED + MAINBOARD_DONE + CONTROL_DONE + RESTARTING + PAUSE_PROMPT);
    EXPECT_TRUE(device_holds_release(run.device));
}

TEST(mainboard_phase, a_device_answering_no_known_status_gets_no_percentages_and_the_phase_completes)
{
    // A device that answers 'X' to every EEPROM write does not store them; the
    // phase has nothing to report as failed and goes on.
    const update_outcome run = run_update(quennet({"status=X@command=0x21,times=-1"}), "y\n");
    EXPECT_EQ(without_times(run.child.output),
              CONSENTED + DONE + CONTROL_DONE + RESTARTING + PAUSE_PROMPT);
    EXPECT_EQ(run.child.exit_status, 0);
}

struct failure_case {
    const char* name;
    std::vector<std::string> faults;
    std::string console_after_consent;  // "#.##" for times
    size_t packets_offered;             // writes offered to the device, failed ones included
};

void PrintTo(const failure_case& c, std::ostream* out)
{
    *out << c.name;
}

class update_failure : public testing::TestWithParam<failure_case> {};

TEST_P(update_failure, prints_its_message_and_exits_1_without_a_success_message)
{
    const failure_case& c = GetParam();
    const update_outcome run = run_update(quennet(c.faults), "y\n");
    EXPECT_EQ(without_times(run.child.output), CONSENTED + c.console_after_consent + PAUSE_PROMPT);
    EXPECT_EQ(run.child.exit_status, 1);
    EXPECT_EQ(run.device.packets.size(), c.packets_offered);
    EXPECT_EQ(run.device.restarts, 0);
}


std::vector<failure_case> failure_cases()
{
    return {
        // Mainboard phase
        {"clear_unanswered", {"no-reply@index=2"}, NO_RESPONSE, 3},
        {"clear_read_failed", {"status=R@index=2"}, "\nReading EEPROM failed!\n", 3},
        {"clear_verify_failed", {"status=V@index=2"}, "\nVerify EEPROM failed!\n", 3},
        {"clear_write_failed", {"status=W@index=2"}, "\nWriting EEPROM failed!\n", 3},
        {"first_chunk_unanswered", {"no-reply@command=0x21,address=5920"}, MAINBOARD_HEADING + NO_RESPONSE, 4},
        {"first_chunk_read_failed", {"status=R@command=0x21,address=5920"}, MAINBOARD_HEADING + "\nReading EEPROM failed!\n", 4},
        {"chunk_verify_failed", {"status=V@command=0x21,address=5888"}, MAINBOARD_HEADING + mainboard_progress(1) + "\nVerify EEPROM failed!\n", 5},
        {"last_chunk_write_failed",
         {"status=W@index=188"},
         MAINBOARD_HEADING + mainboard_progress(185) + "\nWriting EEPROM failed!\n",
         189},
        {"chunk_write_fails",
         {"write-fail@command=0x21,address=5920"},
         MAINBOARD_HEADING + "Unable to write()\nError: Input/output error\n" + NO_RESPONSE,
         4},
        {"unplugged_in_mainboard_phase",
         {"unplug@index=100"},
         MAINBOARD_HEADING + mainboard_progress(97) + "Unable to write()\nError: No such device\n" + NO_RESPONSE,
         101},
        // Control hand-over and bootloader entry
        {"hand_over_unanswered", {"no-reply@command=0x30"}, MAINBOARD_DONE + NO_RESPONSE, 190},
        {"hand_over_refused", {"status=W@command=0x30"}, MAINBOARD_DONE + "\nReplied 'W'\n", 190},
        {"entry_unanswered", {"no-reply@index=190"}, MAINBOARD_DONE + "Bootloader entry" + NO_RESPONSE, 191},
        {"entry_read_failed_is_a_reply_not_a_flash_failure",
         {"status=R@index=190"},
         MAINBOARD_DONE + "Bootloader entry\nReplied 'R'\n",
         191},
        // Control flash
        {"block_read_failed", {"status=R@command=0x31,address=144"}, MAINBOARD_DONE + CONTROL_STARTED + "\nReading flash failed!\n", 195},
        {"block_verify_failed",
         {"status=V@command=0x31,address=336"},
         MAINBOARD_DONE + CONTROL_STARTED + control_progress(1, 1) + "\nVerify flash failed!\n",
         199},
        {"block_write_failed",
         {"status=W@command=0x31,address=61392"},
         MAINBOARD_DONE + CONTROL_STARTED + control_progress(1, 319) + "\nWriting flash failed!\n",
         1471},
        {"acknowledgement_read_fails",
         {"unplug-after@command=0x31,address=528"},
         MAINBOARD_DONE + CONTROL_STARTED + control_progress(1, 2) + NO_RESPONSE,
         203},
    };
}

INSTANTIATE_TEST_SUITE_P(cases, update_failure, testing::ValuesIn(failure_cases()),
                         [](const testing::TestParamInfo<failure_case>& info) { return info.param.name; });

}  // namespace
