// The two update phases. Each returns true when its component is written and
// acknowledged; on false it has printed why and the run takes its abort exit.
#pragma once

#include "link/device_link.h"
#include "util/stopwatch.h"

// Clears the start of the Mainboard EEPROM, writes the image from its end to
// its start, prints its time and restarts the stopwatch for the Control phase.
bool run_mainboard_phase(device_link& link, stopwatch& watch);

// Hands the Control processor over, enters its bootloader and streams the
// flash image in acknowledged blocks; prints its time.
bool run_control_phase(device_link& link, stopwatch& watch);
