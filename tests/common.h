// SPDX-License-Identifier: MIT
// What every test of quennet-update shares, whichever way it reaches the
// emulated Quennet: the console texts it expects (times shown as "#.##", see
// without_times), the packets of a complete update as built here,
// independently of the program, a Quennet with faults, and readings of a
// run's console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "app/update_phases.h"
#include "emu/model/device_model.h"
#include "emu/stand_in/update_properties.h"
#include "payload/firmware_payload.h"

// The cases of a table show by their names in test lists, failure messages
// and (with testing::PrintToStringParamName) the tests' own names; gtest
// finds the printer beside the case's type, so each table declares it.
#define CASES_SHOW_BY_NAME(case_type) \
    [[maybe_unused]] void PrintTo(const case_type& c, std::ostream* out) { *out << c.name; }

// A revision as the console shows it: "v1.05", "v0.0A".
std::string shown(version_pair revision);

// The Mainboard chunk sent first: the image's last, partial one, at the last
// 32-byte boundary.
inline constexpr long FIRST_SENT_ADDRESS = static_cast<long>((MAINBOARD_IMAGE_SIZE - 1) / 32 * 32);
inline constexpr size_t FIRST_SENT_SIZE = MAINBOARD_IMAGE_SIZE - static_cast<size_t>(FIRST_SENT_ADDRESS);

// A build without a release's images says so under the banner's title.
inline const std::string PLACEHOLDER_LINE =
    PLACEHOLDER_IMAGES ? "This build carries placeholder images, not a release: do not use it on a device.\n" : "";
inline const std::string BANNER =
    "\n=== Calverra Quennet Update Tool ===\n" + PLACEHOLDER_LINE +
    "\nTarget Software Revision:"
    "\n  Mainboard " + shown(TARGET_MAINBOARD_REVISION) +
    "\n  Control " + shown(TARGET_CONTROL_REVISION);
inline const std::string NOT_FOUND =
    "\n\nCannot find Quennet - Please make sure it is switched on and connected via USB\n";
inline const std::string NO_HANDLE = "\n\nFound Quennet\n\nCannot acquire handle\n";
inline const std::string DIALOGUE_UP_TO_CONSENT =
    BANNER +
    "\n\nFound Quennet currently running:\n  Mainboard v0.95\n  Control v0.98\n"
    "\nProceed with update process? Yes/[No]: ";
inline const std::string PAUSE_PROMPT = "Press any key to continue . . . \n";
// A second program, refused while another holds the Quennet.
inline const std::string REFUSED_AS_SECOND =
    BANNER + "\n\nFound Quennet\n\nAnother quennet-update is using this Quennet - Please wait until it has finished\n" +
    PAUSE_PROMPT;
inline const std::string MAINBOARD_HEADING = "\nUpdating Mainboard:\n";
inline const std::string CONTROL_STARTED = "Bootloader entry\rUpdating Control:\n";
inline const std::string DONE = "\r  Done in #.##s\n";
inline const std::string NO_RESPONSE = "\nNo response from Quennet\n";
inline const std::string WRITE_FAILED = "Unable to write()\nError: Input/output error\n";
// The restart and the wait for the device to come back, its seconds' dots
// shown as "#" (see without_times), and what it then says it runs.
inline const std::string RESTART_WAIT = "\nRestarting Quennet\n\nWaiting for Quennet to restart#\n";
std::string restarted_running(version_pair mainboard, version_pair control);
inline const std::string RESTARTING =
    RESTART_WAIT + restarted_running(TARGET_MAINBOARD_REVISION, TARGET_CONTROL_REVISION);
inline const std::string NOT_TAKEN_HOLD = "\nThe update did not take hold - Please run quennet-update again\n";
inline const std::string NOT_BACK = "\nQuennet did not come back after its restart - Please switch it off and on, then "
                                    "run quennet-update again\n";
inline const std::string POWER_CYCLE =
    "\nPlease switch your Quennet off now. The new software will load upon next powerup.\n";

// A file's whole content, byte for byte; empty where there is none.
std::string read_text(const std::filesystem::path& path);

// "Unable to write()" and the error text, `times` times.
std::string repeated_write_failure(const std::string& error, int times);

// Percentages of the Mainboard phase after its first `chunks` chunks, sent
// from the image's last chunk down to address 0.
std::string mainboard_progress(size_t chunks = 186);

// Percentages of the Control phase for blocks `first` to `last`, from 1.
std::string control_progress(size_t first, size_t last);

// The console text with every "Done in" time replaced by "#.##" and the
// dots of the wait for the restarted device by one "#".
std::string without_times(const std::string& console);

// Every percentage printed on the console, in order.
std::vector<unsigned long> percentages(const std::string& console);

// Every "Done in" time on the console, in seconds.
std::vector<double> phase_times(const std::string& console);

// A Quennet running Mainboard 0.95 and Control 0.98 with the given faults
// (in quennet-emu's words: "status=R@command=0x21", "no-reply@index=5", ...).
device_model quennet(const std::vector<std::string>& faults = {}, version_pair mainboard = DEFAULT_MAINBOARD_VERSION,
                     version_pair control = DEFAULT_CONTROL_VERSION);

// The packets the device took (those whose write did not fail).
std::vector<std::vector<uint8_t>> delivered(const device_model& device);

// One 64-byte update packet: report id 2, command, big-endian address, length, payload, zeros.
std::vector<uint8_t> packet(uint8_t command, uint16_t address, const std::vector<uint8_t>& payload);

// The 1474 packets of a complete update of a device not running v0.90, in
// order: the last two are the version queries after the restart.
std::vector<std::vector<uint8_t>> complete_update_packets();

// The console of a complete update of a device running v0.95 and v0.98, the
// answer "y", times as "#.##".
std::string complete_update_console();

// Checks a complete update, however it was run: the console word for word
// but the times, exit status 0, the 1474 packets, one 8-byte read per
// answered packet, and the release on the device.
void expect_complete_update(const std::string& console, int exit_status, const device_model& device,
                            const std::vector<size_t>& read_lengths);

// The longest a run may go on after the device last answered, 26.5 s: a
// device that takes packets but answers nothing costs three silent block
// waits of 1000 ms; one that stops reading makes each write block for the
// kernel's write time-out, 5.1 s, and a failed write at a block start is
// followed by one more wait. Both together: six reply time-outs (the three
// silent waits and the three resends), four attempts of one packet blocking,
// and 100 ms for the USB frames and the device's work between them. Written
// out, not computed from the program's bounds, so that a bound raised there
// fails here.
inline constexpr long GIVE_UP_BOUND_US = 6 * 1000000L + 4 * 5100000L + 100000;

// Packet indexes in a complete update.
inline constexpr size_t CLEAR = 2;  // the start-of-EEPROM clear; the chunks follow
inline constexpr size_t HAND_OVER = 189;
inline constexpr size_t ENTRY = 190;
inline constexpr size_t LAST_FLASH = 1470;
inline constexpr size_t RESTART = 1471;
inline constexpr size_t ALL_PACKETS = 1474;

// Chunks, blocks and flash packets counted from address 0.
inline constexpr int LAST_CHUNK_INDEX = static_cast<int>(EEPROM_PACKETS) - 2;
inline constexpr int LAST_BLOCK = static_cast<int>(FLASH_BLOCKS) - 1;
inline constexpr int LAST_PACKET = static_cast<int>(FLASH_PACKETS) - 1;
inline constexpr size_t COMMIT_IN_BLOCK = FLASH_BLOCK_SIZE - FLASH_PACKET_DATA;  // offset of a block's commit
