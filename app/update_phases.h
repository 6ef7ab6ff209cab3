// SPDX-License-Identifier: MIT
// The two update phases. Each returns true when its component is written and
// acknowledged; on false it has printed why and the run takes its abort exit.
#pragma once

#include "link/device_link.h"
#include "util/stopwatch.h"

// Bounds of the Control phase, where the device may be slow to answer.

// A failed interrupt transfer to a healthy device is a rare, passing bus fault
// that the next attempt gets through; a device that has gone away fails every
// write at once. Three resends in a row tell the two apart without writing
// to a vanished device for long.
inline constexpr int FLASH_PACKET_RESENDS_MAX = 3;

// A busy bootloader answers 'M' while it erases and programs a block. At one
// report per 1 ms USB frame, 1000 'M' replies are a second or more of
// "busy" for one 192-byte block, far beyond what erasing and programming it
// takes; a device still saying 'M' then is stuck.
inline constexpr int WAIT_REPLIES_MAX = 1000;

// A slow erase may leave one block without an acknowledgement (1 s of
// silence); three silent block waits in a row mean the device is gone or
// stuck, and writing on would end in a success message for an image the
// device never took. The last block must be acknowledged: its wait reads on
// through silence up to the same bound.
inline constexpr int SILENT_WAITS_MAX = 3;

// The memories the phases write, as their failure messages name them.
enum class memory { eeprom, flash };

// The message of a failure status ('R', 'V', 'W') for that memory; nullptr
// for any other status.
const char* failure_message(uint8_t status, memory written);

// Prints the message and returns false: the one way a phase ends early.
bool fail_with(const char* message);

inline constexpr const char* NO_RESPONSE_MESSAGE = "\nNo response from Quennet\n";

// Clears the start of the Mainboard EEPROM, writes the image from its end to
// its start, prints its time and restarts the stopwatch for the Control phase.
bool run_mainboard_phase(device_link& link, stopwatch& watch);

// Hands the Control processor over, enters its bootloader and streams the
// flash image in acknowledged blocks; prints its time.
bool run_control_phase(device_link& link, stopwatch& watch);
