// SPDX-License-Identifier: MIT
// What no device, however broken or hostile, may make quennet-update do,
// checked after a whole run against the record of its HID library calls,
// which the stand-in for the HID library keeps; the fuzz target, the campaign
// and the in-process tests check the same properties.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/update_phases.h"
#include "app/update_run.h"
#include "link/device_link.h"
#include "payload/firmware_payload.h"

inline constexpr long EEPROM_PACKETS = 1 + (MAINBOARD_IMAGE_SIZE + EEPROM_CHUNK_MAX - 1) / EEPROM_CHUNK_MAX;
inline constexpr long FLASH_PACKETS = CONTROL_IMAGE_SIZE / FLASH_PACKET_DATA;
inline constexpr long FLASH_BLOCKS = CONTROL_IMAGE_SIZE / FLASH_BLOCK_SIZE;

// The most HID calls a run can make, from the program's own bounds.
inline constexpr long MAX_WRITES = 2 + EEPROM_PACKETS + 2 + FLASH_PACKETS * (FLASH_PACKET_RESENDS_MAX + 1) + 1;
// One wait after each block commit, and one after each failed write at a block start.
inline constexpr long MAX_WAITS = FLASH_BLOCKS * (1 + FLASH_PACKET_RESENDS_MAX);
inline constexpr long MAX_READS_PER_WAIT = WAIT_REPLIES_MAX + SILENT_WAITS_MAX + 1;
inline constexpr long MAX_READS = DRAIN_READS_MAX + 1 + 2 + EEPROM_PACKETS + 2 + MAX_WAITS * MAX_READS_PER_WAIT;
// The wait for the restarted device: at most one try per retry interval,
// each an enumeration, its free, an open, the switch, a drain, two queries
// with their error texts and replies, and a close.
inline constexpr long MAX_READ_BACK_TRIES = RESTART_WAIT_MAX_MS / RESTART_RETRY_MS;
inline constexpr long MAX_READ_BACK_CALLS = MAX_READ_BACK_TRIES * (4 + DRAIN_READS_MAX + 1 + 2 * 2 + 2 + 1);
inline constexpr long MAX_DEVICE_CALLS = 4 /* enumerate, free, open, set_nonblocking */ + 2 * MAX_WRITES /* write, error */ +
                                         MAX_READS + 2 /* close, exit */ + MAX_READ_BACK_CALLS;

// What the HID library saw one run do.
struct hid_call_record {
    long calls = 0;
    long writes = 0;
    long reads = 0;
    long drain_reads = 0;  // non-blocking reads
    int enumerations = 0;
    int opens = 0;
    int closes = 0;
    int exits = 0;
    bool filtered_enumeration = false;  // the library, not the program, was asked to filter
    bool malformed_packet = false;      // a write that is not 64 bytes with report id 2
    bool other_timeout = false;         // a reply read with another time-out than 1000 ms
    std::vector<bool> eeprom_attempted = std::vector<bool>(EEPROM_PACKETS - 1, false);  // per chunk, with the image's bytes
    std::vector<bool> flash_written = std::vector<bool>(FLASH_PACKETS, false);  // per packet, with the image's bytes
};

// Notes one hid_write: its shape, and which image chunk or flash packet it
// carried (a flash packet counts only when the write succeeded).
void record_write(hid_call_record& record, const uint8_t* data, size_t length, bool failed);

// Notes one reply read with its time-out.
void record_reply_read(hid_call_record& record, int milliseconds);

// The first property the run broke, or nullptr. `refused`: the consent
// answer was not yes.
const char* violated_update_property(const hid_call_record& record, int exit_status, const std::string& console,
                                     bool refused);

// Whether the console shows either of the two endings of a completed update:
// the restarted device running the release, or the power-cycle message.
bool shows_success(const std::string& console);

// Whether it shows the power-cycle message, the ending that reads nothing back.
bool shows_power_cycle(const std::string& console);
