// SPDX-License-Identifier: MIT
// quennet-update: updates the Mainboard and Control software of a Calverra
// Quennet with the release this build carries. Takes no arguments but
// --version and --help.
#include "app/command_line.h"

int main(int argc, char** argv)
{
    return program_main(argc, argv);
}
