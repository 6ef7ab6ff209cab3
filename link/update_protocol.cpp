// SPDX-License-Identifier: MIT
#include "link/update_protocol.h"

#include <cassert>
#include <cstring>
#include <cwchar>

#include "util/access.h"
#include "util/console.h"

bool build_update_packet(uint8_t* buffer, uint8_t command, uint16_t address, const uint8_t* payload,
                         size_t length)
{
    if (length > PACKET_PAYLOAD_MAX || (length > 0 && payload == nullptr))
        return false;
    std::memset(buffer, 0, UPDATE_PACKET_SIZE);
    buffer[PACKET_REPORT_ID_AT] = REPORT_ID_UPDATE;
    buffer[PACKET_COMMAND_AT] = command;
    buffer[PACKET_ADDRESS_HIGH_AT] = static_cast<uint8_t>(address >> 8);
    buffer[PACKET_ADDRESS_LOW_AT] = static_cast<uint8_t>(address & 0xFF);
    buffer[PACKET_LENGTH_AT] = static_cast<uint8_t>(length);
    if (length > 0)
        std::memcpy(buffer + PACKET_PAYLOAD_AT, payload, length);
    return true;
}

void describe_hid_error(const wchar_t* text, char* out, size_t size)
{
    if (size == 0)
        return;
    // hidapi answers "Success" when it kept no reason for the failure (0.13's
    // hidraw open does so when the node is no HID device): no reason either.
    if (text == nullptr || std::wcscmp(text, L"Success") == 0)
        text = L"no error text from the HID library";
    size_t used = 0;
    for (; text[used] != L'\0' && used + 1 < size; ++used) {
        const wchar_t c = text[used];
        out[used] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    out[used] = '\0';
}

bool send_update_packet(device_link& link, uint8_t command, uint16_t address, const uint8_t* payload,
                        size_t length, on_write_failure failure)
{
    if (!build_update_packet(link.buffer, command, address, payload, length))
        return false;
    const bool first = link.writes++ == 0;
    if (hid_write(link.handle, link.buffer, UPDATE_PACKET_SIZE) >= 0)
        return true;
    if (failure == on_write_failure::stay_silent)
        return false;
    const wchar_t* reason = hid_error(link.handle);
    char error_text[256];
    describe_hid_error(reason, error_text, sizeof error_text);
    console_print("Unable to write()\n");
    console_print("Error: %s\n", error_text);
    if (first && write_refused_as_held(reason))
        console_print("%s", ACCESS_ADVICE);
    return false;
}

reply_result read_reply(device_link& link)
{
    const int count = hid_read_timeout(link.handle, link.buffer, REPLY_READ_SIZE, REPLY_TIMEOUT_MS);
    if (count < 0)
        return reply_result::failed;
    if (count == 0)
        return reply_result::timed_out;
    if (static_cast<size_t>(count) < REPLY_EXAMINED_SIZE)
        return reply_result::cut_short;
    return reply_result::received;
}

version_answer query_version(device_link& link, uint8_t command, version_pair& version, on_write_failure failure)
{
    assert(command == CMD_GET_MAINBOARD_VERSION || command == CMD_GET_CONTROL_VERSION);
    if (!send_update_packet(link, command, 0, nullptr, 0, failure) && failure == on_write_failure::stay_silent)
        return version_answer::none;
    if (read_reply(link) != reply_result::received)
        return version_answer::none;
    if (reply_echo(link) != command)
        return version_answer::other_echo;
    version = reply_version(link);
    return version_answer::version;
}

uint8_t reply_status(const device_link& link)
{
    return link.buffer[REPLY_STATUS_AT];
}

uint8_t reply_echo(const device_link& link)
{
    return link.buffer[REPLY_ECHO_AT];
}

version_pair reply_version(const device_link& link)
{
    return version_pair{link.buffer[REPLY_VERSION_MAJOR_AT], link.buffer[REPLY_VERSION_MINOR_AT]};
}

uint16_t version_value(version_pair version)
{
    return static_cast<uint16_t>(version.major * 256 + version.minor);
}

uint8_t block_checksum(const uint8_t* bytes, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(-sum);
}
