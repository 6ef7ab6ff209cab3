// SPDX-License-Identifier: MIT
// The update run: the program's whole control flow from the banner to one of
// its two exits.
#pragma once

#include <cstdint>

#include "link/device_link.h"
#include "link/update_protocol.h"
#include "util/stopwatch.h"

// A device that was running this Mainboard version loads the new software only
// at its next power-up and is not sent the restart command.
inline constexpr uint16_t POWER_CYCLE_MAINBOARD_VERSION = 0x0090;

inline constexpr int EXIT_STATUS_COMPLETED = 0;
inline constexpr int EXIT_STATUS_ABORTED = 1;

// After the restart the Quennet leaves the bus and enumerates again, on a
// new node or the same one. 30 s is long enough for a device that restarts
// and enumerates again, and short enough that an owner is not left guessing.
inline constexpr int RESTART_WAIT_MAX_MS = 30000;
// How often it is looked for meanwhile.
inline constexpr int RESTART_RETRY_MS = 500;

enum class read_back_result { release, other_software, not_back };

// Closes the device after its restart, waits for exactly one Quennet to
// answer both version queries (a "." for each second waited) and says what
// it runs. Only `release` leaves a handle open in `link`.
read_back_result read_back_versions(device_link& link, stopwatch& watch);

// Runs one update; returns the process exit status.
int update_run();

// Lets the console's signals act again, lets the computer sleep and other
// programs have the device, releases the HID library, shows the press-a-key
// prompt; returns status 1.
// The explanation was printed by whoever takes this exit.
int abort_exit();

// Lets go as the abort exit does, closes the device, releases the HID
// library, shows the prompt; returns 0.
int completion_exit(device_link& link);
