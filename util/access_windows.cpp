// SPDX-License-Identifier: MIT
// The refused open on Windows. hidapi words the failure of CreateFile as
// "open_device: (0x%08X) text", the text in the system's language; the code
// is the system's error. The thread's last error cannot tell it afterwards:
// hidapi's clean-up calls CloseHandle on the invalid handle, which sets it
// again. ERROR_ACCESS_DENIED (5) is what a device held by another program
// gives: every account may open a HID device that no one holds.
#include "util/access.h"

#include <cwchar>

static bool access_denied(const wchar_t* reason)
{
    return reason != nullptr && std::wcsstr(reason, L"(0x00000005)") != nullptr;
}

bool open_refused_for_rights(const wchar_t* reason)
{
    return access_denied(reason);
}

// hidapi words a failed WriteFile as "WriteFile: (0x%08X) text".
bool write_refused_as_held(const wchar_t* reason)
{
    return access_denied(reason);
}
