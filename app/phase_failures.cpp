// SPDX-License-Identifier: MIT
// How a phase ends: the device's three failure statuses and what the
// console says of each, for both memories, in one table.
#include "app/update_phases.h"

#include "util/console.h"

struct failure_text {
    uint8_t status;
    const char* eeprom;
    const char* flash;
};

static constexpr failure_text FAILURE_TEXTS[] = {
    {STATUS_READ_FAILED, "\nReading EEPROM failed!\n", "\nReading flash failed!\n"},
    {STATUS_VERIFY_FAILED, "\nVerify EEPROM failed!\n", "\nVerify flash failed!\n"},
    {STATUS_WRITE_FAILED, "\nWriting EEPROM failed!\n", "\nWriting flash failed!\n"},
};

const char* failure_message(uint8_t status, memory written)
{
    for (const failure_text& text : FAILURE_TEXTS)
        if (text.status == status)
            return written == memory::eeprom ? text.eeprom : text.flash;
    return nullptr;
}

bool fail_with(const char* message)
{
    console_print("%s", message);
    return false;
}
