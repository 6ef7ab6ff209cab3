// SPDX-License-Identifier: MIT
// Stands in for libhidapi in the fuzz build: the program's own code calls
// these functions, linked in place of the library's, and every answer comes
// from the fuzz input (device_script.h).
#include "fuzz/scripted_hidapi.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <hidapi.h>

#include "fuzz/device_script.h"
#include "link/protocol_constants.h"
#include "payload/firmware_payload.h"

struct hid_device_ {
    int unused;
};

namespace {

struct script_state {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    uint8_t last_command = 0;
    bool last_write_had_text = true;
    hid_device_ device{};
    hid_call_record record;
};

script_state script;

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

[[noreturn]] void violated(const char* what)
{
    std::fprintf(stderr, "scripted hidapi: %s\n", what);
    std::abort();
}

int scripted_read(unsigned char* data, size_t length)
{
    ++script.record.calls;
    if (data == nullptr)
        violated("read into no buffer");
    uint8_t kind = READ_TIMES_OUT;
    if (!next(kind))
        return 0;
    uint8_t report[REPLY_READ_SIZE] = {REPORT_ID_UPDATE, script.last_command};
    switch (kind & 7) {
    case READ_TIMES_OUT:
        return 0;
    case READ_FAILS:
        return -1;
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
    default:
        for (uint8_t& byte : report)
            byte = next_or(0);
        break;
    }
    const size_t count = length < sizeof report ? length : sizeof report;
    std::memcpy(data, report, count);
    return static_cast<int>(count);
}

hid_device_info* scripted_entry(uint8_t fields, int index)
{
    auto* entry = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    char path[32];
    std::snprintf(path, sizeof path, "/dev/hidraw%d", index);
    entry->path = strdup(path);
    entry->vendor_id = (fields & 0x01) ? DEVICE_VENDOR_ID : 0x0452;
    entry->product_id = (fields & 0x02) ? DEVICE_PRODUCT_ID : 0x5B3F;
    if (!(fields & 0x40))
        entry->manufacturer_string = wcsdup((fields & 0x04) ? DEVICE_MANUFACTURER : L"harlowmere audio");
    if (!(fields & 0x80))
        entry->product_string = wcsdup((fields & 0x08) ? DEVICE_PRODUCT : L"Calverra Quennet 2");
    entry->usage_page = (fields & 0x10) ? DEVICE_USAGE_PAGE : 0x000C;
    entry->usage = (fields & 0x20) ? DEVICE_USAGE : 0x0002;
    entry->interface_number = index;
    return entry;
}

}  // namespace

void script_begin(const uint8_t* data, size_t size)
{
    script = script_state{};
    script.data = data;
    script.size = size;
}

const hid_call_record& script_result()
{
    return script.record;
}

extern "C" {

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    ++script.record.calls;
    ++script.record.enumerations;
    if (vendor_id != 0 || product_id != 0)
        script.record.filtered_enumeration = true;
    const int count = next_or(0) & 3;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (int i = 0; i < count; ++i) {
        *tail = scripted_entry(next_or(IDENTITY_ALL_RIGHT), i);
        tail = &(*tail)->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs)
{
    ++script.record.calls;
    while (devs != nullptr) {
        hid_device_info* following = devs->next;
        std::free(devs->path);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = following;
    }
}

hid_device* hid_open_path(const char* path)
{
    ++script.record.calls;
    ++script.record.opens;
    if (path == nullptr || std::strncmp(path, "/dev/hidraw", 11) != 0)
        violated("opened a path the enumeration did not give");
    return next_or(WRITE_OK) == OPEN_REFUSED ? nullptr : &script.device;
}

int hid_set_nonblocking(hid_device* dev, int nonblock)
{
    ++script.record.calls;
    if (dev != &script.device || nonblock != 1)
        violated("set_nonblocking other than to non-blocking, or on a device that is not open");
    return 0;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    ++script.record.calls;
    if (dev != &script.device)
        violated("write to a device that is not open");
    const uint8_t outcome = next_or(WRITE_OK);
    const bool failed = outcome == WRITE_FAILS || outcome == WRITE_FAILS_WITHOUT_TEXT;
    script.last_write_had_text = outcome != WRITE_FAILS_WITHOUT_TEXT;
    record_write(script.record, data, length, failed);
    if (data != nullptr && length > PACKET_COMMAND_AT)
        script.last_command = data[PACKET_COMMAND_AT];
    return failed ? -1 : static_cast<int>(length);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    if (dev != &script.device)
        violated("read from a device that is not open");
    ++script.record.drain_reads;
    return scripted_read(data, length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    if (dev != &script.device)
        violated("read from a device that is not open");
    record_reply_read(script.record, milliseconds);
    return scripted_read(data, length);
}

const wchar_t* hid_error(hid_device* dev)
{
    ++script.record.calls;
    if (dev != &script.device)
        violated("error text of a device that is not open");
    return script.last_write_had_text ? L"scripted write failure" : nullptr;
}

void hid_close(hid_device* dev)
{
    ++script.record.calls;
    ++script.record.closes;
    if (dev != &script.device)
        violated("closed a device that is not open");
}

int hid_exit()
{
    ++script.record.calls;
    ++script.record.exits;
    return 0;
}

}  // extern "C"
