// SPDX-License-Identifier: MIT
#include "tests/common.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>

#include "payload/firmware_payload.h"

std::string shown(version_pair revision)
{
    char text[16];
    std::snprintf(text, sizeof text, "v%X.%02X", revision.major, revision.minor);
    return text;
}

std::string mainboard_progress(size_t chunks)
{
    std::string text;
    size_t sent = 0;
    for (long address = FIRST_SENT_ADDRESS; address >= 0 && chunks > 0; address -= 32, --chunks) {
        sent += address == FIRST_SENT_ADDRESS ? FIRST_SENT_SIZE : 32;
        text += "\r  " + std::to_string(sent * 100 / MAINBOARD_IMAGE_SIZE) + "%";
    }
    return text;
}

std::string control_progress(size_t first, size_t last)
{
    std::string text;
    for (size_t block = first; block <= last; ++block)
        text += "\r  " + std::to_string(block * 4 * 4800 / CONTROL_IMAGE_SIZE) + "%";
    return text;
}

std::string without_times(const std::string& console)
{
    static const std::regex time(R"(Done in [0-9]+\.[0-9]{2}s)");
    static const std::regex dots(R"(Waiting for Quennet to restart\.*(\r?\n))");
    return std::regex_replace(std::regex_replace(console, time, "Done in #.##s"), dots,
                              "Waiting for Quennet to restart#$1");
}

std::vector<unsigned long> percentages(const std::string& console)
{
    static const std::regex percent(R"(\r  ([0-9]+)%)");
    std::vector<unsigned long> values;
    for (auto it = std::sregex_iterator(console.begin(), console.end(), percent); it != std::sregex_iterator(); ++it)
        values.push_back(std::stoul((*it)[1].str()));
    return values;
}

std::vector<double> phase_times(const std::string& console)
{
    static const std::regex time(R"(Done in ([0-9]+\.[0-9]{2})s)");
    std::vector<double> values;
    for (auto it = std::sregex_iterator(console.begin(), console.end(), time); it != std::sregex_iterator(); ++it)
        values.push_back(std::stod((*it)[1].str()));
    return values;
}

device_model quennet(const std::vector<std::string>& faults, version_pair mainboard, version_pair control)
{
    device_model device = make_device_model(mainboard, control);
    for (const std::string& text : faults) {
        fault_rule rule;
        std::string error;
        EXPECT_TRUE(parse_fault_rule(text, rule, error)) << error;
        device.faults.push_back(rule);
    }
    return device;
}

std::vector<std::vector<uint8_t>> delivered(const device_model& device)
{
    std::vector<std::vector<uint8_t>> packets;
    for (const packet_record& record : device.packets)
        if (!record.failed)
            packets.push_back(record.bytes);
    return packets;
}

std::vector<uint8_t> packet(uint8_t command, uint16_t address, const std::vector<uint8_t>& payload)
{
    const uint8_t header[] = {0x02, command, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF),
                              static_cast<uint8_t>(payload.size())};
    std::vector<uint8_t> bytes(64, 0);
    std::copy(std::begin(header), std::end(header), bytes.begin());
    std::copy(payload.begin(), payload.end(), bytes.begin() + 5);
    return bytes;
}

std::vector<std::vector<uint8_t>> complete_update_packets()
{
    std::vector<std::vector<uint8_t>> expected = {packet(0x10, 0, {}), packet(0x11, 0, {}),
                                                  packet(0x21, 0, std::vector<uint8_t>(32, 0xFF))};
    for (long address = FIRST_SENT_ADDRESS; address >= 0; address -= 32) {
        const size_t count = address == FIRST_SENT_ADDRESS ? FIRST_SENT_SIZE : 32;
        expected.push_back(packet(0x21, static_cast<uint16_t>(address),
                                  std::vector<uint8_t>(mainboard_image + address, mainboard_image + address + count)));
    }
    expected.push_back(packet(0x30, 0, {0x48}));
    std::vector<uint8_t> entry(bootloader_entry_code, bootloader_entry_code + 8);
    entry.push_back(sum_to_zero_check(entry.data(), entry.size()));
    expected.push_back(packet(0x31, 0, entry));
    for (size_t offset = 0; offset < CONTROL_IMAGE_SIZE; offset += 48) {
        std::vector<uint8_t> data(control_image + offset, control_image + offset + 48);
        if (offset % 192 == 144) {
            data.push_back(sum_to_zero_check(control_image + offset - 144, 192));
            expected.push_back(packet(0x31, static_cast<uint16_t>(offset), data));
        } else {
            expected.push_back(packet(0x32, static_cast<uint16_t>(offset), data));
        }
    }
    expected.push_back(packet(0x40, 0, {}));
    expected.push_back(packet(0x10, 0, {}));
    expected.push_back(packet(0x11, 0, {}));
    return expected;
}

std::string restarted_running(version_pair mainboard, version_pair control)
{
    return "\nQuennet restarted running:\n  Mainboard " + shown(mainboard) + "\n  Control " + shown(control) + "\n";
}

std::string read_text(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string repeated_write_failure(const std::string& error, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += "Unable to write()\nError: " + error + "\n";
    return text;
}

std::string complete_update_console()
{
    return DIALOGUE_UP_TO_CONSENT + MAINBOARD_HEADING + mainboard_progress() + DONE + CONTROL_STARTED +
           control_progress(1, 320) + DONE + RESTARTING + PAUSE_PROMPT;
}

void expect_complete_update(const std::string& console, int exit_status, const device_model& device,
                            const std::vector<size_t>& read_lengths)
{
    EXPECT_EQ(without_times(console), complete_update_console());
    EXPECT_EQ(exit_status, 0);
    const std::vector<std::vector<uint8_t>> sent = delivered(device);
    const std::vector<std::vector<uint8_t>> expected = complete_update_packets();
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(sent[i], expected[i]) << "packet " << i;
    // 2 version replies, 187 EEPROM replies, hand-over, entry, 320 block
    // acknowledgements, 2 version replies after the restart.
    EXPECT_EQ(read_lengths, std::vector<size_t>(2 + 187 + 2 + 320 + 2, 8));
    EXPECT_TRUE(device_holds_release(device));
}
