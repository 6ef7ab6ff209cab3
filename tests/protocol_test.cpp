// SPDX-License-Identifier: MIT
// Packet layout, check byte and error text of the update protocol, without a
// device. (The identity filter is checked through the real hidapi library, in
// dialogue_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>

#include "link/update_protocol.h"

namespace {

struct packet_case {
    const char* name;
    uint8_t command;
    uint16_t address;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> head;  // expected bytes from 0 on; the rest up to 63 must be 0
};

void PrintTo(const packet_case& c, std::ostream* out)
{
    *out << c.name;
}

class packet_layout : public testing::TestWithParam<packet_case> {};

TEST_P(packet_layout, is_report_id_command_big_endian_address_length_payload_then_zeros)
{
    const packet_case& c = GetParam();
    uint8_t buffer[256];
    std::memset(buffer, 0xAA, sizeof buffer);  // stale bytes from an earlier packet
    ASSERT_TRUE(build_update_packet(buffer, c.command, c.address, c.payload.data(), c.payload.size()));
    std::vector<uint8_t> expected = c.head;
    expected.resize(64, 0);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 64), expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, packet_layout,
    testing::Values(packet_case{"mainboard_version_query", 0x10, 0, {}, {0x02, 0x10}},
                    packet_case{"restart", 0x40, 0, {}, {0x02, 0x40}},
                    packet_case{"eeprom_chunk_at_5920",
                                0x21,
                                5920,
                                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                {0x02, 0x21, 0x17, 0x20, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
                    packet_case{"flash_data_at_0xefd0", 0x32, 0xEFD0, {0x5A}, {0x02, 0x32, 0xEF, 0xD0, 1, 0x5A}},
                    packet_case{"hand_over", 0x30, 0, {0x48}, {0x02, 0x30, 0x00, 0x00, 1, 0x48}}),
    [](const testing::TestParamInfo<packet_case>& info) { return info.param.name; });

TEST(packet_layout, the_largest_payload_fills_the_packet_and_a_larger_one_is_refused)
{
    uint8_t buffer[256] = {};
    const std::vector<uint8_t> largest(59, 0x11);
    ASSERT_TRUE(build_update_packet(buffer, 0x31, 0, largest.data(), largest.size()));
    EXPECT_EQ(buffer[4], 59);
    EXPECT_EQ(buffer[63], 0x11);
    EXPECT_EQ(buffer[64], 0x00);
    const std::vector<uint8_t> too_large(60, 0x22);
    EXPECT_FALSE(build_update_packet(buffer, 0x31, 0, too_large.data(), too_large.size()));
    EXPECT_EQ(buffer[5], 0x11) << "a refused packet must leave the buffer alone";
}

struct checksum_case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint8_t check;
};

void PrintTo(const checksum_case& c, std::ostream* out)
{
    *out << c.name;
}

class check_byte : public testing::TestWithParam<checksum_case> {};

TEST_P(check_byte, makes_the_covered_bytes_add_up_to_zero)
{
    const checksum_case& c = GetParam();
    const uint8_t check = block_checksum(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(check, c.check);
    unsigned sum = check;
    for (uint8_t b : c.bytes)
        sum += b;
    EXPECT_EQ(sum % 256, 0u);
}

INSTANTIATE_TEST_SUITE_P(cases, check_byte,
                         testing::Values(checksum_case{"nothing", {}, 0x00}, checksum_case{"one", {0x01}, 0xFF},
                                         checksum_case{"sum_already_zero", {0x80, 0x80}, 0x00},
                                         checksum_case{"wraps", {0xFF, 0xFF, 0xFF}, 0x03},
                                         checksum_case{"entry_code", {0x3B, 0xA7, 0x5C, 0x19, 0xD2, 0x6E, 0x84, 0xF1}, 0xF4},
                                         checksum_case{"erased_block", std::vector<uint8_t>(192, 0xFF), 0xC0}),
                         [](const testing::TestParamInfo<checksum_case>& info) { return info.param.name; });

TEST(hid_error_text, is_shown_as_given_or_with_a_fixed_text_when_there_is_none)
{
    char text[64];
    describe_hid_error(L"Input/output error", text, sizeof text);
    EXPECT_STREQ(text, "Input/output error");
    describe_hid_error(nullptr, text, sizeof text);
    EXPECT_STREQ(text, "no error text from the HID library");
    describe_hid_error(L"caf\u00e9\n", text, sizeof text);
    EXPECT_STREQ(text, "caf??");
    char small[5];
    describe_hid_error(L"Input/output error", small, sizeof small);
    EXPECT_STREQ(small, "Inpu");
}

}  // namespace
