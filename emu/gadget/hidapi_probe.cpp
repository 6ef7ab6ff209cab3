// SPDX-License-Identifier: MIT
// hidapi-probe: what one of hidapi's back ends shows of the HID interfaces
// on this machine, for comparing the back ends on the real USB stack. Lists
// every interface with the fields the Quennet's identity filter reads; with
// --query, also opens the first interface with the Quennet's vendor and
// product id, asks it for its Mainboard version, prints the next three reads,
// and then releases the library with the device still open, as the program's
// abort exit does.
#include <cstdio>
#include <cstring>
#include <string>

#include <hidapi.h>

#include "link/protocol_constants.h"

int main(int argc, char** argv)
{
    const bool query = argc > 1 && std::strcmp(argv[1], "--query") == 0;
    std::string path;
    hid_device_info* list = hid_enumerate(0, 0);
    for (const hid_device_info* e = list; e != nullptr; e = e->next) {
        std::printf("%04x:%04x usage_page=0x%04x usage=0x%04x interface=%d manufacturer=\"%ls\" product=\"%ls\" path=%s\n",
                    e->vendor_id, e->product_id, e->usage_page, e->usage, e->interface_number,
                    e->manufacturer_string != nullptr ? e->manufacturer_string : L"(none)",
                    e->product_string != nullptr ? e->product_string : L"(none)", e->path);
        if (path.empty() && e->vendor_id == DEVICE_VENDOR_ID && e->product_id == DEVICE_PRODUCT_ID)
            path = e->path;
    }
    hid_free_enumeration(list);
    if (!query || path.empty())
        return path.empty() ? 1 : 0;
    hid_device* device = hid_open_path(path.c_str());
    if (device == nullptr) {
        std::printf("open %s: failed\n", path.c_str());
        return 1;
    }
    unsigned char packet[UPDATE_PACKET_SIZE] = {REPORT_ID_UPDATE, CMD_GET_MAINBOARD_VERSION};
    std::printf("write: %d\n", hid_write(device, packet, sizeof packet));
    for (int i = 0; i < 3; ++i) {
        unsigned char reply[REPLY_READ_SIZE] = {};
        const int count = hid_read_timeout(device, reply, sizeof reply, REPLY_TIMEOUT_MS);
        std::printf("read %d: %d bytes:", i, count);
        for (int b = 0; b < count; ++b)
            std::printf(" %02x", reply[b]);
        std::printf("\n");
    }
    std::fflush(stdout);
    hid_exit();  // with the device still open
    std::printf("hid_exit with the device open: returned\n");
    return 0;
}
