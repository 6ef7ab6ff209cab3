// SPDX-License-Identifier: MIT
// Held signals on POSIX systems. The signals are blocked, not caught: a
// caught signal would cut short the poll() inside hidapi's hid_read_timeout,
// which then reports "Interrupted system call" as a failed read, and the run
// would end with "No response from Quennet", the very half-written device
// this prevents. A blocked signal stays pending in the kernel, where the run
// looks for it when it prints; no handler ever runs.
#include "util/interrupt.h"

#include <csignal>

#include <pthread.h>

// Ctrl+C, a logout or shutdown, the terminal closed under the program,
// Ctrl+\ (which would end it with a core dump) and Ctrl+Z (which would stop
// it mid-write until someone types fg).
static constexpr int HELD_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

static bool holding = false;
static bool notice_given = false;
static sigset_t mask_before_hold;

static sigset_t held_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int held : HELD_SIGNALS)
        sigaddset(&set, held);
    return set;
}

void interrupts_hold()
{
    if (holding)
        return;
    const sigset_t held = held_set();
    if (pthread_sigmask(SIG_BLOCK, &held, &mask_before_hold) != 0)
        return;
    holding = true;
    notice_given = false;
}

void interrupts_release()
{
    if (!holding)
        return;
    // Setting a pending signal's action to "ignore" discards it; the action
    // it had is put back at once, before the signal is unblocked.
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (int held : HELD_SIGNALS) {
        if (sigismember(&pending, held) != 1)
            continue;
        struct sigaction ignore {};
        struct sigaction kept {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        if (sigaction(held, &ignore, &kept) == 0)
            sigaction(held, &kept, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &mask_before_hold, nullptr);
    holding = false;
}

bool interrupt_notice_due()
{
    if (!holding || notice_given)
        return false;
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0)
        return false;
    if (sigismember(&pending, SIGHUP) == 1) {
        notice_given = true;  // the terminal is gone
        return false;
    }
    if (sigismember(&pending, SIGINT) != 1 && sigismember(&pending, SIGTERM) != 1 &&
        sigismember(&pending, SIGQUIT) != 1)
        return false;
    notice_given = true;
    return true;
}
