// SPDX-License-Identifier: MIT
// The update report protocol: building and sending update_packets, reading
// reply_reports, and the arithmetic both sides agree on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/device_link.h"
#include "link/protocol_constants.h"

// What a reply read gave. Only `received` holds a reply: a report too short
// to hold the bytes that are examined (REPLY_EXAMINED_SIZE) is no reply, and
// its missing bytes are never taken from what the buffer held before.
enum class reply_result { received, timed_out, cut_short, failed };

// The one place where packets are laid out: clears the first
// UPDATE_PACKET_SIZE bytes of the buffer and fills report id, command,
// big-endian address, length and payload. Returns false, writing nothing,
// when the payload does not fit.
bool build_update_packet(uint8_t* buffer, uint8_t command, uint16_t address, const uint8_t* payload,
                         size_t length);

// What a failed write prints: the write-failure lines, or nothing (in the
// wait for the restarted device, where writes to a device still leaving the
// bus fail and mean nothing to the owner).
enum class on_write_failure { report, stay_silent };

// Builds the packet in the link's buffer and writes it. On a failed write
// prints "Unable to write()" and the HID library's error text, unless told
// to stay silent; returns whether the packet was written.
bool send_update_packet(device_link& link, uint8_t command, uint16_t address, const uint8_t* payload,
                        size_t length, on_write_failure failure = on_write_failure::report);

// Reads one reply into the link's buffer, waiting at most REPLY_TIMEOUT_MS.
reply_result read_reply(device_link& link);

// What a version query got: the version, a reply that echoes another
// command (no version in it), or no reply at all.
enum class version_answer { version, other_echo, none };

// Sends a version query (CMD_GET_MAINBOARD_VERSION or CMD_GET_CONTROL_VERSION)
// and reads its reply; `version` is set only for version_answer::version.
// A reported failed write goes on to the reply read; a silent one is no
// answer.
version_answer query_version(device_link& link, uint8_t command, version_pair& version,
                             on_write_failure failure = on_write_failure::report);

uint8_t reply_status(const device_link& link);
uint8_t reply_echo(const device_link& link);
version_pair reply_version(const device_link& link);

// Major x 256 + minor.
uint16_t version_value(version_pair version);

// Check byte of a block commit: the covered bytes and it add up to 0 mod 256.
uint8_t block_checksum(const uint8_t* bytes, size_t count);

// The text shown for a HID error: the library's text, '?' for every character
// the console may not be able to show, or a fixed text when there is none
// (or only hidapi's "Success").
// Writes a terminated string of at most size - 1 characters.
void describe_hid_error(const wchar_t* text, char* out, size_t size);
