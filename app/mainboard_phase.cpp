// SPDX-License-Identifier: MIT
// The Mainboard EEPROM phase. The first 32 EEPROM bytes are overwritten with
// 0xFF before anything else and get their image bytes last, with the chunk at
// address 0: a Mainboard whose update was cut off never starts a half-written
// program.
#include <algorithm>
#include <cstring>

#include "app/update_phases.h"
#include "link/update_protocol.h"
#include "payload/firmware_payload.h"
#include "util/console.h"
#include "util/progress_line.h"

// Judges the reply to an EEPROM write: the failure message for no reply and
// for the three failure statuses, nullptr otherwise; `acknowledged` says
// whether the device answered 'K'.
//
// A packet whose write failed never reached the EEPROM, yet a reply can still
// come: one the device sent late for an earlier packet (a device that answered
// 'M' first is one reply behind from then on). Passing over such a packet
// would leave a hole in the EEPROM, or the 0xFF fill at its start, behind a
// success message; so after its reply has been judged as usual, a packet that
// was not written ends the phase as a failed EEPROM write.
static const char* eeprom_reply_failure(device_link& link, bool written, bool& acknowledged)
{
    acknowledged = false;
    if (read_reply(link) != reply_result::received)
        return NO_RESPONSE_MESSAGE;
    const uint8_t status = reply_status(link);
    acknowledged = status == STATUS_OK;
    if (const char* failure = failure_message(status, memory::eeprom))
        return failure;
    return written ? nullptr : failure_message(STATUS_WRITE_FAILED, memory::eeprom);
}

bool run_mainboard_phase(device_link& link, stopwatch& watch)
{
    stopwatch_start(watch);

    uint8_t clear[EEPROM_CHUNK_MAX];
    std::memset(clear, EEPROM_CLEAR_BYTE, sizeof clear);
    const bool clear_written = send_update_packet(link, CMD_EEPROM_WRITE, 0, clear, sizeof clear);
    bool acknowledged = false;
    if (const char* failure = eeprom_reply_failure(link, clear_written, acknowledged))
        return fail_with(failure);
    if (acknowledged)
        console_print("\nUpdating Mainboard:\n");

    // Chunks are cut at multiples of EEPROM_CHUNK_MAX from address 0 and sent
    // from the highest address down, so the only short chunk goes first.
    size_t sent = 0;
    size_t address = (MAINBOARD_IMAGE_SIZE - 1) / EEPROM_CHUNK_MAX * EEPROM_CHUNK_MAX;
    for (;;) {
        const size_t length = std::min(EEPROM_CHUNK_MAX, MAINBOARD_IMAGE_SIZE - address);
        // A failed write is reported by send_update_packet; its reply is
        // read as for any other packet, and the phase then ends.
        const bool written = send_update_packet(link, CMD_EEPROM_WRITE, static_cast<uint16_t>(address),
                                                mainboard_image + address, length);
        sent += length;
        if (const char* failure = eeprom_reply_failure(link, written, acknowledged))
            return fail_with(failure);
        if (acknowledged)
            progress_percent(static_cast<unsigned long>(sent * 100 / MAINBOARD_IMAGE_SIZE));
        if (address == 0)
            break;
        address -= EEPROM_CHUNK_MAX;
    }

    progress_done(stopwatch_elapsed_seconds(watch));
    stopwatch_start(watch);
    return true;
}
