// SPDX-License-Identifier: MIT
// Keeps the console from cutting an update off once the owner has agreed to
// it. From the consent to the end of the wait for the restarted device,
// Ctrl+C, Ctrl+\, Ctrl+Z, a closed terminal and a logout's SIGTERM (on
// Windows Ctrl+C and Ctrl+Break) neither end nor stop the program: stopping
// it there would leave the Quennet half-written, unusable until the next
// update, while the run always ends by itself (a device that stops
// answering is given up within half a minute). Only SIGKILL still ends it.
// Nothing here waits or runs on its own: a held signal only shows when the
// run next prints.
#pragma once

// Told once, at the first print after Ctrl+C or Ctrl+\ (or SIGTERM) while the
// terminal is still there, so that the owner knows why the key did nothing.
inline constexpr const char* INTERRUPT_NOTICE =
    "\nPlease wait: the update goes on and ends by itself. Stopping it now would leave your Quennet "
    "unusable until the next update.\n";

// From the consent's yes: hold the console's signals.
void interrupts_hold();

// After the final step and the wait for the restarted device (or a failure
// after consent), before the press-a-key prompt: signals held meanwhile are
// dropped, and from here they act as they did before the hold. Does nothing
// when nothing is held.
void interrupts_release();

// True once, at the first call after a held Ctrl+C, Ctrl+\ or SIGTERM while the
// terminal is still there (after a hang-up nobody could read the notice).
bool interrupt_notice_due();
