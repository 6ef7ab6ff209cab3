// SPDX-License-Identifier: MIT
#include "emu/model/device_model.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "payload/firmware_payload.h"

timing_profile realistic_timing()
{
    timing_profile timing;
    timing.report_us = 1000;             // one report per 1 ms full-speed frame
    timing.eeprom_chunk_us = 5000;       // EEPROM page write
    timing.flash_block_us = 4000;        // program one 192-byte block
    timing.first_block_us = 60000;       // erase before the first block
    timing.bootloader_entry_us = 250000; // Control processor restarts into its bootloader
    return timing;
}

long device_time_us(const device_response& response, const timing_profile& timing)
{
    long time = timing.report_us;
    if (!response.replies.empty())
        time += response.work_us + response.delay_ms * 1000L + static_cast<long>(response.replies.size()) * timing.report_us;
    return time;
}

input_report unasked_report(uint8_t status)
{
    input_report report{};
    report[0] = REPORT_ID_UPDATE;
    report[REPLY_ECHO_AT] = 0xEE;
    report[REPLY_STATUS_AT] = status;
    return report;
}

uint8_t sum_to_zero_check(const uint8_t* bytes, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return static_cast<uint8_t>((256 - sum % 256) % 256);
}

device_model make_device_model(version_pair mainboard, version_pair control)
{
    device_model device;
    device.mainboard_version = mainboard;
    device.control_version = control;
    // Older software than the release: any bytes that differ from the images.
    for (size_t i = 0; i < device.eeprom.size(); ++i)
        device.eeprom[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < device.flash.size(); ++i)
        device.flash[i] = static_cast<uint8_t>(i * 13 + 5);
    // A memory that runs the release's revision holds the release's image.
    if (mainboard == TARGET_MAINBOARD_REVISION)
        std::memcpy(device.eeprom.data(), mainboard_image, MAINBOARD_IMAGE_SIZE);
    if (control == TARGET_CONTROL_REVISION)
        std::memcpy(device.flash.data(), control_image, CONTROL_IMAGE_SIZE);
    return device;
}

static input_report reply_with(uint8_t echo, uint8_t byte5, uint8_t byte6)
{
    input_report reply{};
    reply[0] = REPORT_ID_UPDATE;
    reply[REPLY_ECHO_AT] = echo;
    reply[REPLY_STATUS_AT] = byte5;
    reply[REPLY_VERSION_MAJOR_AT] = byte6;
    return reply;
}

static input_report status_reply(uint8_t command, uint8_t status)
{
    return reply_with(command, status, 0);
}

static bool rule_matches(const fault_rule& rule, long index, int command, long address, int restarts)
{
    return rule.times != 0 && (rule.packet_index < 0 || rule.packet_index == index) &&
           (rule.command < 0 || rule.command == command) && (rule.address < 0 || rule.address == address) &&
           (rule.restarts < 0 || rule.restarts == restarts);
}

static uint8_t store_eeprom(device_model& device, size_t address, const uint8_t* data, size_t length)
{
    if (length == 0 || length > EEPROM_CHUNK_MAX || address + length > device.eeprom.size())
        return STATUS_WRITE_FAILED;
    std::memcpy(device.eeprom.data() + address, data, length);
    device.eeprom_modified = true;
    return STATUS_OK;
}

static uint8_t enter_bootloader(device_model& device, const uint8_t* payload, size_t length)
{
    if (length != BOOTLOADER_ENTRY_CODE_SIZE + 1 ||
        std::memcmp(payload, bootloader_entry_code, BOOTLOADER_ENTRY_CODE_SIZE) != 0 ||
        sum_to_zero_check(payload, BOOTLOADER_ENTRY_CODE_SIZE) != payload[BOOTLOADER_ENTRY_CODE_SIZE])
        return STATUS_VERIFY_FAILED;
    device.control = control_mode::bootloader;
    std::fill(device.flash_blocks_committed.begin(), device.flash_blocks_committed.end(), false);
    device.block_packets.fill(false);
    return STATUS_OK;
}

// Takes a flash packet into the block being received; false when it cannot
// be part of one.
static bool stage_flash_packet(device_model& device, size_t address, const uint8_t* data)
{
    if (address % FLASH_PACKET_DATA != 0 || address + FLASH_PACKET_DATA > device.flash.size())
        return false;
    const size_t base = address - address % FLASH_BLOCK_SIZE;
    if (base != device.block_base) {
        device.block_base = base;
        device.block_packets.fill(false);
    }
    const size_t in_block = address - base;
    std::memcpy(device.block.data() + in_block, data, FLASH_PACKET_DATA);
    device.block_packets[in_block / FLASH_PACKET_DATA] = true;
    return true;
}

