// SPDX-License-Identifier: MIT
// Every constant of the Quennet's update protocol, in one table: the device's
// identity on the bus, the report layouts, the command and status codes and the
// reply time-out. Nothing else in the program spells out a protocol number.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Device identity (all six must match, tested in this order) -------------
inline constexpr uint16_t DEVICE_VENDOR_ID = 0x0451;
inline constexpr uint16_t DEVICE_PRODUCT_ID = 0x5B3E;
inline constexpr const wchar_t* DEVICE_MANUFACTURER = L"Harlowmere Audio";
inline constexpr const wchar_t* DEVICE_PRODUCT = L"Calverra Quennet";
inline constexpr uint16_t DEVICE_USAGE_PAGE = 0xFF00;  // vendor-defined
inline constexpr uint16_t DEVICE_USAGE = 0x0001;

// --- Output report: update_packet ---------------------------------------------
inline constexpr uint8_t REPORT_ID_UPDATE = 2;
inline constexpr size_t UPDATE_PACKET_SIZE = 64;      // bytes handed to hid_write
inline constexpr size_t PACKET_REPORT_ID_AT = 0;      // byte positions in the packet
inline constexpr size_t PACKET_COMMAND_AT = 1;
inline constexpr size_t PACKET_ADDRESS_HIGH_AT = 2;   // addresses travel big-endian
inline constexpr size_t PACKET_ADDRESS_LOW_AT = 3;
inline constexpr size_t PACKET_LENGTH_AT = 4;         // payload bytes, check byte included
inline constexpr size_t PACKET_PAYLOAD_AT = 5;
inline constexpr size_t PACKET_PAYLOAD_MAX = UPDATE_PACKET_SIZE - PACKET_PAYLOAD_AT;  // 59 bytes

// --- Input report: reply_report -----------------------------------------------
inline constexpr size_t REPLY_READ_SIZE = 8;          // bytes asked of every read
inline constexpr int REPLY_TIMEOUT_MS = 1000;         // milliseconds per reply read
inline constexpr size_t REPLY_ECHO_AT = 1;            // command echo (version replies)
inline constexpr size_t REPLY_STATUS_AT = 5;          // status code
inline constexpr size_t REPLY_VERSION_MINOR_AT = 5;   // version replies: minor
inline constexpr size_t REPLY_VERSION_MAJOR_AT = 6;   // version replies: major
// A read that delivers fewer bytes holds no reply: bytes 0 to 6 are examined.
inline constexpr size_t REPLY_EXAMINED_SIZE = REPLY_VERSION_MAJOR_AT + 1;

// Version of a component as a major and a minor byte, shown "v%X.%02X".
struct version_pair {
    uint8_t major = 0;
    uint8_t minor = 0;
    bool operator==(const version_pair&) const = default;
};

// One buffer serves for building packets and for receiving replies.
inline constexpr size_t REPORT_BUFFER_SIZE = 256;     // bytes

// --- Command codes (byte 1) ------------------------------------------------------
inline constexpr uint8_t CMD_GET_MAINBOARD_VERSION = 0x10;
inline constexpr uint8_t CMD_GET_CONTROL_VERSION = 0x11;
inline constexpr uint8_t CMD_EEPROM_WRITE = 0x21;     // '!'
inline constexpr uint8_t CMD_CONTROL_PREPARE = 0x30;  // '0'
inline constexpr uint8_t CMD_BLOCK_COMMIT = 0x31;     // '1'
inline constexpr uint8_t CMD_FLASH_DATA = 0x32;       // '2'
inline constexpr uint8_t CMD_RESTART = 0x40;          // '@'

// Payload of CMD_CONTROL_PREPARE: one byte.
inline constexpr uint8_t CONTROL_PREPARE_REQUEST = 0x48;  // 'H'

// --- Status codes (reply byte 5) -------------------------------------------------
inline constexpr uint8_t STATUS_OK = 0x4B;             // 'K'
inline constexpr uint8_t STATUS_WAIT = 0x4D;           // 'M', not final
inline constexpr uint8_t STATUS_READ_FAILED = 0x52;    // 'R'
inline constexpr uint8_t STATUS_VERIFY_FAILED = 0x56;  // 'V'
inline constexpr uint8_t STATUS_WRITE_FAILED = 0x57;   // 'W'
inline constexpr uint8_t STATUS_CONTROL_READY = 0x48;  // 'H', answer to CMD_CONTROL_PREPARE

// --- Mainboard EEPROM -------------------------------------------------------------
inline constexpr size_t EEPROM_CHUNK_MAX = 32;         // data bytes per CMD_EEPROM_WRITE
inline constexpr uint8_t EEPROM_CLEAR_BYTE = 0xFF;     // fill of the start-of-EEPROM clear

// --- Control flash ------------------------------------------------------------------
inline constexpr size_t FLASH_PACKET_DATA = 48;        // data bytes per flash packet
inline constexpr size_t FLASH_BLOCK_SIZE = 192;        // bytes per acknowledged block (4 packets)
inline constexpr size_t BOOTLOADER_ENTRY_CODE_SIZE = 8;
