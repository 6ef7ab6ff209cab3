// SPDX-License-Identifier: MIT
// The language in which a fuzz input scripts the HID library: what each
// enumeration finds, whether the open and the switch to non-blocking reads
// succeed, how every write goes and what every read returns, and the answer
// at the consent prompt. The fuzz answerer reads it; the committed corpus
// (fuzz/corpus) is written in it.
//
// Input layout:
//   byte 0              the consent answer's first character (a line end
//                       follows it); NO_ANSWER: standard input is empty;
//                       ANSWER_WITH_*: the program is also given an argument
//   then, as the program makes its calls:
//   hid_enumerate       one byte: entry count (low 2 bits), ENTRIES_WITHOUT_PATH
//                       makes every path null, ENTRIES_WITHOUT_SERIAL gives
//                       every entry no serial number (not the emulated
//                       Quennet's); then one byte per entry: bit i
//                       set makes identity field i right (vendor, product,
//                       manufacturer, product string, usage page, usage);
//                       bit 6 drops the manufacturer string, bit 7 the
//                       product string
//   hid_open_path       one byte: OPEN_REFUSED refuses for lack of rights,
//                       OPEN_REFUSED_OTHER for another reason (then one byte
//                       choosing the reason's text, see error_text_kind),
//                       OPEN_REFUSED_WITHOUT_TEXT for one the library does
//                       not keep (it answers "Success")
//   hid_set_nonblocking one byte: NONBLOCKING_FAILS fails
//   hid_write           one byte: WRITE_FAILS (then one byte choosing the
//                       error text, see error_text_kind) or
//                       WRITE_FAILS_WITHOUT_TEXT fail, WRITE_OK_65 returns
//                       65, anything else the length written
//   hid_read,           one byte: the kind of answer (low 4 bits) and how many
//   hid_read_timeout    of its bytes arrive (bits 4 to 6; 0: all that were
//                       asked for), then the bytes that kind takes
// An input that runs out leaves writes, opens and the switch succeeding and
// reads timing out.
#pragma once

#include <cstdint>

inline constexpr uint8_t NO_ANSWER = 0x00;
inline constexpr uint8_t ANSWER_WITH_VERSION = 0x01;         // --version
inline constexpr uint8_t ANSWER_WITH_HELP = 0x02;            // --help
inline constexpr uint8_t ANSWER_WITH_OTHER_ARGUMENT = 0x03;  // one the program ignores
inline constexpr uint8_t OPEN_REFUSED = 0x00;
inline constexpr uint8_t OPEN_REFUSED_OTHER = 0xFF;
inline constexpr uint8_t OPEN_REFUSED_WITHOUT_TEXT = 0xFE;
inline constexpr uint8_t NONBLOCKING_FAILS = 0x00;
inline constexpr uint8_t WRITE_FAILS = 0xFF;
inline constexpr uint8_t WRITE_FAILS_WITHOUT_TEXT = 0xFE;
inline constexpr uint8_t WRITE_OK_65 = 0xFD;
inline constexpr uint8_t WRITE_OK = 0x01;

inline constexpr uint8_t ENTRIES_WITHOUT_PATH = 0x04;
inline constexpr uint8_t ENTRIES_WITHOUT_SERIAL = 0x08;
inline constexpr uint8_t IDENTITY_ALL_RIGHT = 0x3F;

// Error texts a failed write can have (the low 2 bits of the byte after WRITE_FAILS).
enum error_text_kind : uint8_t {
    ERROR_TEXT_PLAIN = 0,      // "Input/output error"
    ERROR_TEXT_NOT_ASCII = 1,  // characters a console may not show
    ERROR_TEXT_LONG = 2,       // longer than the program shows
    ERROR_TEXT_EMPTY = 3,
};

enum read_kind : uint8_t {
    READ_TIMES_OUT = 0,
    READ_FAILS = 1,           // -1 with an error text
    READ_STATUS_OK = 2,       // a reply echoing the last command with status 'K'
    READ_STATUS_WAIT = 3,     // ... with status 'M'
    READ_STATUS_READY = 4,    // ... with status 'H'
    READ_STATUS_BYTE = 5,     // ... with the status in the next byte
    READ_VERSION = 6,         // ... with the major and minor in the next two bytes
    READ_RAW = 7,             // the next 8 bytes as they are
    READ_FAILS_WITHOUT_TEXT = 8,
    READ_RELEASE_VERSION = 9,  // a version reply with the revision this build carries for the component asked
};

// A read kind whose reply arrives cut to `bytes` (1 to 7) bytes.
constexpr uint8_t cut_short(uint8_t kind, uint8_t bytes)
{
    return static_cast<uint8_t>(kind | (bytes << 4));
}
