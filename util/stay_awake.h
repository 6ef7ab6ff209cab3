// SPDX-License-Identifier: MIT
// Keeps the computer up while the Quennet is written: a sleep, a shutdown,
// the lid or a power key would take the USB device away mid-write and leave
// it half-written. Held from the consent's yes to the final step, let go at
// both exits before the press-a-key prompt (a prompt may wait for ever, and
// an unattended computer must be able to sleep again). Where the system
// offers no way, or refuses, the update goes on without it, silently.
#pragma once

// What a person listing the computer's sleep locks reads.
inline constexpr const char* STAY_AWAKE_WHO = "quennet-update";
inline constexpr const char* STAY_AWAKE_WHY = "Writing the software of a Calverra Quennet; stopping now would leave it unusable";

void stay_awake_begin();
void stay_awake_end();
