// SPDX-License-Identifier: MIT
// The console on Windows. Standard input and output are switched to binary
// mode, so the program writes and reads the same bytes as on every other
// platform: a line ends in "\n" (a console moves to the start of the next
// line on it), an answer typed with Enter ("y\r\n") is read up to its "\n"
// with the "\r" as part of the line, and the C runtime reads no byte past
// what the program asks for, so the rest of standard input is left to the
// next reader.
#include "util/console.h"

#include <conio.h>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

void console_begin()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdin, nullptr, _IONBF, 0);
}

// True when standard input is a console rather than a pipe or a file (NUL
// included, which _isatty would take for a console).
static bool input_is_console()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void console_pause()
{
    console_print("Press any key to continue . . . ");
    if (input_is_console()) {
        // Keys pressed while the update ran are not an answer to a prompt
        // that was not there yet. Then one key without Enter: arrow and
        // function keys come as two codes; whatever else the key left in
        // the console's input (its release) goes too.
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        FlushConsoleInputBuffer(input);
        const int key = _getch();
        if (key == 0 || key == 0xE0)
            _getch();
        FlushConsoleInputBuffer(input);
    } else {
        std::getchar();
    }
    console_print("\n");
}
