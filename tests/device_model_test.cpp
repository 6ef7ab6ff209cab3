// SPDX-License-Identifier: MIT
// The emulated Quennet's own logic: what the tests rely on when they judge the
// program by what the device ends up holding.
#include <gtest/gtest.h>

#include <cstring>

#include "emu/model/device_model.h"
#include "link/update_protocol.h"
#include "payload/firmware_payload.h"
#include "tests/common.h"

namespace {

device_response offer(device_model& device, const std::vector<uint8_t>& bytes)
{
    return device_receive(device, bytes.data(), bytes.size());
}

uint8_t status_of(const device_response& response)
{
    return response.replies.empty() ? 0 : response.replies.back()[5];
}

std::vector<uint8_t> entry_payload(uint8_t first_code_byte)
{
    std::vector<uint8_t> payload(bootloader_entry_code, bootloader_entry_code + 8);
    payload[0] = first_code_byte;
    payload.push_back(block_checksum(payload.data(), 8));
    return payload;
}

device_model in_bootloader()
{
    device_model device = make_device_model();
    offer(device, packet(0x30, 0, {0x48}));
    EXPECT_EQ(status_of(offer(device, packet(0x31, 0, entry_payload(bootloader_entry_code[0])))), 'K');
    return device;
}

// Sends flash block `block` of the Control image, the commit's check byte
// adjusted by `check_error`, skipping the data packet at `skip` (0..2, or -1).
uint8_t send_block(device_model& device, size_t block, int check_error = 0, int skip = -1)
{
    const size_t base = block * 192;
    for (size_t i = 0; i < 3; ++i)
        if (static_cast<int>(i) != skip)
            offer(device, packet(0x32, static_cast<uint16_t>(base + 48 * i),
                                 std::vector<uint8_t>(control_image + base + 48 * i, control_image + base + 48 * (i + 1))));
    std::vector<uint8_t> commit(control_image + base + 144, control_image + base + 192);
    commit.push_back(static_cast<uint8_t>(block_checksum(control_image + base, 192) + check_error));
    return status_of(offer(device, packet(0x31, static_cast<uint16_t>(base + 144), commit)));
}

TEST(device_model, stores_eeprom_chunks_and_refuses_those_past_its_end)
{
    device_model device = make_device_model();
    EXPECT_EQ(status_of(offer(device, packet(0x21, 0x1720, {1, 2, 3}))), 'K');
    EXPECT_EQ(device.eeprom[0x1721], 2);
    EXPECT_EQ(status_of(offer(device, packet(0x21, 8190, {1, 2, 3}))), 'W');
}

TEST(device_model, opens_its_bootloader_only_after_the_hand_over_and_with_the_right_code)
{
    device_model device = make_device_model();
    EXPECT_EQ(status_of(offer(device, packet(0x31, 0, entry_payload(bootloader_entry_code[0])))), 'W');
    EXPECT_EQ(status_of(offer(device, packet(0x30, 0, {0x48}))), 'H');
    EXPECT_EQ(status_of(offer(device, packet(0x31, 0, entry_payload(0x00)))), 'V');
    std::vector<uint8_t> wrong_check = entry_payload(bootloader_entry_code[0]);
    wrong_check[8] ^= 1;
    EXPECT_EQ(status_of(offer(device, packet(0x31, 0, wrong_check))), 'V');
    EXPECT_EQ(status_of(offer(device, packet(0x31, 0, entry_payload(bootloader_entry_code[0])))), 'K');
    EXPECT_EQ(device.control, control_mode::bootloader);
}

// The model judges a check byte by its own sum, not the program's: the two
// must agree on every block of a complete update.
TEST(device_model, writes_a_flash_block_only_when_whole_and_its_check_byte_is_right)
{
    device_model device = in_bootloader();
    std::vector<uint8_t> other_report = packet(0x10, 0, {});
    other_report[0] = 0x01;
    EXPECT_TRUE(offer(device, other_report).replies.empty()) << "a report of another id is no update packet";
    const std::vector<uint8_t> before = device.flash;
    for (const int check_error : {1, 0x80})
        EXPECT_EQ(send_block(device, 0, check_error), 'V');
    EXPECT_EQ(send_block(device, 0, 0, 1), 'V');
    EXPECT_EQ(device.flash, before);
    EXPECT_EQ(send_block(device, 0), 'K');
    EXPECT_EQ(std::memcmp(device.flash.data(), control_image, 192), 0);
    EXPECT_EQ(device.flash_state, flash_content::partial);
}

// (What it runs after a written EEPROM, every complete update shows after
// its restart.)
TEST(device_model, runs_no_mainboard_program_from_a_cleared_eeprom_after_power_up)
{
    device_model device = make_device_model();
    offer(device, packet(0x21, 0, std::vector<uint8_t>(32, 0xFF)));
    device_power_up(device);
    EXPECT_EQ(device.mainboard_version.minor, 0x00);
    EXPECT_EQ(device.control_version.minor, 0x98);
}

}  // namespace
