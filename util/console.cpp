// SPDX-License-Identifier: MIT
// The console's text output and the answer to the question, the same on
// every platform; setting the console up and the press-a-key prompt are in
// console_posix.cpp and console_windows.cpp.
#include "util/console.h"

#include <cstdarg>
#include <cstdio>

#include "util/interrupt.h"

void console_print(const char* format, ...)
{
    // A Ctrl+C held since the last text is answered here, after the
    // progress so far and before what comes next.
    if (interrupt_notice_due())
        std::fputs(INTERRUPT_NOTICE, stdout);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

int console_read_answer()
{
    const int first = std::getchar();
    int c = first;
    while (c != EOF && c != '\n')
        c = std::getchar();
    return first;
}
