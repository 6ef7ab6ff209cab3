// SPDX-License-Identifier: MIT
// The console on POSIX systems: a terminal's settings for the press-a-key
// prompt.
#include "util/console.h"

#include <cstdio>

#include <termios.h>
#include <unistd.h>

void console_begin()
{
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
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    unsigned char key = 0;
    const ssize_t ignored = read(STDIN_FILENO, &key, 1);
    (void)ignored;
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
