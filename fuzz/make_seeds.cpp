// SPDX-License-Identifier: MIT
// Writes the fuzz target's seed corpus: a clean update and each failure path,
// in the script language of device_script.h.
//
//   quennet_fuzz_seeds DIRECTORY
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/device_script.h"
#include "link/protocol_constants.h"
#include "payload/firmware_payload.h"

namespace {

using bytes = std::vector<uint8_t>;

// How the device answers at each step of an otherwise clean update.
struct plan {
    char answer = 'y';
    bytes discovery = {1, IDENTITY_ALL_RIGHT, WRITE_OK /* open */, READ_TIMES_OUT /* drain */};
    uint8_t mainboard_major = 0x00, mainboard_minor = 0x95;
    std::function<bytes(int chunk)> eeprom = [](int) { return bytes{WRITE_OK, READ_STATUS_OK}; };
    bytes hand_over = {WRITE_OK, READ_STATUS_READY};
    bytes entry = {WRITE_OK, READ_STATUS_OK};
    std::function<bytes(int packet)> flash = [](int packet) {
        return packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK};
    };
    bytes restart = {WRITE_OK};
};

bytes script_of(const plan& p)
{
    bytes s = {static_cast<uint8_t>(p.answer)};
    s.insert(s.end(), p.discovery.begin(), p.discovery.end());
    s.insert(s.end(), {WRITE_OK, READ_VERSION, p.mainboard_major, p.mainboard_minor, WRITE_OK, READ_VERSION, 0x00, 0x98});
    const int chunks = 1 + static_cast<int>((MAINBOARD_IMAGE_SIZE + EEPROM_CHUNK_MAX - 1) / EEPROM_CHUNK_MAX);
    for (int chunk = 0; chunk < chunks; ++chunk) {
        const bytes step = p.eeprom(chunk);
        s.insert(s.end(), step.begin(), step.end());
    }
    s.insert(s.end(), p.hand_over.begin(), p.hand_over.end());
    s.insert(s.end(), p.entry.begin(), p.entry.end());
    for (int packet = 0; packet < static_cast<int>(CONTROL_IMAGE_SIZE / FLASH_PACKET_DATA); ++packet) {
        const bytes step = p.flash(packet);
        s.insert(s.end(), step.begin(), step.end());
    }
    s.insert(s.end(), p.restart.begin(), p.restart.end());
    return s;
}

bool write_seed(const std::string& directory, const std::string& name, const bytes& script)
{
    const std::string path = directory + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = std::fwrite(script.data(), 1, script.size(), file) == script.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quennet_fuzz_seeds DIRECTORY\n");
        return 2;
    }
    std::vector<std::pair<std::string, plan>> seeds;
    auto add = [&seeds](const std::string& name, const std::function<void(plan&)>& change) {
        plan p;
        change(p);
        seeds.emplace_back(name, p);
    };
    add("clean_update", [](plan&) {});
    add("refused", [](plan& p) { p.answer = 'n'; });
    add("power_cycle_from_0_90", [](plan& p) { p.mainboard_minor = 0x90; });
    add("no_device", [](plan& p) { p.discovery = {0}; });
    add("two_devices", [](plan& p) { p.discovery = {2, IDENTITY_ALL_RIGHT, IDENTITY_ALL_RIGHT}; });
    add("other_usage_page", [](plan& p) { p.discovery = {2, 0x2F, IDENTITY_ALL_RIGHT, WRITE_OK, READ_TIMES_OUT}; });
    add("no_manufacturer_string", [](plan& p) { p.discovery = {1, 0x7F}; });
    add("open_refused", [](plan& p) { p.discovery = {1, IDENTITY_ALL_RIGHT, OPEN_REFUSED}; });
    add("stale_input", [](plan& p) {
        p.discovery = {1, IDENTITY_ALL_RIGHT, WRITE_OK, READ_STATUS_OK, READ_RAW, 1, 2, 3, 4, 5, 6, 7, 8, READ_TIMES_OUT};
    });
    add("clear_read_failed", [](plan& p) {
        p.eeprom = [](int chunk) { return chunk == 0 ? bytes{WRITE_OK, READ_STATUS_BYTE, STATUS_READ_FAILED} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("chunk_verify_failed", [](plan& p) {
        p.eeprom = [](int chunk) { return chunk == 10 ? bytes{WRITE_OK, READ_STATUS_BYTE, STATUS_VERIFY_FAILED} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("chunk_unanswered", [](plan& p) {
        p.eeprom = [](int chunk) { return chunk == 50 ? bytes{WRITE_OK, READ_TIMES_OUT} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("chunk_write_fails", [](plan& p) {
        p.eeprom = [](int chunk) { return chunk == 3 ? bytes{WRITE_FAILS, READ_STATUS_OK} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("hand_over_refused", [](plan& p) { p.hand_over = {WRITE_OK, READ_STATUS_BYTE, STATUS_WRITE_FAILED}; });
    add("entry_read_failed", [](plan& p) { p.entry = {WRITE_OK, READ_STATUS_BYTE, STATUS_READ_FAILED}; });
    add("block_verify_failed", [](plan& p) {
        p.flash = [](int packet) {
            return packet % 4 != 3 ? bytes{WRITE_OK} : packet == 23 ? bytes{WRITE_OK, READ_STATUS_BYTE, STATUS_VERIFY_FAILED} : bytes{WRITE_OK, READ_STATUS_OK};
        };
    });
    add("wait_replies", [](plan& p) {
        p.flash = [](int packet) {
            return packet % 4 != 3 ? bytes{WRITE_OK}
                                   : bytes{WRITE_OK, READ_STATUS_WAIT, READ_STATUS_WAIT, READ_STATUS_WAIT, READ_STATUS_OK};
        };
    });
    add("acknowledgement_read_fails", [](plan& p) {
        p.flash = [](int packet) { return packet % 4 != 3 ? bytes{WRITE_OK} : packet == 47 ? bytes{WRITE_OK, READ_FAILS} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("flash_resent", [](plan& p) {
        p.flash = [](int packet) {
            if (packet == 9)
                return bytes{WRITE_FAILS, WRITE_FAILS_WITHOUT_TEXT, WRITE_FAILS, WRITE_OK};
            if (packet == 8)  // a block start: an extra wait before the resend
                return bytes{WRITE_FAILS, READ_TIMES_OUT, WRITE_OK};
            return packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK};
        };
    });
    add("flash_write_fails_for_good", [](plan& p) {
        p.flash = [](int packet) { return packet == 5 ? bytes{WRITE_FAILS, WRITE_FAILS, WRITE_FAILS, WRITE_FAILS} : packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK}; };
    });
    add("silent_blocks", [](plan& p) {
        p.flash = [](int packet) { return packet % 4 != 3 ? bytes{WRITE_OK} : packet >= 40 ? bytes{WRITE_OK, READ_TIMES_OUT} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("restart_write_fails", [](plan& p) { p.restart = {WRITE_FAILS}; });
    for (const auto& [name, p] : seeds) {
        if (!write_seed(argv[1], name, script_of(p))) {
            std::fprintf(stderr, "quennet_fuzz_seeds: cannot write %s/%s\n", argv[1], name.c_str());
            return 1;
        }
    }
    return 0;
}
