// SPDX-License-Identifier: MIT
// The emulated Quennet: plain logic without I/O. It takes one output report
// at a time and says what the device does with it: which input reports it
// answers, whether the write fails, whether the device goes away. It holds what
// a real device holds: running versions, the Mainboard EEPROM, the Control
// flash and the state of the Control bootloader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/protocol_constants.h"
#include "payload/release_constants.h"

inline constexpr size_t MODEL_EEPROM_SIZE = 8192;    // bytes of Mainboard EEPROM
inline constexpr size_t MODEL_FLASH_SIZE = CONTROL_IMAGE_SIZE;  // bytes of Control flash, which the image fills
inline constexpr size_t MODEL_INPUT_REPORT_SIZE = 64;  // report id and 63 data bytes

enum class fault_kind {
    status,         // answer this status instead of the device's own (not carried out unless 'K')
    garble,         // carry the packet out but answer this status (a reply garbled on the way)
    wait_replies,   // answer 'M' this many times before the answer
    no_reply,       // take the packet but answer nothing
    lost,           // the write succeeds but the packet never reaches the device
    write_failure,  // the write reports an error; nothing reaches the device
    unplug,         // the device goes away before this packet
    unplug_after,   // the device takes this packet, then goes away
    stop,           // the device stops reading from this packet on: it hangs
    delay,          // the answers come this many milliseconds late
    echo,           // the answer echoes this byte instead of the command
    short_reply,    // every answer to the packet arrives cut to this many bytes
};

// A device that stops reading leaves its output reports to the USB layer:
// the host's function driver holds this many, and every write after them
// blocks for the kernel's write time-out and then fails.
inline constexpr int STOPPED_DEVICE_QUEUED_REPORTS = 4;
inline constexpr int STOPPED_DEVICE_WRITE_TIMEOUT_MS = 5100;

// A fault applies to the packets that match all of its selectors, for as many
// matching packets as `times` says.
struct fault_rule {
    fault_kind kind = fault_kind::status;
    long packet_index = -1;  // n-th write offered to the device, from 0; -1 for any
    int command = -1;        // command code; -1 for any
    long address = -1;       // packet address; -1 for any
    long times = 1;          // matching packets it takes; -1 for every one
    int restarts = -1;       // only after the device has restarted this often; -1 any time
    uint8_t status = 0;      // fault_kind::status and fault_kind::garble
    int wait_replies = 0;    // fault_kind::wait_replies
    int delay_ms = 0;        // fault_kind::delay
    uint8_t echo = 0;        // fault_kind::echo
    size_t reply_length = 0; // fault_kind::short_reply
};

using input_report = std::array<uint8_t, MODEL_INPUT_REPORT_SIZE>;

// One write offered to the device, as the program wrote it.
struct packet_record {
    std::vector<uint8_t> bytes;
    bool failed = false;  // the write reported an error
};

// What the device does with one write.
struct device_response {
    bool write_fails = false;
    int write_blocks_ms = 0;    // how long the failing write blocks first
    bool unplug = false;        // before the write
    bool unplug_after = false;  // after the write
    long work_us = 0;           // the device's own work on the packet, before its answers
    int delay_ms = 0;           // extra time before the answers
    std::vector<input_report> replies;
    size_t reply_length = MODEL_INPUT_REPORT_SIZE;  // bytes of each answer that arrive
};

// Time the emulated device takes, so that a person sees a run as it is on a
// real bus. All zero: answers at once.
struct timing_profile {
    int report_us = 0;          // per report and direction: one USB full-speed frame
    int eeprom_chunk_us = 0;    // per EEPROM write
    int flash_block_us = 0;     // per flash block commit
    int first_block_us = 0;     // extra for the first block (the erase)
    int bootloader_entry_us = 0;
};

timing_profile realistic_timing();

// The device's own time for one write it took: the write's USB frame and, when
// it answers, its work, any delay and one frame per answer.
long device_time_us(const device_response& response, const timing_profile& timing);

