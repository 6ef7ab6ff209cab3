// SPDX-License-Identifier: MIT
#include "emu/stand_in/update_properties.h"

#include <algorithm>
#include <cstring>

void record_write(hid_call_record& record, const uint8_t* data, size_t length, bool failed)
{
    ++record.writes;
    if (data == nullptr || length != UPDATE_PACKET_SIZE || data[PACKET_REPORT_ID_AT] != REPORT_ID_UPDATE) {
        record.malformed_packet = true;
        return;
    }
    const uint8_t command = data[PACKET_COMMAND_AT];
    const size_t address = data[PACKET_ADDRESS_HIGH_AT] * 256u + data[PACKET_ADDRESS_LOW_AT];
    const uint8_t length_field = data[PACKET_LENGTH_AT];
    const uint8_t* payload = data + PACKET_PAYLOAD_AT;
    if (command == CMD_EEPROM_WRITE && address % EEPROM_CHUNK_MAX == 0 && address < MAINBOARD_IMAGE_SIZE &&
        length_field == std::min(EEPROM_CHUNK_MAX, MAINBOARD_IMAGE_SIZE - address) &&
        std::memcmp(payload, mainboard_image + address, length_field) == 0)
        record.eeprom_attempted[address / EEPROM_CHUNK_MAX] = true;
    const bool flash_packet =
        command == CMD_FLASH_DATA || (command == CMD_BLOCK_COMMIT && length_field == FLASH_PACKET_DATA + 1);
    if (flash_packet && !failed && address % FLASH_PACKET_DATA == 0 && address < CONTROL_IMAGE_SIZE &&
        std::memcmp(payload, control_image + address, FLASH_PACKET_DATA) == 0)
        record.flash_written[address / FLASH_PACKET_DATA] = true;
}

void record_reply_read(hid_call_record& record, int milliseconds)
{
    ++record.reads;
    if (milliseconds != REPLY_TIMEOUT_MS)
        record.other_timeout = true;
}

bool shows_power_cycle(const std::string& console)
{
    return console.find("\nPlease switch your Quennet off now.") != std::string::npos;
}

bool shows_success(const std::string& console)
{
    return (console.find("\nQuennet restarted running:\n") != std::string::npos &&
            console.find("\nThe update did not take hold") == std::string::npos) ||
           shows_power_cycle(console);
}

static bool all(const std::vector<bool>& flags)
{
    return std::all_of(flags.begin(), flags.end(), [](bool flag) { return flag; });
}

const char* violated_update_property(const hid_call_record& record, int exit_status, const std::string& console,
                                     bool refused)
{
    if (exit_status != 0 && exit_status != 1)
        return "the exit status is 0 or 1";
    if (record.calls > MAX_DEVICE_CALLS)
        return "the run ends within its bound of device calls";
    if (record.drain_reads > static_cast<long>(DRAIN_READS_MAX) * record.opens)
        return "each drain after an open reads at most its bound of reports";
    if (record.exits != 1)
        return "the HID library is released exactly once";
    if (record.filtered_enumeration)
        return "the program filters the enumeration itself";
    if (record.malformed_packet)
        return "every packet is 64 bytes with report id 2";
    if (record.other_timeout)
        return "every reply read waits 1000 ms";
    if (refused && record.writes > 2)
        return "no packet is sent after a refused consent";
    if (exit_status == 0 && (refused || record.closes < 1 || !all(record.eeprom_attempted) ||
                             !all(record.flash_written) || !shows_success(console)))
        return "exit status 0 only after the whole update and the final step";
    const bool restarted = console.find("\nRestarting Quennet\n") != std::string::npos;
    if (exit_status != 0 && (shows_success(console) || (record.closes != 0 && !restarted)))
        return "a failed run shows no success message and, before the restart, leaves the handle to the end";
    if (record.closes > record.opens)
        return "only an open handle is closed";
    const std::string prompt = "Press any key to continue . . . ";
    if (console.find(prompt) == std::string::npos)
        return "every run ends with the press-a-key prompt";
    return nullptr;
}
