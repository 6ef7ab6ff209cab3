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

enum class eeprom_answer { ok, failed, other };

// Judges the reply to an EEPROM write; prints the failure message and returns
// failed for no reply and for the three failure statuses.
//
// A packet whose write failed never reached the EEPROM, yet a reply can still
// come: one the device sent late for an earlier packet (a device that answered
// 'M' first is one reply behind from then on). Passing over such a packet
// would leave a hole in the EEPROM, or the 0xFF fill at its start, behind a
// success message; so after its reply has been judged as usual, a packet that
// was not written ends the phase as a failed EEPROM write.
static eeprom_answer judge_eeprom_reply(device_link& link, bool written)
{
    if (read_reply(link) != reply_result::received) {
        console_print("\nNo response from Quennet\n");
        return eeprom_answer::failed;
    }
    const uint8_t status = reply_status(link);
    if (!written && status != STATUS_READ_FAILED && status != STATUS_VERIFY_FAILED) {
        console_print("\nWriting EEPROM failed!\n");
        return eeprom_answer::failed;
    }
    switch (status) {
    case STATUS_OK:
        return eeprom_answer::ok;
    case STATUS_READ_FAILED:
        console_print("\nReading EEPROM failed!\n");
        return eeprom_answer::failed;
    case STATUS_VERIFY_FAILED:
        console_print("\nVerify EEPROM failed!\n");
        return eeprom_answer::failed;
    case STATUS_WRITE_FAILED:
        console_print("\nWriting EEPROM failed!\n");
        return eeprom_answer::failed;
    default:
        return eeprom_answer::other;
    }
}

bool run_mainboard_phase(device_link& link, stopwatch& watch)
{
    stopwatch_start(watch);

    uint8_t clear[EEPROM_CHUNK_MAX];
    std::memset(clear, EEPROM_CLEAR_BYTE, sizeof clear);
    const bool clear_written = send_update_packet(link, CMD_EEPROM_WRITE, 0, clear, sizeof clear);
    const eeprom_answer cleared = judge_eeprom_reply(link, clear_written);
    if (cleared == eeprom_answer::failed)
        return false;
    if (cleared == eeprom_answer::ok)
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
        const eeprom_answer answer = judge_eeprom_reply(link, written);
        if (answer == eeprom_answer::failed)
            return false;
        if (answer == eeprom_answer::ok)
            progress_percent(static_cast<unsigned long>(sent * 100 / MAINBOARD_IMAGE_SIZE));
        if (address == 0)
            break;
        address -= EEPROM_CHUNK_MAX;
    }

    progress_done(stopwatch_elapsed_seconds(watch));
    stopwatch_start(watch);
    return true;
}