// An input report the device sends without being asked: report id 2, a
// command echo that no command has (0xEE), and `status`.
input_report unasked_report(uint8_t status);

enum class control_mode { application, handed_over, bootloader };

// How far the Control flash is from the program it had.
enum class flash_content { original, partial, complete };

// What an emulated Quennet runs unless it is told otherwise: older software
// than any release, and not the Mainboard version that needs a power cycle.
inline constexpr version_pair DEFAULT_MAINBOARD_VERSION{0x00, 0x95};
inline constexpr version_pair DEFAULT_CONTROL_VERSION{0x00, 0x98};

struct device_model {
    // What the device reports it runs; changes at power-up or restart.
    version_pair mainboard_version = DEFAULT_MAINBOARD_VERSION;
    version_pair control_version = DEFAULT_CONTROL_VERSION;

    std::vector<uint8_t> eeprom = std::vector<uint8_t>(MODEL_EEPROM_SIZE, 0x00);
    std::vector<uint8_t> flash = std::vector<uint8_t>(MODEL_FLASH_SIZE, 0x00);
    bool eeprom_modified = false;
    flash_content flash_state = flash_content::original;
    std::vector<bool> flash_blocks_committed = std::vector<bool>(MODEL_FLASH_SIZE / FLASH_BLOCK_SIZE, false);

    control_mode control = control_mode::application;
    // The block being received: its bytes and which of its packets arrived.
    std::array<uint8_t, FLASH_BLOCK_SIZE> block{};
    std::array<bool, FLASH_BLOCK_SIZE / FLASH_PACKET_DATA> block_packets{};
    size_t block_base = 0;

    std::vector<fault_rule> faults;
    std::vector<packet_record> packets;  // every write offered, in order
    int restarts = 0;
    bool unplugged = false;
    bool stopped = false;         // reads nothing more until it powers up again
    int writes_since_stop = 0;
    long busy_us = 0;             // time spent on the work of the packets it took
};

// A device with the given running versions, its EEPROM and flash holding
// older software, or the release's image where it runs the release's revision.
device_model make_device_model(version_pair mainboard = DEFAULT_MAINBOARD_VERSION,
                               version_pair control = DEFAULT_CONTROL_VERSION);

// Offers one output report to the device. Its work on it takes the time
// the profile gives, which is added to busy_us and returned in work_us.
device_response device_receive(device_model& device, const uint8_t* report, size_t length,
                               const timing_profile& timing = {});

// What the device reports after a power cycle or restart: the revision of
// the image it now holds, 0.00 for an image whose writing was cut off.
void device_power_up(device_model& device);

// The device as it is when plugged in again after an unplug: it powers up
// with what it holds.
device_model device_after_replug(const device_model& device);

// Whether the device holds exactly the images this build carries.
// The check byte as the device's bootloader computes it, apart from the
// program's own code: the covered bytes and the check byte add up to 0
// modulo 256. The tests build their expected packets with it too.
uint8_t sum_to_zero_check(const uint8_t* bytes, size_t count);

bool device_holds_release(const device_model& device);

// The faults' syntax, the one place it is written (quennet-emu's and
// quennet-gadget's --help and the parser's refusals show it).
inline constexpr const char* FAULT_KINDS =
    "status=C | garble=C | wait=N | no-reply | lost | write-fail | unplug | unplug-after | stop | delay=MS | "
    "echo=N | short=N";
inline constexpr const char* FAULT_SELECTORS =
    "optionally @index=N,command=0xNN,address=N,restarts=N,times=N (-1: always)";

// Parses a fault such as "status=R@command=0x21,address=5920" (FAULT_KINDS,
// FAULT_SELECTORS). Returns false and says why in `error` when it is not one.
bool parse_fault_rule(const std::string& text, fault_rule& rule, std::string& error);

// Parses "MAJOR.MINOR" in hexadecimal, as shown by the program ("0.95", "1.0A").
bool parse_version(const std::string& text, version_pair& version);
