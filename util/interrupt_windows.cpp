// SPDX-License-Identifier: MIT
// Held console events on Windows: a console control handler takes Ctrl+C and
// Ctrl+Break and notes them. Windows runs the handler on a thread of its
// own; it only sets a flag, which the run reads when it prints. Closing the
// console window (CTRL_CLOSE_EVENT) cannot be refused: Windows ends the
// process a few seconds later whatever the handler answers, so it is left to
// the default handler, and the owner's guide says to keep the window open.
#include "util/interrupt.h"

#include <windows.h>

static volatile LONG interrupted = 0;
static bool holding = false;
static bool notice_given = false;

static BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

void interrupts_hold()
{
    if (holding)
        return;
    InterlockedExchange(&interrupted, 0);
    if (SetConsoleCtrlHandler(on_console_event, TRUE) == 0)
        return;
    holding = true;
    notice_given = false;
}

void interrupts_release()
{
    if (!holding)
        return;
    SetConsoleCtrlHandler(on_console_event, FALSE);
    holding = false;
}

bool interrupt_notice_due()
{
    if (!holding || notice_given || InterlockedCompareExchange(&interrupted, 0, 0) == 0)
        return false;
    notice_given = true;
    return true;
}