static uint8_t commit_flash_block(device_model& device, size_t address, const uint8_t* payload, size_t length)
{
    if (length != FLASH_PACKET_DATA + 1 || address % FLASH_BLOCK_SIZE != FLASH_BLOCK_SIZE - FLASH_PACKET_DATA)
        return STATUS_WRITE_FAILED;
    if (!stage_flash_packet(device, address, payload))
        return STATUS_WRITE_FAILED;
    const bool whole = std::all_of(device.block_packets.begin(), device.block_packets.end(), [](bool b) { return b; });
    device.block_packets.fill(false);
    if (!whole || sum_to_zero_check(device.block.data(), FLASH_BLOCK_SIZE) != payload[FLASH_PACKET_DATA])
        return STATUS_VERIFY_FAILED;
    std::memcpy(device.flash.data() + device.block_base, device.block.data(), FLASH_BLOCK_SIZE);
    device.flash_blocks_committed[device.block_base / FLASH_BLOCK_SIZE] = true;
    const bool all = std::all_of(device.flash_blocks_committed.begin(), device.flash_blocks_committed.end(),
                                 [](bool b) { return b; });
    device.flash_state = all ? flash_content::complete : flash_content::partial;
    return STATUS_OK;
}

// Carries out one packet; returns the device's own answer, if it gives one.
static bool carry_out(device_model& device, const uint8_t* packet, input_report& answer)
{
    const uint8_t command = packet[PACKET_COMMAND_AT];
    const size_t address = packet[PACKET_ADDRESS_HIGH_AT] * 256u + packet[PACKET_ADDRESS_LOW_AT];
    const size_t length = std::min<size_t>(packet[PACKET_LENGTH_AT], PACKET_PAYLOAD_MAX);
    const uint8_t* payload = packet + PACKET_PAYLOAD_AT;
    switch (command) {
    case CMD_GET_MAINBOARD_VERSION:
        answer = reply_with(command, device.mainboard_version.minor, device.mainboard_version.major);
        return true;
    case CMD_GET_CONTROL_VERSION:
        answer = reply_with(command, device.control_version.minor, device.control_version.major);
        return true;
    case CMD_EEPROM_WRITE:
        answer = status_reply(command, store_eeprom(device, address, payload, length));
        return true;
    case CMD_CONTROL_PREPARE:
        if (length == 1 && payload[0] == CONTROL_PREPARE_REQUEST) {
            if (device.control == control_mode::application)
                device.control = control_mode::handed_over;
            answer = status_reply(command, STATUS_CONTROL_READY);
        } else {
            answer = status_reply(command, STATUS_VERIFY_FAILED);
        }
        return true;
    case CMD_BLOCK_COMMIT:
        if (device.control == control_mode::handed_over)
            answer = status_reply(command, enter_bootloader(device, payload, length));
        else if (device.control == control_mode::bootloader)
            answer = status_reply(command, commit_flash_block(device, address, payload, length));
        else
            answer = status_reply(command, STATUS_WRITE_FAILED);
        return true;
    case CMD_FLASH_DATA:
        if (device.control == control_mode::bootloader && length == FLASH_PACKET_DATA)
            stage_flash_packet(device, address, payload);
        return false;
    case CMD_RESTART:
        ++device.restarts;
        device_power_up(device);
        return false;
    default:
        return false;
    }
}

// How long the device works on a packet it carries out.
static long work_time_us(const device_model& device, const uint8_t* packet, const timing_profile& timing)
{
    const size_t address = packet[PACKET_ADDRESS_HIGH_AT] * 256u + packet[PACKET_ADDRESS_LOW_AT];
    switch (packet[PACKET_COMMAND_AT]) {
    case CMD_EEPROM_WRITE:
        return timing.eeprom_chunk_us;
    case CMD_BLOCK_COMMIT:
        if (device.control == control_mode::handed_over)
            return timing.bootloader_entry_us;
        return timing.flash_block_us + (address < FLASH_BLOCK_SIZE ? timing.first_block_us : 0);
    default:
        return 0;
    }
}

