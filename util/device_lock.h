// SPDX-License-Identifier: MIT
// One update at a time: a program that has opened the Quennet holds a lock
// on it until its exit, and a second program is refused before it sends
// anything. Two programs talking to one device at once read each other's
// replies (hidraw hands every input report to every reader) and can leave
// the EEPROM holding a mix of two images. The lock belongs to the device
// (its node, or its path on Windows), not to a file of the program's own,
// and the system drops it when the process ends, however it ends: it is
// never stale.
#pragma once

enum class device_lock_result {
    taken,
    held_elsewhere,  // another program holds this device
    unavailable,     // no lock could be had here (no node to lock): go on without
};

// Takes the lock on the device at `path` (as the HID library names it). A
// device found again at another path after its restart: the new path's lock
// is taken before the old one is let go.
device_lock_result device_lock_take(const char* path);

// Lets go of the lock, if one is held.
void device_lock_release();
