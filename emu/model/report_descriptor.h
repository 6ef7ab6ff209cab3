// SPDX-License-Identifier: MIT
// The HID report descriptors of the Quennet's interfaces, as the device
// sends them to the host: every emulation shows the host these bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "link/protocol_constants.h"

// The update interface: the usage page and usage (vendor page 0xFF00, usage 1
// on the Quennet), report id 2 with a 63-byte output and a 63-byte input report.
inline std::vector<uint8_t> update_report_descriptor(uint16_t usage_page = DEVICE_USAGE_PAGE,
                                                     uint16_t usage = DEVICE_USAGE)
{
    std::vector<uint8_t> d = {0x06, static_cast<uint8_t>(usage_page & 0xFF), static_cast<uint8_t>(usage_page >> 8)};
    if (usage > 0xFF)
        d.insert(d.end(), {0x0A, static_cast<uint8_t>(usage & 0xFF), static_cast<uint8_t>(usage >> 8)});
    else
        d.insert(d.end(), {0x09, static_cast<uint8_t>(usage)});
    d.insert(d.end(), {0xA1, 0x01, 0x85, REPORT_ID_UPDATE, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                       0x95, 0x3F, 0x91, 0x02, 0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F,
                       0x81, 0x02, 0xC0});
    return d;
}

// The device's other interface: consumer controls (page 0x000C), one 8-bit
// input report.
inline std::vector<uint8_t> controls_report_descriptor()
{
    return {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
            0x75, 0x08, 0x95, 0x01, 0x09, 0xE9, 0x81, 0x02, 0xC0};
}
