// SPDX-License-Identifier: MIT
// The check byte and the error text of the update protocol, without a device.
// (Packets are checked byte for byte in every complete update; the identity
// filter through the real hidapi library, in dialogue_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>

#include "link/update_protocol.h"
#include "tests/common.h"

namespace {

struct checksum_case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint8_t check;
};

CASES_SHOW_BY_NAME(checksum_case)

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
                         testing::PrintToStringParamName());

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
