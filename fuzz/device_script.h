// SPDX-License-Identifier: MIT
// The language in which a fuzz input scripts the HID library: what each
// enumeration finds, whether the open succeeds, how every write goes and what
// every read returns, and the answer at the consent prompt. The scripted
// library reads it; the seed generator writes it.
//
// Input layout:
//   byte 0            the consent answer's first character (a line end follows it)
//   then, as the program makes its calls:
//   hid_enumerate     one byte: entry count (low 2 bits), then one byte per
//                     entry: bit i set makes identity field i right
//                     (vendor, product, manufacturer, product string, usage
//                     page, usage); bit 6 drops the manufacturer string,
//                     bit 7 the product string
//   hid_open_path     one byte: OPEN_REFUSED refuses
//   hid_write         one byte: WRITE_FAILS or WRITE_FAILS_WITHOUT_TEXT fail
//   hid_read,         one byte, the kind of answer (its low 3 bits), and the
//   hid_read_timeout  bytes that kind takes
// An input that runs out leaves writes succeeding and reads timing out.
#pragma once

#include <cstdint>

inline constexpr uint8_t OPEN_REFUSED = 0x00;
inline constexpr uint8_t WRITE_FAILS = 0xFF;
inline constexpr uint8_t WRITE_FAILS_WITHOUT_TEXT = 0xFE;
inline constexpr uint8_t WRITE_OK = 0x01;

inline constexpr uint8_t IDENTITY_ALL_RIGHT = 0x3F;

enum read_kind : uint8_t {
    READ_TIMES_OUT = 0,
    READ_FAILS = 1,
    READ_STATUS_OK = 2,       // a reply echoing the last command with status 'K'
    READ_STATUS_WAIT = 3,     // ... with status 'M'
    READ_STATUS_READY = 4,    // ... with status 'H'
    READ_STATUS_BYTE = 5,     // ... with the status in the next byte
    READ_VERSION = 6,         // ... with the major and minor in the next two bytes
    READ_RAW = 7,             // the next 8 bytes as they are
};
