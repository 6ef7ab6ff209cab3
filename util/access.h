// SPDX-License-Identifier: MIT
// Why the Quennet could not be opened, as far as the owner can act on it.
// The program runs with the rights of the user who starts it and asks for no
// more; when the system refuses that user the device, the owner is told what
// gives access.
#pragma once

// Shown after "Cannot acquire handle" and the system's reason when the open
// was refused for lack of rights. On Linux the package's udev rule gives the
// device to the person at the computer's seat and to the group plugdev (over
// SSH there is no seat). On Windows every account may open the Quennet;
// access is denied while another program holds it.
inline constexpr const char* ACCESS_ADVICE_LINUX =
    "No access for your account: install the quennet-update package, log in at this computer, or join the "
    "group plugdev and log in again.\n";
inline constexpr const char* ACCESS_ADVICE_WINDOWS =
    "Another program holds the Quennet: close it and run quennet-update again.\n";
#ifdef _WIN32
inline constexpr const char* ACCESS_ADVICE = ACCESS_ADVICE_WINDOWS;
#else
inline constexpr const char* ACCESS_ADVICE = ACCESS_ADVICE_LINUX;
#endif

// True when the device open that has just failed was refused for lack of
// rights; `reason` is the HID library's text for it (nullptr: none). On
// Linux this reads the system's error of the last call, so it must be asked
// right after the failed open, before anything but hid_error runs.
bool open_refused_for_rights(const wchar_t* reason);

// True when a write that has just failed was refused because another program
// holds the device: on Windows hidapi may open a device another program
// holds without access rights, and its first write then fails with the
// system's access-denied error. Never on Linux, where the open is refused.
bool write_refused_as_held(const wchar_t* reason);
