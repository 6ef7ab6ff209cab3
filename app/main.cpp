// SPDX-License-Identifier: MIT
// quennet-update: updates the Mainboard and Control software of a Calverra
// Quennet with the release this build carries. Takes no arguments.
#include "app/update_run.h"

int main()
{
    return update_run();
}
