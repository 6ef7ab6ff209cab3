// SPDX-License-Identifier: MIT
// The console on POSIX systems: output to a reader that has gone, and a
// terminal's settings for the press-a-key prompt.
#include "util/console.h"

#include <csignal>
#include <cstdio>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

// A key sends one byte, or several at once: arrow, function and Alt keys
// send an escape sequence, whose bytes arrive together, well within this time.
static constexpr int KEY_REST_MS = 50;
// Reads of what follows the first byte; bounds the wait for a held-down key.
static constexpr int KEY_READS_MAX = 8;

void console_begin()
{
    // Output whose reader has gone (a pager or a tee that was closed) fails
    // and is not retried; the run goes on and its exit status tells how it
    // ended.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdin, nullptr, _IONBF, 0);
}

static void read_one_key_from_terminal()
{
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        std::getchar();
        return;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Keys pressed while the update ran are not an answer to a prompt that
    // was not there yet: TCSAFLUSH throws them away before the switch.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
    unsigned char key[32];
    if (read(STDIN_FILENO, key, 1) == 1) {
        // The rest of the key, so that none of it is left for the shell.
        pollfd more{STDIN_FILENO, POLLIN, 0};
        for (int reads = 0; reads < KEY_READS_MAX && poll(&more, 1, KEY_REST_MS) > 0; ++reads)
            if (read(STDIN_FILENO, key, sizeof key) <= 0)
                break;
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

void console_pause()
{
    console_print("Press any key to continue . . . ");
    if (isatty(STDIN_FILENO))
        read_one_key_from_terminal();
    else
        std::getchar();
    console_print("\n");
}
