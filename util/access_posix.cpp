// SPDX-License-Identifier: MIT
// The refused open on POSIX systems: hidapi's hidraw back end opens the node
// with open(2) and leaves its errno as it was (it frees and formats its error
// text with calls that do not set errno on success).
#include "util/access.h"

#include <cerrno>

bool open_refused_for_rights(const wchar_t*)
{
    return errno == EACCES || errno == EPERM;
}

bool write_refused_as_held(const wchar_t*)
{
    return false;
}
