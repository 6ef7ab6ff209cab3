// The HID library as the fuzz input scripts it, with a record of every call
// the program made, for the properties checked after each run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct script_record {
    long calls = 0;
    long writes = 0;
    long reads = 0;
    int enumerations = 0;
    int opens = 0;
    int closes = 0;
    int exits = 0;
    std::vector<bool> flash_written;     // per 48-byte flash packet, written successfully
    std::vector<bool> eeprom_attempted;  // per 32-byte EEPROM chunk, a write was attempted
    bool restart_attempted = false;
};

// Starts a run on a new script.
void script_begin(const uint8_t* data, size_t size);

const script_record& script_result();
