// SPDX-License-Identifier: MIT
// The console: everything the program shows goes through console_print, which
// flushes at once so that texts without a line end (the discovery line, the
// consent prompt, percentages) show immediately, on a terminal or a pipe.
#pragma once

// Sets the console up before its first use: standard input is read without a
// buffer, so that the program takes from it only the characters it uses (the
// answer line and the key) and leaves the rest to whatever reads it next.
void console_begin();

__attribute__((format(printf, 1, 2))) void console_print(const char* format, ...);

// Reads the answer to a question: returns its first character and discards the
// rest of that line, or EOF at the end of input.
int console_read_answer();

// The press-a-key prompt before every exit. On a terminal (a console on
// Windows) input already waiting is thrown away, then one key pressed after
// the prompt appeared is taken whole, without Enter (all the bytes of an
// arrow or function key), and the terminal's settings are restored.
// Otherwise (a pipe, a file) one character is read, and the end of input
// returns at once.
void console_pause();
