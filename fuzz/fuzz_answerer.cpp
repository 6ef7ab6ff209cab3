// SPDX-License-Identifier: MIT
// Answers every HID library call from the fuzz input (device_script.h).
#include "fuzz/fuzz_answerer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/device_script.h"
#include "link/device_link.h"
#include "link/protocol_constants.h"
#include "payload/release_constants.h"

namespace {

struct script_state {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    uint8_t last_command = 0;
};

script_state script;

const std::wstring LONG_ERROR_TEXT(300, L'x');

bool next(uint8_t& byte)
{
    if (script.at >= script.size)
        return false;
    byte = script.data[script.at++];
    return true;
}

uint8_t next_or(uint8_t fallback)
{
    uint8_t byte = fallback;
    next(byte);
    return byte;
}

const wchar_t* write_error_text()
{
    switch (next_or(ERROR_TEXT_PLAIN) & 3) {
    case ERROR_TEXT_NOT_ASCII:
        return L"Ger\u00e4t getrennt \u263a\t\u0001";
    case ERROR_TEXT_LONG:
        return LONG_ERROR_TEXT.c_str();
    case ERROR_TEXT_EMPTY:
        return L"";
    default:
        return L"Input/output error";
    }
}

std::vector<stand_in_interface> enumerate(void*)
{
    const uint8_t head = next_or(0);
    std::vector<stand_in_interface> found;
    for (int i = 0; i < (head & 3); ++i) {
        const uint8_t fields = next_or(IDENTITY_ALL_RIGHT);
        stand_in_interface entry;
        entry.has_path = (head & ENTRIES_WITHOUT_PATH) == 0;
        entry.path = "/dev/hidraw" + std::to_string(i);
        entry.vendor_id = (fields & 0x01) ? DEVICE_VENDOR_ID : 0x0452;
        entry.product_id = (fields & 0x02) ? DEVICE_PRODUCT_ID : 0x5B3F;
        entry.has_manufacturer = (fields & 0x40) == 0;
        entry.manufacturer = (fields & 0x04) ? DEVICE_MANUFACTURER : L"harlowmere audio";
        entry.has_product = (fields & 0x80) == 0;
        entry.product = (fields & 0x08) ? DEVICE_PRODUCT : L"Calverra Quennet 2";
        entry.usage_page = (fields & 0x10) ? DEVICE_USAGE_PAGE : 0x000C;
        entry.usage = (fields & 0x20) ? DEVICE_USAGE : 0x0002;
        entry.has_serial = (head & ENTRIES_WITHOUT_SERIAL) == 0;
        entry.serial = EMULATED_SERIAL;
        found.push_back(entry);
    }
    return found;
}

stand_in_open open(void*, size_t)
{
    switch (next_or(WRITE_OK)) {
    case OPEN_REFUSED:
        return {false, true, OPEN_DENIED_REASON_WIDE};
    case OPEN_REFUSED_OTHER:
        return {false, false, write_error_text()};
    case OPEN_REFUSED_WITHOUT_TEXT:
        return {false, false, L"Success"};  // hidapi 0.13's word when it kept no reason
    default:
        return {};
    }
}

bool set_nonblocking(void*, size_t)
{
    return next_or(WRITE_OK) != NONBLOCKING_FAILS;
}

stand_in_result write(void*, size_t, const uint8_t* data, size_t length)
{
    if (length > PACKET_COMMAND_AT)
        script.last_command = data[PACKET_COMMAND_AT];
    switch (next_or(WRITE_OK)) {
    case WRITE_FAILS:
        return {-1, write_error_text()};
    case WRITE_FAILS_WITHOUT_TEXT:
        return {-1, nullptr};
    case WRITE_OK_65:
        return {65, nullptr};
    default:
        return {static_cast<int>(length), nullptr};
    }
}

stand_in_result read(void*, size_t, uint8_t* data, size_t length, int)
{
    uint8_t kind = READ_TIMES_OUT;
    if (!next(kind))
        return {0, nullptr};
    uint8_t report[REPLY_READ_SIZE] = {REPORT_ID_UPDATE, script.last_command};
    switch (kind & 0x0F) {
    case READ_TIMES_OUT:
        return {0, nullptr};
    case READ_FAILS:
        return {-1, L"Input/output error"};
    case READ_FAILS_WITHOUT_TEXT:
        return {-1, nullptr};
    case READ_STATUS_OK:
        report[REPLY_STATUS_AT] = STATUS_OK;
        break;
    case READ_STATUS_WAIT:
        report[REPLY_STATUS_AT] = STATUS_WAIT;
        break;
    case READ_STATUS_READY:
        report[REPLY_STATUS_AT] = STATUS_CONTROL_READY;
        break;
    case READ_STATUS_BYTE:
        report[REPLY_STATUS_AT] = next_or(0);
        break;
    case READ_VERSION:
        report[REPLY_VERSION_MAJOR_AT] = next_or(0);
        report[REPLY_VERSION_MINOR_AT] = next_or(0);
        break;
    case READ_RELEASE_VERSION: {
        const version_pair release =
            script.last_command == CMD_GET_CONTROL_VERSION ? TARGET_CONTROL_REVISION : TARGET_MAINBOARD_REVISION;
        report[REPLY_VERSION_MAJOR_AT] = release.major;
        report[REPLY_VERSION_MINOR_AT] = release.minor;
        break;
    }
    default:
        for (uint8_t& byte : report)
            byte = next_or(0);
        break;
    }
    const size_t cut = (kind >> 4) & 7;
    const size_t count = std::min(cut > 0 ? cut : sizeof report, length);
    std::memcpy(data, report, count);
    return {static_cast<int>(count), nullptr};
}

}  // namespace

hid_answerer fuzz_answerer(const uint8_t* data, size_t size)
{
    script = script_state{};
    script.data = data;
    script.size = size;
    return hid_answerer{nullptr, enumerate, open, set_nonblocking, write, read};
}
