// SPDX-License-Identifier: MIT
// What an emulated USB bus holds, whichever way it is emulated (umockdev's
// hidraw testbed or hidapi's interface in process): the HID interfaces that
// enumeration shows, which of them the emulated Quennet answers, and how the
// device and the HID library behave around it. Answers that only the
// in-process stand-in for hidapi can give are marked so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emu/model/device_model.h"
#include "link/protocol_constants.h"

// One HID interface on the bus, as enumeration shows it.
struct interface_identity {
    uint16_t vendor_id = DEVICE_VENDOR_ID;
    uint16_t product_id = DEVICE_PRODUCT_ID;
    bool has_strings = true;  // false: the USB device carries no manufacturer or product string
    std::string manufacturer = "Harlowmere Audio";
    std::string product = "Calverra Quennet";
    uint16_t usage_page = DEVICE_USAGE_PAGE;
    uint16_t usage = DEVICE_USAGE;
    std::string serial = "EMULATED";  // the USB serial number string; empty: none
    int usb_device = 0;  // interfaces with the same number belong to one USB device
    bool has_path = true;  // in process only: false gives the entry a null path
};

struct bus_options {
    std::vector<interface_identity> interfaces{interface_identity{}};
    int model_interface = 0;  // which interface the emulated Quennet answers; -1: none
    bool fail_open = false;   // the device refuses to be opened
    bool open_for_rights = false;  // in process only: ... for lack of rights (EACCES)
    int stale_reports = 0;    // input reports waiting before the program opens the device
    bool keeps_sending = false;  // in process only: a new input report is always waiting
    // In process only, the library's own answers: hid_set_nonblocking fails;
    // a good write returns this count instead of the length written (hidapi
    // on Windows returns the output report's length, 65 for the Quennet);
    // failed calls come without an error text.
    bool fail_nonblocking = false;
    bool held_elsewhere = false;  // every write is refused as hidapi on Windows words a device another program holds
    int written_count = 0;  // 0: the length written
    bool error_texts = true;
    bool gone_listed = false;  // in process only: a device gone from the bus is still listed (wine lists it a while longer)
    const wchar_t* error_text = nullptr;  // in process only: every error text is this one; nullptr: the library's words
    timing_profile timing = {};
};
