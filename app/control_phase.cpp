// SPDX-License-Identifier: MIT
// The Control bootloader and flash phase: hand-over, bootloader entry, then
// the flash image streamed in 48-byte packets, four to a 192-byte block. The
// last packet of each block is its commit, carrying the block's check byte;
// the device acknowledges each block once.
#include <cstring>

#include "app/update_phases.h"
#include "link/update_protocol.h"
#include "payload/firmware_payload.h"
#include "util/console.h"
#include "util/progress_line.h"

static_assert(CONTROL_IMAGE_SIZE % FLASH_BLOCK_SIZE == 0, "the flash image is a whole number of blocks");
static_assert(FLASH_BLOCK_SIZE % FLASH_PACKET_DATA == 0, "a block is a whole number of packets");

// Waits for a block's acknowledgement; false when the run must end (the
// message is printed). A time-out, a report too short to hold a status and an
// unknown status are all silence. `written` bytes of the image have gone out.
// block_written is false for the wait that follows a failed write at a block
// start: no new block is pending then, and its silence counts for nothing.
static bool wait_for_block_acknowledgement(device_link& link, size_t written, bool block_written, bool last_block,
                                           int& silent_waits)
{
    int wait_replies = 0;
    for (;;) {
        std::memset(link.buffer, 0, sizeof link.buffer);
        const reply_result result = read_reply(link);
        if (result == reply_result::failed)
            return fail_with(NO_RESPONSE_MESSAGE);
        if (result == reply_result::received) {
            const uint8_t status = reply_status(link);
            if (const char* failure = failure_message(status, memory::flash))
                return fail_with(failure);
            if (status == STATUS_WAIT) {
                if (++wait_replies >= WAIT_REPLIES_MAX)
                    return fail_with(NO_RESPONSE_MESSAGE);
                continue;
            }
            if (status == STATUS_OK) {
                progress_percent(static_cast<unsigned long>(written * 100 / CONTROL_IMAGE_SIZE));
                silent_waits = 0;
                return true;
            }
            // Any other status ends the wait like a time-out.
        }
        if (!block_written)
            return true;
        if (++silent_waits >= SILENT_WAITS_MAX)
            return fail_with(NO_RESPONSE_MESSAGE);
        if (!last_block)
            return true;
    }
}

// Sends one packet of the hand-over sequence and judges its answer, which
// must carry the expected status.
static bool exchange(device_link& link, uint8_t command, const uint8_t* payload, size_t length, uint8_t expected)
{
    send_update_packet(link, command, 0, payload, length);
    if (read_reply(link) != reply_result::received)
        return fail_with(NO_RESPONSE_MESSAGE);
    if (reply_status(link) != expected) {
        console_print("\nReplied '%c'\n", reply_status(link));
        return false;
    }
    return true;
}

static bool enter_bootloader(device_link& link)
{
    const uint8_t prepare = CONTROL_PREPARE_REQUEST;
    if (!exchange(link, CMD_CONTROL_PREPARE, &prepare, 1, STATUS_CONTROL_READY))
        return false;
    console_print("Bootloader entry");
    uint8_t entry[BOOTLOADER_ENTRY_CODE_SIZE + 1];
    std::memcpy(entry, bootloader_entry_code, BOOTLOADER_ENTRY_CODE_SIZE);
    entry[BOOTLOADER_ENTRY_CODE_SIZE] = block_checksum(bootloader_entry_code, BOOTLOADER_ENTRY_CODE_SIZE);
    return exchange(link, CMD_BLOCK_COMMIT, entry, sizeof entry, STATUS_OK);
}

// Writes the flash packet at the offset: plain data, or the block's commit
// with its check byte when it is the block's last packet.
static bool send_flash_packet(device_link& link, size_t offset)
{
    const size_t offset_in_block = offset % FLASH_BLOCK_SIZE;
    const uint16_t address = static_cast<uint16_t>(offset);
    if (offset_in_block != FLASH_BLOCK_SIZE - FLASH_PACKET_DATA)
        return send_update_packet(link, CMD_FLASH_DATA, address, control_image + offset, FLASH_PACKET_DATA);
    uint8_t commit[FLASH_PACKET_DATA + 1];
    std::memcpy(commit, control_image + offset, FLASH_PACKET_DATA);
    commit[FLASH_PACKET_DATA] = block_checksum(control_image + offset - offset_in_block, FLASH_BLOCK_SIZE);
    return send_update_packet(link, CMD_BLOCK_COMMIT, address, commit, sizeof commit);
}

bool run_control_phase(device_link& link, stopwatch& watch)
{
    if (!enter_bootloader(link))
        return false;
    console_print("\rUpdating Control:\n");

    // The offset of the next packet; it moves on only when a write succeeds,
    // so a failed packet is built and sent again.
    size_t offset = 0;
    int failed_writes = 0;
    int silent_waits = 0;
    while (offset < CONTROL_IMAGE_SIZE) {
        const bool written = send_flash_packet(link, offset);
        if (written) {
            offset += FLASH_PACKET_DATA;
            failed_writes = 0;
        } else if (++failed_writes > FLASH_PACKET_RESENDS_MAX) {
            return fail_with(NO_RESPONSE_MESSAGE);
        }
        if (offset % FLASH_BLOCK_SIZE != 0)
            continue;
        const bool last_block = offset == CONTROL_IMAGE_SIZE;
        if (!wait_for_block_acknowledgement(link, offset, written, last_block, silent_waits))
            return false;
    }

    progress_done(stopwatch_elapsed_seconds(watch));
    return true;
}
