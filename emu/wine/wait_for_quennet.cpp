// SPDX-License-Identifier: MIT
// Test-only, never shipped: waits until wine's HID stack shows exactly the
// given number of Quennet update interfaces (default 1), at most the given
// seconds (default 90); exit status 0 when it does. Wine's bus driver learns
// of a device some seconds after the kernel does, and the first wine process
// of a session starts wine itself: run first, this keeps both out of the
// program's run (and wine's start-up complaints out of its standard error).
//
//   wait-for-quennet.exe [COUNT [SECONDS]]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include <hidapi.h>

#include "link/protocol_constants.h"

static int quennets()
{
    int count = 0;
    hid_device_info* list = hid_enumerate(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next)
        count += entry->usage_page == DEVICE_USAGE_PAGE ? 1 : 0;
    hid_free_enumeration(list);
    return count;
}

int main(int argc, char** argv)
{
    const int want = argc > 1 ? std::atoi(argv[1]) : 1;
    const DWORD seconds = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 90;
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
    int seen = quennets();
    while (seen != want && GetTickCount64() < deadline) {
        Sleep(200);
        seen = quennets();
    }
    hid_exit();
    if (seen == want)
        return 0;
    std::fprintf(stderr, "wait-for-quennet: %d Quennets after %lu s, not %d\n", seen, seconds, want);
    return 1;
}
