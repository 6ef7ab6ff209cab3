// Console texts the tests expect of quennet-update, as a person sees them.
// Times are shown as "#.##" (see without_times).
#pragma once

#include <cstddef>
#include <string>

inline const std::string DIALOGUE_UP_TO_CONSENT =
    "\n=== Calverra Quennet Update Tool ===\n"
    "\nTarget Software Revision:"
    "\n  Mainboard v0.97"
    "\n  Control v0.99"
    "\n\nFound Quennet currently running:\n  Mainboard v0.95\n  Control v0.98\n"
    "\nProceed with update process? Yes/[No]: ";
inline const std::string PAUSE_PROMPT = "Press any key to continue . . . \n";
inline const std::string MAINBOARD_HEADING = "\nUpdating Mainboard:\n";
inline const std::string CONTROL_STARTED = "Bootloader entry\rUpdating Control:\n";
inline const std::string DONE = "\r  Done in #.##s\n";
inline const std::string NO_RESPONSE = "\nNo response from Quennet\n";
inline const std::string WRITE_FAILED = "Unable to write()\nError: Input/output error\n";
inline const std::string RESTARTING = "\nRestarting Quennet\n";
inline const std::string POWER_CYCLE =
    "\nPlease switch your Quennet off now. The new software will load upon next powerup.\n";

// Percentages of the Mainboard phase after its first `chunks` chunks, sent
// from address 5920 down to 0.
std::string mainboard_progress(size_t chunks = 186);

// Percentages of the Control phase for blocks `first` to `last`, from 1.
std::string control_progress(size_t first, size_t last);
