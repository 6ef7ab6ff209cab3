// SPDX-License-Identifier: MIT
// Finding the one Quennet on the bus and opening its update interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <hidapi.h>

#include "link/protocol_constants.h"

// The kernel keeps at most 64 input reports queued per open hidraw node; four
// times that is more stale input than a device can have pending, so a device
// that keeps sending cannot hold the drain for ever.
inline constexpr int DRAIN_READS_MAX = 256;

// The open update interface and the one buffer in which packets are built and
// replies received. Lives from the successful open to the end of the run.
struct device_link {
    hid_device* handle = nullptr;
    uint8_t buffer[REPORT_BUFFER_SIZE] = {};
    long writes = 0;  // packets handed to the library so far, failed ones included
};

// The USB serial number of the emulated Quennet, on every transport that
// emulates it. A build that carries placeholder images writes nothing else.
inline constexpr const wchar_t* EMULATED_SERIAL = L"EMULATED";

struct discovery_result {
    int match_count = 0;
    std::string path;      // of the last matching entry
    std::wstring serial;   // of the same entry; empty when it has none
};

// True when an enumeration entry is the Quennet's update interface.
bool is_quennet_interface(const hid_device_info& entry);

// Enumerates every HID interface and counts those that match; prints nothing.
discovery_result find_device();

// Prints the discovery line or the reason there is no single device; true when
// exactly one device was found.
bool report_discovery(const discovery_result& found);

// Opens the interface at the path, takes the one-update-at-a-time lock on
// it, switches it to non-blocking reads and drains stale input, a '.' for
// each report drained. Prints its own failure message.
bool open_device(const std::string& path, device_link& link);

// The same for a device found again after its restart, printing nothing.
// On false no handle is left open.
bool reopen_device(const std::string& path, device_link& link);

// Closes the link's handle, if one is open.
void close_device(device_link& link);
