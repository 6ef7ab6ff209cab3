// SPDX-License-Identifier: MIT
// hidapi's functions over the answer_* functions (see hidapi_stand_in.h). Besides
// answering, it checks that the program uses the library as the library
// requires: no call on a device that is not open, no read into no buffer.
#include "emu/stand_in/hidapi_stand_in.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>

#include <hidapi.h>

// cppcheck-suppress ctuOneDefinitionRuleViolation
struct hid_device_ {
    size_t interface_number = 0;
    bool open = true;
    bool nonblocking = false;
    bool has_error = false;
    std::wstring error;
};

namespace {

struct stand_in_state {
    hid_call_record record;
    std::vector<stand_in_interface> listed;  // by the last enumeration
    std::deque<hid_device_> devices;    // every device opened in this run
    bool has_global_error = false;      // hid_error(NULL): the last failed open's reason
    std::wstring global_error;
};

stand_in_state state;

[[noreturn]] void misused(const char* what)
{
    std::fprintf(stderr, "hidapi stand-in: the program %s\n", what);
    std::abort();
}

// Counts the call; true when the run has gone past every bound.
bool runaway()
{
    return ++state.record.calls > RUNAWAY_CALLS;
}

hid_device_& opened(hid_device* dev, const char* call)
{
    for (hid_device_& device : state.devices)
        if (&device == dev && device.open)
            return device;
    misused(call);
}

char* text_copy(const std::string& text)
{
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

wchar_t* wide_copy(const std::wstring& text)
{
    auto* copy = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

int take_result(hid_device_& device, const stand_in_result& result)
{
    device.has_error = result.count < 0 && result.error_text != nullptr;
    device.error = device.has_error ? result.error_text : L"";
    return result.count;
}

// A refused open leaves what the library leaves: its reason and, on Linux,
// open(2)'s errno (on Windows the reason alone tells a refusal for rights).
hid_device* refuse_open(const stand_in_open& answer)
{
    state.has_global_error = answer.error_text != nullptr;
    state.global_error = state.has_global_error ? answer.error_text : L"";
    errno = answer.for_rights ? EACCES : EIO;
    return nullptr;
}

int stand_in_read(hid_device_& device, unsigned char* data, size_t length, int milliseconds)
{
    if (data == nullptr)
        misused("read into no buffer");
    if (runaway())
        return take_result(device, {-1, L"Too many calls"});
    const stand_in_result result = answer_read(device.interface_number, data, length, milliseconds);
    if (result.count > static_cast<int>(length))
        misused("was given more bytes than it asked for (the answer is wrong)");
    return take_result(device, result);
}

}  // namespace

void stand_in_begin()
{
    state = stand_in_state{};
}

const hid_call_record& stand_in_record()
{
    return state.record;
}

extern "C" {

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    runaway();
    ++state.record.enumerations;
    if (vendor_id != 0 || product_id != 0)
        state.record.filtered_enumeration = true;
    const std::vector<stand_in_interface> found = answer_enumerate();
    state.listed = found;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (size_t i = 0; i < found.size(); ++i) {
        const stand_in_interface& interface = found[i];
        auto* entry = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        entry->path = interface.has_path ? text_copy(interface.path) : nullptr;
        entry->vendor_id = interface.vendor_id;
        entry->product_id = interface.product_id;
        entry->serial_number = interface.has_serial ? wide_copy(interface.serial) : nullptr;
        entry->manufacturer_string = interface.has_manufacturer ? wide_copy(interface.manufacturer) : nullptr;
        entry->product_string = interface.has_product ? wide_copy(interface.product) : nullptr;
        entry->usage_page = interface.usage_page;
        entry->usage = interface.usage;
        entry->interface_number = static_cast<int>(interface.number);
        *tail = entry;
        tail = &entry->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs)
{
    runaway();
    while (devs != nullptr) {
        hid_device_info* following = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = following;
    }
}

// A path that the last enumeration did not give (or gave as null) is no
// device: the open fails, as the library's would.
hid_device* hid_open_path(const char* path)
{
    runaway();
    ++state.record.opens;
    if (path == nullptr)
        misused("opened a null path");
    for (const stand_in_interface& interface : state.listed) {
        if (!interface.has_path || interface.path != path)
            continue;
        const stand_in_open answer = answer_open(interface.number);
        if (!answer.opened)
            return refuse_open(answer);
        hid_device_ device;
        device.interface_number = interface.number;
        state.devices.push_back(device);
        return &state.devices.back();
    }
    return refuse_open({false, false, L"No such file or directory"});
}

int hid_set_nonblocking(hid_device* dev, int nonblock)
{
    runaway();
    hid_device_& device = opened(dev, "set a device that is not open to non-blocking");
    if (!answer_set_nonblocking(device.interface_number))
        return take_result(device, {-1, L"Operation not supported"});
    device.nonblocking = nonblock != 0;
    return 0;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    const bool stopped = runaway();
    hid_device_& device = opened(dev, "wrote to a device that is not open");
    if (data == nullptr)
        misused("wrote no buffer");
    if (stopped) {
        record_write(state.record, data, length, true);
        return take_result(device, {-1, L"Too many calls"});
    }
    const stand_in_result result = answer_write(device.interface_number, data, length);
    record_write(state.record, data, length, result.count < 0);
    return take_result(device, result);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    hid_device_& device = opened(dev, "read from a device that is not open");
    ++state.record.drain_reads;
    return stand_in_read(device, data, length, device.nonblocking ? 0 : -1);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    hid_device_& device = opened(dev, "read from a device that is not open");
    record_reply_read(state.record, milliseconds);
    return stand_in_read(device, data, length, milliseconds);
}

const wchar_t* hid_error(hid_device* dev)
{
    runaway();
    if (dev == nullptr)
        return state.has_global_error ? state.global_error.c_str() : nullptr;
    const hid_device_& device = opened(dev, "asked for the error text of a device that is not open");
    return device.has_error ? device.error.c_str() : nullptr;
}

void hid_close(hid_device* dev)
{
    runaway();
    ++state.record.closes;
    opened(dev, "closed a device that is not open").open = false;
}

int hid_exit()
{
    runaway();
    ++state.record.exits;
    return 0;
}

}  // extern "C"
