// SPDX-License-Identifier: MIT
// hidapi's functions, answered in this process: the in-process emulated
// Quennet and the fuzz target link this file in place of the library, so that
// update_run() and everything below it run unchanged. It keeps what the
// library keeps (enumeration lists, open devices, each device's error text)
// and a record of every call; what each call returns comes from the answer_*
// functions: the emulated Quennet on a simulated clock, whose bus the tests
// and the fuzz input choose. Every answer the library can give can be given:
// reads of 0 to 8 bytes or -1, writes of any count or -1, each -1 with an
// error text or none, entries with null strings or paths, and failing opens
// with or without a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emu/stand_in/update_properties.h"

// One HID interface as enumeration shows it.
struct stand_in_interface {
    size_t number = 0;  // its name in the answers, handed back to every call on it
    bool has_path = true;  // false: the entry's path is null
    std::string path;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    bool has_manufacturer = true;  // false: a null manufacturer string
    std::wstring manufacturer;
    bool has_product = true;  // false: a null product string
    std::wstring product;
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    bool has_serial = true;  // false: a null serial number
    std::wstring serial;
};

// What one read or write returns. For -1, `error_text` is what hid_error
// gives afterwards; nullptr: the library has no text for it.
struct stand_in_result {
    int count = 0;
    const wchar_t* error_text = nullptr;
};

// The library's reason for an open refused for lack of rights, as hidapi
// words it on each platform (on Windows with the system's error code, which
// no language setting changes).
#ifdef _WIN32
inline constexpr const char* OPEN_DENIED_REASON = "open_device: (0x00000005) Access is denied.";
inline constexpr const wchar_t* OPEN_DENIED_REASON_WIDE = L"open_device: (0x00000005) Access is denied.";
#else
inline constexpr const char* OPEN_DENIED_REASON = "Permission denied";
inline constexpr const wchar_t* OPEN_DENIED_REASON_WIDE = L"Permission denied";
#endif
// hidapi's words on Windows for a write to a device another program holds.
inline constexpr const wchar_t* WRITE_DENIED_REASON_WIDE = L"WriteFile: (0x00000005) Access is denied.";

// What one open answers. A refused open leaves what the library leaves: its
// reason for hid_error(NULL) (nullptr: none) and the system's error, which
// says whether the refusal was for lack of rights.
struct stand_in_open {
    bool opened = true;
    bool for_rights = false;
    const wchar_t* error_text = nullptr;
};

// The answers, from the emulation that links this file; an interface is
// named by its number.
std::vector<stand_in_interface> answer_enumerate();
stand_in_open answer_open(size_t interface_number);
bool answer_set_nonblocking(size_t interface_number);
stand_in_result answer_write(size_t interface_number, const uint8_t* data, size_t length);
// Fills at most `length` bytes. milliseconds: 0 for a read that must not
// wait, -1 for one that waits for ever.
stand_in_result answer_read(size_t interface_number, uint8_t* data, size_t length, int milliseconds);

// A run that calls the library far beyond every bound the program has is
// stopped here, so that a missing bound fails a test instead of hanging it:
// from then on every read and write fails without asking for an answer.
inline constexpr long RUNAWAY_CALLS = 4 * MAX_DEVICE_CALLS;

// Starts a run: the record starts empty.
void stand_in_begin();

// The record of the run so far.
const hid_call_record& stand_in_record();
