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
    bytes discovery = {1, IDENTITY_ALL_RIGHT, WRITE_OK /* open */, WRITE_OK /* non-blocking */, READ_TIMES_OUT /* drain */};
    uint8_t mainboard_major = 0x00, mainboard_minor = 0x95;
    std::function<bytes(int chunk)> eeprom = [](int) { return bytes{WRITE_OK, READ_STATUS_OK}; };
    bytes hand_over = {WRITE_OK, READ_STATUS_READY};
    bytes entry = {WRITE_OK, READ_STATUS_OK};
    std::function<bytes(int packet)> flash = [](int packet) {
        return packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK};
    };
    bytes restart = {WRITE_OK};
    bytes mainboard_reply = {};  // empty: a version reply with the major and minor below
    // Found again after the restart, running the release.
    bytes read_back = {1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_TIMES_OUT,
                       WRITE_OK, READ_RELEASE_VERSION, WRITE_OK, READ_RELEASE_VERSION};
    bytes control_reply = {WRITE_OK, READ_VERSION, 0x00, 0x98};
};

bytes script_of(const plan& p)
{
    bytes s = {static_cast<uint8_t>(p.answer)};
    s.insert(s.end(), p.discovery.begin(), p.discovery.end());
    if (p.mainboard_reply.empty())
        s.insert(s.end(), {WRITE_OK, READ_VERSION, p.mainboard_major, p.mainboard_minor});
    else
        s.insert(s.end(), p.mainboard_reply.begin(), p.mainboard_reply.end());
    s.insert(s.end(), p.control_reply.begin(), p.control_reply.end());
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
    s.insert(s.end(), p.read_back.begin(), p.read_back.end());
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
    add("other_usage_page", [](plan& p) { p.discovery = {2, 0x2F, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_TIMES_OUT}; });
    add("other_usage", [](plan& p) { p.discovery = {1, IDENTITY_ALL_RIGHT & ~0x20}; });
    add("null_path", [](plan& p) { p.discovery = {1 | ENTRIES_WITHOUT_PATH, IDENTITY_ALL_RIGHT}; });
    add("nonblocking_fails", [](plan& p) { p.discovery = {1, IDENTITY_ALL_RIGHT, WRITE_OK, NONBLOCKING_FAILS}; });
    add("end_of_input_at_consent", [](plan& p) { p.answer = static_cast<char>(NO_ANSWER); });
    add("version", [](plan& p) { p.answer = static_cast<char>(ANSWER_WITH_VERSION); });
    add("help", [](plan& p) { p.answer = static_cast<char>(ANSWER_WITH_HELP); });
    add("ignored_argument", [](plan& p) { p.answer = static_cast<char>(ANSWER_WITH_OTHER_ARGUMENT); });
    add("drain_bound", [](plan& p) {
        p.discovery = {1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK};
        p.discovery.insert(p.discovery.end(), 256, cut_short(READ_STATUS_OK, 1));
    });
    add("short_version_reply", [](plan& p) { p.mainboard_reply = {WRITE_OK, cut_short(READ_VERSION, 6), 0x00, 0x95}; });
    add("unknown_mainboard_version", [](plan& p) { p.mainboard_reply = {WRITE_OK, READ_RAW, 2, 0x11, 0, 0, 0, 0x95, 0, 0}; });
    add("writes_return_65", [](plan& p) {
        p.eeprom = [](int) { return bytes{WRITE_OK_65, READ_STATUS_OK}; };
        p.flash = [](int packet) { return packet % 4 == 3 ? bytes{WRITE_OK_65, READ_STATUS_OK} : bytes{WRITE_OK_65}; };
    });
    add("short_chunk_reply", [](plan& p) {
        p.eeprom = [](int chunk) { return chunk == 7 ? bytes{WRITE_OK, cut_short(READ_STATUS_OK, 5)} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("short_acknowledgements", [](plan& p) {
        p.flash = [](int packet) {
            return packet % 4 != 3 ? bytes{WRITE_OK} : packet >= 40 ? bytes{WRITE_OK, cut_short(READ_STATUS_OK, 4)} : bytes{WRITE_OK, READ_STATUS_OK};
        };
    });
    add("short_last_acknowledgement_then_ok", [](plan& p) {
        p.flash = [](int packet) {
            return packet % 4 != 3 ? bytes{WRITE_OK} : packet == 1279 ? bytes{WRITE_OK, cut_short(READ_STATUS_OK, 6), READ_FAILS_WITHOUT_TEXT} : bytes{WRITE_OK, READ_STATUS_OK};
        };
    });
    add("wait_bound", [](plan& p) {
        p.flash = [](int packet) {
            bytes step = {WRITE_OK};
            if (packet == 3)
                step.insert(step.end(), 1000, READ_STATUS_WAIT);
            else if (packet % 4 == 3)
                step.push_back(READ_STATUS_OK);
            return step;
        };
    });
    add("write_error_texts", [](plan& p) {
        p.flash = [](int packet) {
            if (packet == 2)
                return bytes{WRITE_FAILS, ERROR_TEXT_NOT_ASCII, WRITE_FAILS, ERROR_TEXT_LONG, WRITE_FAILS, ERROR_TEXT_EMPTY, WRITE_OK};
            return packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK};
        };
    });
    add("no_manufacturer_string", [](plan& p) { p.discovery = {1, 0x7F}; });
    add("open_refused", [](plan& p) { p.discovery = {1, IDENTITY_ALL_RIGHT, OPEN_REFUSED}; });
    add("open_refused_other", [](plan& p) { p.discovery = {1, IDENTITY_ALL_RIGHT, OPEN_REFUSED_OTHER, ERROR_TEXT_PLAIN}; });
    add("open_refused_without_text", [](plan& p) { p.discovery = {1, IDENTITY_ALL_RIGHT, OPEN_REFUSED_WITHOUT_TEXT}; });
    add("stale_input", [](plan& p) {
        p.discovery = {1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_STATUS_OK, READ_RAW, 1, 2, 3, 4, 5, 6, 7, 8, READ_TIMES_OUT};
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
        p.eeprom = [](int chunk) { return chunk == 3 ? bytes{WRITE_FAILS, ERROR_TEXT_PLAIN, READ_STATUS_OK} : bytes{WRITE_OK, READ_STATUS_OK}; };
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
                return bytes{WRITE_FAILS, ERROR_TEXT_PLAIN, WRITE_FAILS_WITHOUT_TEXT, WRITE_FAILS, ERROR_TEXT_PLAIN, WRITE_OK};
            if (packet == 8)  // a block start: an extra wait before the resend
                return bytes{WRITE_FAILS, ERROR_TEXT_PLAIN, READ_TIMES_OUT, WRITE_OK};
            return packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK};
        };
    });
    add("flash_write_fails_for_good", [](plan& p) {
        p.flash = [](int packet) { return packet == 5 ? bytes{WRITE_FAILS, 0, WRITE_FAILS, 0, WRITE_FAILS, 0, WRITE_FAILS, 0} : packet % 4 == 3 ? bytes{WRITE_OK, READ_STATUS_OK} : bytes{WRITE_OK}; };
    });
    add("silent_blocks", [](plan& p) {
        p.flash = [](int packet) { return packet % 4 != 3 ? bytes{WRITE_OK} : packet >= 40 ? bytes{WRITE_OK, READ_TIMES_OUT} : bytes{WRITE_OK, READ_STATUS_OK}; };
    });
    add("restart_write_fails", [](plan& p) { p.restart = {WRITE_FAILS, ERROR_TEXT_PLAIN}; });
    add("not_back_after_restart", [](plan& p) { p.read_back = {}; });
    add("back_with_other_software", [](plan& p) {
        p.read_back = {1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_TIMES_OUT, WRITE_OK, READ_RELEASE_VERSION,
                       WRITE_OK, READ_VERSION, 0x00, 0x00};
    });
    // Tries that fail each in its own way before the one that finds it:
    // nothing found, two found, an open refused, the switch to non-blocking
    // reads refused, a failed write, a drained report and no reply, a reply of another echo
    // to the Control query, the device still running older software.
    add("back_with_the_release_after_failed_tries", [](plan& p) {
        const bytes tries = {0,
                             2, IDENTITY_ALL_RIGHT, IDENTITY_ALL_RIGHT,
                             1, IDENTITY_ALL_RIGHT, OPEN_REFUSED_OTHER, ERROR_TEXT_PLAIN,
                             1, IDENTITY_ALL_RIGHT, WRITE_OK, NONBLOCKING_FAILS,
                             1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_TIMES_OUT, WRITE_FAILS, ERROR_TEXT_PLAIN,
                             1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_TIMES_OUT, WRITE_OK, READ_VERSION, 0x00, 0x95,
                             WRITE_OK, READ_RELEASE_VERSION,
                             1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_STATUS_OK, READ_TIMES_OUT, WRITE_OK, READ_TIMES_OUT,
                             1, IDENTITY_ALL_RIGHT, WRITE_OK, WRITE_OK, READ_TIMES_OUT, WRITE_OK, READ_RELEASE_VERSION,
                             WRITE_OK, READ_RAW, 2, 0x10, 0, 0, 0, 0x99, 0, 0};
        p.read_back.insert(p.read_back.begin(), tries.begin(), tries.end());
    });
    add("running_this_release", [](plan& p) {
        p.mainboard_reply = {WRITE_OK, READ_RELEASE_VERSION};
        p.control_reply = {WRITE_OK, READ_RELEASE_VERSION};
        p.answer = 'n';
    });
    add("running_the_release_mainboard_and_a_newer_control", [](plan& p) {
        p.mainboard_reply = {WRITE_OK, READ_RELEASE_VERSION};
        p.control_reply = {WRITE_OK, READ_VERSION, 0xFF, 0xFF};
        p.answer = 'n';
    });
    add("running_a_newer_mainboard", [](plan& p) {
        p.mainboard_reply = {WRITE_OK, READ_VERSION, 0xFF, 0xFF};
        p.control_reply = {WRITE_OK, READ_VERSION, 0x00, 0x00};
        p.answer = 'n';
    });
    add("unknown_control_version", [](plan& p) {
        p.control_reply = {WRITE_OK, READ_RAW, 2, 0x10, 0, 0, 0, 0x99, 0, 0};
        p.answer = 'n';
    });
    add("placeholder_build_facing_a_real_device",
        [](plan& p) { p.discovery[0] = static_cast<uint8_t>(1 | ENTRIES_WITHOUT_SERIAL); });
    for (const auto& [name, p] : seeds) {
        if (!write_seed(argv[1], name, script_of(p))) {
            std::fprintf(stderr, "quennet_fuzz_seeds: cannot write %s/%s\n", argv[1], name.c_str());
            return 1;
        }
    }
    return 0;
}