device_response device_receive(device_model& device, const uint8_t* report, size_t length,
                               const timing_profile& timing)
{
    device_response response;
    const long index = static_cast<long>(device.packets.size());
    device.packets.push_back(packet_record{std::vector<uint8_t>(report, report + length), false});
    auto fail_write = [&device, &response] {
        device.packets.back().failed = true;
        response.write_fails = true;
        if (response.unplug_after) {
            // The device goes away after this attempt, taken or not.
            device.unplugged = true;
            response.unplug = true;
        }
        return response;
    };
    if (device.unplugged)
        return fail_write();
    if (device.stopped) {
        // Nothing reads the endpoint: the USB layer queues a few reports,
        // then every write blocks until the kernel gives up on it.
        if (++device.writes_since_stop <= STOPPED_DEVICE_QUEUED_REPORTS)
            return response;
        response.write_blocks_ms = STOPPED_DEVICE_WRITE_TIMEOUT_MS;
        return fail_write();
    }

    uint8_t packet[UPDATE_PACKET_SIZE] = {};
    std::memcpy(packet, report, std::min(length, sizeof packet));
    const int command = packet[PACKET_COMMAND_AT];
    const long address = packet[PACKET_ADDRESS_HIGH_AT] * 256L + packet[PACKET_ADDRESS_LOW_AT];

    const fault_rule* status_fault = nullptr;
    const fault_rule* garble_fault = nullptr;
    const fault_rule* echo_fault = nullptr;
    int wait_replies = 0;
    bool answer_lost = false;
    for (fault_rule& rule : device.faults) {
        if (!rule_matches(rule, index, command, address, device.restarts))
            continue;
        if (rule.times > 0)
            --rule.times;
        switch (rule.kind) {
        case fault_kind::unplug:
            device.unplugged = true;
            response.unplug = true;
            return fail_write();
        case fault_kind::write_failure:
            return fail_write();
        case fault_kind::lost:
            device.packets.back().failed = true;  // written, but never received
            return response;
        case fault_kind::stop:
            device.stopped = true;
            device.writes_since_stop = 1;
            return response;
        case fault_kind::status:
            status_fault = &rule;
            break;
        case fault_kind::garble:
            garble_fault = &rule;
            break;
        case fault_kind::wait_replies:
            wait_replies += rule.wait_replies;
            break;
        case fault_kind::no_reply:
            answer_lost = true;
            break;
        case fault_kind::unplug_after:
            response.unplug_after = true;
            break;
        case fault_kind::delay:
            response.delay_ms += rule.delay_ms;
            break;
        case fault_kind::echo:
            echo_fault = &rule;
            break;
        case fault_kind::short_reply:
            response.reply_length = std::min(response.reply_length, rule.reply_length);
            break;
        }
    }

    // The kernel hands the device only reports of the ids its descriptor
    // declares; anything else never arrives as an update packet.
    if (packet[PACKET_REPORT_ID_AT] != REPORT_ID_UPDATE)
        return response;

    input_report answer{};
    bool answers = false;
    if (status_fault != nullptr && status_fault->status != STATUS_OK) {
        // A device that reports a failure has not carried the command out.
        answer = status_reply(static_cast<uint8_t>(command), status_fault->status);
        answers = true;
    } else {
        const long work = work_time_us(device, packet, timing);
        answers = carry_out(device, packet, answer);
        if (status_fault != nullptr) {
            answer = status_reply(static_cast<uint8_t>(command), STATUS_OK);
            answers = true;
        }
        device.busy_us += work;
        response.work_us = work;
    }
    if (garble_fault != nullptr)
        answer[REPLY_STATUS_AT] = garble_fault->status;
    if (echo_fault != nullptr)
        answer[REPLY_ECHO_AT] = echo_fault->echo;
    for (int i = 0; i < wait_replies; ++i)
        response.replies.push_back(status_reply(static_cast<uint8_t>(command), STATUS_WAIT));
    if (answers && !answer_lost)
        response.replies.push_back(answer);
    return response;
}

void device_power_up(device_model& device)
{
    if (device.eeprom_modified) {
        const bool release = std::memcmp(device.eeprom.data(), mainboard_image, MAINBOARD_IMAGE_SIZE) == 0;
        device.mainboard_version = release ? TARGET_MAINBOARD_REVISION : version_pair{0x00, 0x00};
    }
    if (device.flash_state != flash_content::original) {
        const bool release = device.flash_state == flash_content::complete &&
                             std::memcmp(device.flash.data(), control_image, CONTROL_IMAGE_SIZE) == 0;
        device.control_version = release ? TARGET_CONTROL_REVISION : version_pair{0x00, 0x00};
    }
    device.control = control_mode::application;
    device.block_packets.fill(false);
    device.stopped = false;
    device.writes_since_stop = 0;
}

