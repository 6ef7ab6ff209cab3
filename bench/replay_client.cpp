// SPDX-License-Identifier: MIT
// Replays the device traffic of a recorded update with nothing else around it:
// the same writes, each followed by the same number of reads, through the same
// hidapi calls, up to the restart packet. Against the same emulated device it takes what the emulation
// layer and the device take, so an update's extra time and CPU are the
// program's own.
//
//   quennet_replay_client RECORDING
//
// RECORDING has one line per write: the packet in hex, a space, and the number
// of reads that followed it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <hidapi.h>

#include "link/device_link.h"
#include "link/protocol_constants.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::ifstream recording(argv[1]);
    std::vector<std::vector<uint8_t>> packets;
    std::vector<int> reads;
    for (std::string line; std::getline(recording, line);) {
        std::istringstream fields(line);
        std::string hex;
        int count = 0;
        fields >> hex >> count;
        std::vector<uint8_t> packet;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            packet.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        packets.push_back(packet);
        reads.push_back(count);
    }
    const discovery_result found = find_device();
    if (found.match_count != 1)
        return 2;
    hid_device* device = hid_open_path(found.path.c_str());
    if (device == nullptr)
        return 2;
    uint8_t buffer[REPORT_BUFFER_SIZE];
    for (size_t i = 0; i < packets.size(); ++i) {
        if (hid_write(device, packets[i].data(), packets[i].size()) < 0)
            return 1;
        // The restart takes the device off the bus: the update's traffic
        // ends there, and what follows is the wait for the device to return.
        if (packets[i].size() > PACKET_COMMAND_AT && packets[i][PACKET_COMMAND_AT] == CMD_RESTART)
            break;
        for (int r = 0; r < reads[i]; ++r)
            if (hid_read_timeout(device, buffer, REPLY_READ_SIZE, REPLY_TIMEOUT_MS) <= 0)
                return 1;
    }
    hid_close(device);
    hid_exit();
    return 0;
}
