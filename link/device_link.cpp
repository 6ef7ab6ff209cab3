// SPDX-License-Identifier: MIT
#include "link/device_link.h"

#include <cwchar>

#include "link/update_protocol.h"
#include "util/access.h"
#include "util/console.h"
#include "util/device_lock.h"

// Written to the console for each stale report thrown away.
static constexpr char DRAINED_REPORT_MARK = '.';

static bool same_text(const wchar_t* actual, const wchar_t* required)
{
    return actual != nullptr && std::wcscmp(actual, required) == 0;
}

bool is_quennet_interface(const hid_device_info& entry)
{
    return entry.vendor_id == DEVICE_VENDOR_ID && entry.product_id == DEVICE_PRODUCT_ID &&
           same_text(entry.manufacturer_string, DEVICE_MANUFACTURER) &&
           same_text(entry.product_string, DEVICE_PRODUCT) && entry.usage_page == DEVICE_USAGE_PAGE &&
           entry.usage == DEVICE_USAGE;
}

discovery_result find_device()
{
    discovery_result found;
    hid_device_info* list = hid_enumerate(0, 0);
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
        if (!is_quennet_interface(*entry))
            continue;
        ++found.match_count;
        found.path = entry->path != nullptr ? entry->path : "";
        found.serial = entry->serial_number != nullptr ? entry->serial_number : L"";
    }
    hid_free_enumeration(list);
    return found;
}

bool report_discovery(const discovery_result& found)
{
    if (found.match_count == 0) {
        console_print("\n\nCannot find Quennet - Please make sure it is switched on and connected via USB\n");
        return false;
    }
    if (found.match_count > 1) {
        console_print("\n\nFound %d Quennets - Please disconnect %d of them\n", found.match_count,
                      found.match_count - 1);
        return false;
    }
    console_print("\n\nFound Quennet");
    return true;
}

// "Cannot acquire handle", then the library's reason in the form of the
// write-failure lines.
static void report_no_handle(const wchar_t* reason)
{
    char reason_text[256];
    describe_hid_error(reason, reason_text, sizeof reason_text);
    console_print("\n\nCannot acquire handle\n");
    console_print("Error: %s\n", reason_text);
}

enum class open_result { opened, refused, held_elsewhere, blocking };

// Opens, locks, switches to non-blocking reads and drains; `drained_mark`
// is written for each report drained (0: nothing).
static open_result open_and_drain(const std::string& path, device_link& link, char drained_mark)
{
    link.handle = hid_open_path(path.c_str());
    if (link.handle == nullptr)
        return open_result::refused;
    // Before anything is read or written: a second program must take none of
    // the replies meant for the first. The lock taken at the first open
    // stays held through the restart; a device back on another node takes
    // that node's lock too.
    if (device_lock_take(path.c_str()) == device_lock_result::held_elsewhere)
        return open_result::held_elsewhere;
    // A handle that stays blocking would hold the drain's first read until
    // the device sends something, perhaps for ever: such a handle is of no use.
    if (hid_set_nonblocking(link.handle, 1) != 0)
        return open_result::blocking;
    for (int reads = 0; reads < DRAIN_READS_MAX; ++reads) {
        if (hid_read(link.handle, link.buffer, REPLY_READ_SIZE) <= 0)
            break;
        if (drained_mark != 0)
            console_print("%c", drained_mark);
    }
    return open_result::opened;
}

bool open_device(const std::string& path, device_link& link)
{
    const open_result result = open_and_drain(path, link, DRAINED_REPORT_MARK);
    if (result == open_result::refused) {
        const wchar_t* reason = hid_error(nullptr);
        const bool for_rights = open_refused_for_rights(reason);  // before any other call
        report_no_handle(reason);
        if (for_rights)
            console_print("%s", ACCESS_ADVICE);
    } else if (result == open_result::held_elsewhere) {
        console_print("\n\nAnother quennet-update is using this Quennet - Please wait until it has finished\n");
    } else if (result == open_result::blocking) {
        report_no_handle(hid_error(link.handle));
    }
    return result == open_result::opened;
}

bool reopen_device(const std::string& path, device_link& link)
{
    const open_result result = open_and_drain(path, link, 0);
    if (result != open_result::opened)
        close_device(link);
    return result == open_result::opened;
}

void close_device(device_link& link)
{
    if (link.handle == nullptr)
        return;
    hid_close(link.handle);
    link.handle = nullptr;
}