device_model device_after_replug(const device_model& device)
{
    device_model plugged = device;
    plugged.unplugged = false;
    device_power_up(plugged);
    return plugged;
}

bool device_holds_release(const device_model& device)
{
    return std::memcmp(device.eeprom.data(), mainboard_image, MAINBOARD_IMAGE_SIZE) == 0 &&
           std::memcmp(device.flash.data(), control_image, CONTROL_IMAGE_SIZE) == 0;
}

static bool parse_number(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

static bool parse_selector(const std::string& item, fault_rule& rule, std::string& error)
{
    const size_t equals = item.find('=');
    const std::string key = item.substr(0, equals);
    long value = 0;
    if (equals == std::string::npos || !parse_number(item.substr(equals + 1), value)) {
        error = "selector '" + item + "' is not NAME=NUMBER";
        return false;
    }
    if (key == "index")
        rule.packet_index = value;
    else if (key == "command")
        rule.command = static_cast<int>(value);
    else if (key == "address")
        rule.address = value;
    else if (key == "times")
        rule.times = value;
    else if (key == "restarts")
        rule.restarts = static_cast<int>(value);
    else {
        error = "unknown selector '" + key + "' (index, command, address, restarts, times)";
        return false;
    }
    return true;
}

bool parse_fault_rule(const std::string& text, fault_rule& rule, std::string& error)
{
    rule = fault_rule{};
    const size_t at = text.find('@');
    const std::string kind = text.substr(0, at);
    const size_t equals = kind.find('=');
    const std::string name = kind.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : kind.substr(equals + 1);
    long number = 0;
    if (name == "status" && value.size() == 1) {
        rule.kind = fault_kind::status;
        rule.status = static_cast<uint8_t>(value[0]);
    } else if (name == "status" && parse_number(value, number) && number >= 0 && number <= 0xFF) {
        rule.kind = fault_kind::status;
        rule.status = static_cast<uint8_t>(number);
    } else if (name == "garble" && value.size() == 1) {
        rule.kind = fault_kind::garble;
        rule.status = static_cast<uint8_t>(value[0]);
    } else if (name == "wait" && parse_number(value, number) && number >= 0) {
        rule.kind = fault_kind::wait_replies;
        rule.wait_replies = static_cast<int>(number);
    } else if (name == "no-reply" && value.empty()) {
        rule.kind = fault_kind::no_reply;
    } else if (name == "write-fail" && value.empty()) {
        rule.kind = fault_kind::write_failure;
    } else if (name == "lost" && value.empty()) {
        rule.kind = fault_kind::lost;
    } else if (name == "stop" && value.empty()) {
        rule.kind = fault_kind::stop;
    } else if (name == "unplug" && value.empty()) {
        rule.kind = fault_kind::unplug;
    } else if (name == "unplug-after" && value.empty()) {
        rule.kind = fault_kind::unplug_after;
    } else if (name == "echo" && parse_number(value, number) && number >= 0 && number <= 0xFF) {
        rule.kind = fault_kind::echo;
        rule.echo = static_cast<uint8_t>(number);
    } else if (name == "delay" && parse_number(value, number) && number >= 0) {
        rule.kind = fault_kind::delay;
        rule.delay_ms = static_cast<int>(number);
    } else if (name == "short" && parse_number(value, number) && number >= 1 &&
               number < static_cast<long>(MODEL_INPUT_REPORT_SIZE)) {
        rule.kind = fault_kind::short_reply;
        rule.reply_length = static_cast<size_t>(number);
    } else {
        error = "unknown fault '" + kind + "' (" + FAULT_KINDS + ")";
        return false;
    }
    if (at == std::string::npos)
        return true;
    std::string selectors = text.substr(at + 1);
    size_t start = 0;
    while (start <= selectors.size()) {
        const size_t comma = selectors.find(',', start);
        const std::string item = selectors.substr(start, comma - start);
        if (!parse_selector(item, rule, error))
            return false;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

bool parse_version(const std::string& text, version_pair& version)
{
    const size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= text.size())
        return false;
    char* end = nullptr;
    const std::string major = text.substr(0, dot);
    const std::string minor = text.substr(dot + 1);
    const unsigned long high = std::strtoul(major.c_str(), &end, 16);
    if (*end != '\0' || high > 0xFF)
        return false;
    const unsigned long low = std::strtoul(minor.c_str(), &end, 16);
    if (*end != '\0' || low > 0xFF)
        return false;
    version = version_pair{static_cast<uint8_t>(high), static_cast<uint8_t>(low)};
    return true;
}
