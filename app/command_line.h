// SPDX-License-Identifier: MIT
// The command line. The program takes no arguments but two that answer at
// once and touch no device: --version and --help. Every other argument is
// ignored, and without these two the program runs the update.
#pragma once

enum class program_request { update, version, help };

// The first of --version and --help among the arguments, or update.
program_request requested(int argc, const char* const* argv);

// The program's entry: runs what the command line asks for and returns the
// exit status (0 for --version and --help, without the press-a-key prompt).
int program_main(int argc, const char* const* argv);
