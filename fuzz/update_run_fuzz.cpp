// SPDX-License-Identifier: MIT
// libFuzzer target: the whole update run, in process against the emulated
// Quennet on its simulated clock (the engine the campaign runs on), with
// everything around the run chosen by the fuzz input: the consent answer or
// an argument, what enumeration shows, what the HID library answers besides
// the device and with which error texts, the versions the device runs, and
// any number of faults. After each run it checks what no device, however
// broken or hostile, may make the program do, and that a run that read the
// release's versions back from the restarted device left the release on it.
//
// Built without libFuzzer (QUENNET_REPLAY_MAIN, every Linux build but the fuzz
// one), its own main runs every input of the given files and folders once, in
// name order, then writes one line of figures: how many inputs, how many
// ended in each way, a digest of every console and every call. The figures
// are the same on every processor the program builds for: a reply byte read
// through a plain char, signed on one and unsigned on another, changes them.
//
//   quennet_fuzz_replay FIGURES_FILE PATH...
//
// Input layout; an input that runs out leaves the rest as a healthy Quennet has it:
//   byte 0  the consent answer's first character, a line end following;
//           0x00: standard input is empty; 0x01 --version, 0x02 --help,
//           0x03 an argument the program ignores
//   byte 1  the library: bit 0 the open fails, bit 1 for lack of rights,
//           bit 2 the switch to non-blocking reads fails, bit 3 every write
//           is refused as held elsewhere, bit 4 writes return 65, bit 5 a
//           report is always waiting, bit 6 a real device's timing, bit 7
//           the interfaces follow byte 2
//   byte 2  bits 0-2 the error texts (ERROR_TEXTS), bits 3-4 stale reports,
//           bits 5-6 what the device runs: older software, the release,
//           Mainboard 0.90, or the four bytes after the interfaces; bit 7 a
//           device gone from the bus is still listed
//   interfaces: one byte: how many (bits 0-1), bit 2 null paths, bit 3 no
//           serial number, bits 4-5 which one the Quennet answers; then one
//           byte each: bit i makes identity field i another device's
//           (vendor, product, manufacturer, product string, usage page,
//           usage), bit 6 drops the strings
//   versions: Mainboard major and minor, Control major and minor
//   then faults, 6 bytes each:
//     kind (bits 0-3, of fault_kind's 12), bit 4 only after the restart,
//       bits 5-6 how many packets it takes (FAULT_TIMES), bit 7 selects a
//       packet by its index instead of its command
//     the command (of SELECTED_COMMANDS)
//     2 bytes, big-endian: the packet's index, or the number of the chunk,
//       block or flash packet (its address); 0xFFFF: any address
//     2 bytes, big-endian: the status, wait replies, delay, echo or reply length
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "emu/inprocess/inprocess.h"

namespace {

// What the runs added up to: counted and digested by every run, for the replay.
struct replay_figures {
    unsigned long status_0 = 0;
    unsigned long status_1 = 0;
    uint64_t digest = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
};

replay_figures totals;

void digest(const void* data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        totals.digest = (totals.digest ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3u;
}

[[noreturn]] void violated(const char* property, const std::string& console)
{
    std::fprintf(stderr, "property violated: %s\n--- console ---\n%s\n---\n", property, console.c_str());
    std::abort();
}

const std::wstring LONG_ERROR_TEXT(300, L'x');
// The library's own words; none; hidapi 0.13's word where it kept no reason;
// characters a console may not show; longer than the program shows; empty.
const wchar_t* const ERROR_TEXTS[] = {nullptr, nullptr, L"Success", L"Ger\u00e4t getrennt \u263a\t\u0001",
                                      LONG_ERROR_TEXT.c_str(), L""};
const int SELECTED_COMMANDS[] = {CMD_GET_MAINBOARD_VERSION, CMD_GET_CONTROL_VERSION, CMD_EEPROM_WRITE, CMD_CONTROL_PREPARE,
                                 CMD_BLOCK_COMMIT, CMD_FLASH_DATA, CMD_RESTART, -1 /* any */};
const long FAULT_TIMES[] = {1, 3, 4, -1};

struct input_reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t next(uint8_t fallback = 0) { return at < size ? data[at++] : fallback; }
    unsigned wide()
    {
        const unsigned high = next();  // before the low byte: an operator's operands are read in no set order
        return high * 256u + next();
    }
};

// The address the number selects among a command's packets; any for the
// others, and for 0xFFFF.
long address_of(int command, unsigned number)
{
    if (number == 0xFFFF)
        return -1;
    if (command == CMD_EEPROM_WRITE)
        return static_cast<long>(EEPROM_CHUNK_MAX * (number % (EEPROM_PACKETS - 1)));
    if (command == CMD_BLOCK_COMMIT)
        return static_cast<long>(FLASH_BLOCK_SIZE * (number % FLASH_BLOCKS) + FLASH_BLOCK_SIZE - FLASH_PACKET_DATA);
    if (command == CMD_FLASH_DATA)
        return static_cast<long>(FLASH_PACKET_DATA * (number % FLASH_PACKETS));
    return -1;
}

fault_rule fault_from(input_reader& input)
{
    fault_rule rule;
    const uint8_t head = input.next();
    rule.kind = static_cast<fault_kind>((head & 0x0F) % (static_cast<int>(fault_kind::short_reply) + 1));
    rule.restarts = (head & 0x10) != 0 ? 1 : -1;
    rule.times = FAULT_TIMES[(head >> 5) & 3];
    const int command = SELECTED_COMMANDS[input.next() % std::size(SELECTED_COMMANDS)];
    const unsigned number = input.wide();
    if ((head & 0x80) != 0) {
        rule.packet_index = number;
    } else {
        rule.command = command;
        rule.address = address_of(command, number);
    }
    const unsigned parameter = input.wide();
    rule.status = rule.echo = static_cast<uint8_t>(parameter);
    rule.wait_replies = static_cast<int>(parameter % 1201);
    rule.delay_ms = static_cast<int>(parameter % 3001);
    rule.reply_length = 1 + parameter % (MODEL_INPUT_REPORT_SIZE - 1);
    return rule;
}

void interfaces_from(input_reader& input, bus_options& bus)
{
    const uint8_t head = input.next();
    bus.interfaces.clear();
    for (int i = 0; i < (head & 3); ++i) {
        const uint8_t wrong = input.next();
        interface_identity entry;
        entry.has_path = (head & 0x04) == 0;
        entry.serial = (head & 0x08) != 0 ? "" : entry.serial;
        entry.vendor_id = (wrong & 0x01) != 0 ? 0x0452 : entry.vendor_id;
        entry.product_id = (wrong & 0x02) != 0 ? 0x5B3F : entry.product_id;
        entry.manufacturer = (wrong & 0x04) != 0 ? "harlowmere audio" : entry.manufacturer;
        entry.product = (wrong & 0x08) != 0 ? "Calverra Quennet 2" : entry.product;
        entry.usage_page = (wrong & 0x10) != 0 ? 0x000C : entry.usage_page;
        entry.usage = (wrong & 0x20) != 0 ? 0x0002 : entry.usage;
        entry.has_strings = (wrong & 0x40) == 0;
        bus.interfaces.push_back(entry);
    }
    bus.model_interface = (head >> 4) & 3;
}

// Whether a fault can make a version reply say what the device does not
// run: a status or garble fault (another minor), a wait fault (an 'M' reply
// read as the minor) or an echo fault (one query's reply taken for the
// other's) that may take a version query. A device that lies about what it
// runs can make any update look complete.
bool can_fake_a_version(const std::vector<fault_rule>& faults)
{
    for (const fault_rule& rule : faults) {
        const bool on_a_query = rule.packet_index >= 0 || rule.command < 0 || rule.command == CMD_GET_MAINBOARD_VERSION ||
                                rule.command == CMD_GET_CONTROL_VERSION;
        if (on_a_query &&
            (rule.kind == fault_kind::status || rule.kind == fault_kind::garble || rule.kind == fault_kind::echo ||
             rule.kind == fault_kind::wait_replies))
            return true;
    }
    return false;
}

void replay_add(int status, const std::string& console, long writes, long reads, long calls)
{
    totals.status_0 += status == 0;
    totals.status_1 += status == 1;
    for (const long figure : {static_cast<long>(status), writes, reads, calls})
        digest(&figure, sizeof figure);
    digest(console.data(), console.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    input_reader input{data, size};
    const uint8_t answer = input.next();
    const char* const arguments[] = {"--version", "--help", "--force"};
    std::vector<std::string> argv;
    if (answer >= 1 && answer <= 3)
        argv.push_back(arguments[answer - 1]);
    const std::string typed = answer == 0 ? "" : std::string{static_cast<char>(answer), '\n'};

    bus_options bus;
    const uint8_t library = input.next();
    const uint8_t texts = input.next();
    bus.fail_open = (library & 0x01) != 0;
    bus.open_for_rights = (library & 0x02) != 0;
    bus.fail_nonblocking = (library & 0x04) != 0;
    bus.held_elsewhere = (library & 0x08) != 0;
    bus.written_count = (library & 0x10) != 0 ? UPDATE_PACKET_SIZE + 1 : 0;
    bus.keeps_sending = (library & 0x20) != 0;
    bus.timing = (library & 0x40) != 0 ? realistic_timing() : timing_profile{};
    bus.error_texts = (texts & 7) % 6 != 1;
    bus.error_text = ERROR_TEXTS[(texts & 7) % 6];
    bus.stale_reports = (texts >> 3) & 3;
    bus.gone_listed = (texts & 0x80) != 0;
    if ((library & 0x80) != 0)
        interfaces_from(input, bus);
    device_model device;
    switch ((texts >> 5) & 3) {
    case 1:
        device = make_device_model(TARGET_MAINBOARD_REVISION, TARGET_CONTROL_REVISION);
        break;
    case 2:
        device = make_device_model({0x00, 0x90});
        break;
    case 3: {
        // One after the other: a function's arguments are read in no set order.
        const version_pair mainboard{input.next(), input.next()};
        device = make_device_model(mainboard, {input.next(), input.next()});
        break;
    }
    default:
        device = make_device_model();
        break;
    }
    while (input.at < input.size)
        device.faults.push_back(fault_from(input));

    const inprocess_run run = run_in_process(device, typed, bus, argv);
    // The phase times are the simulated clock's: the same on every run of an input.
    replay_add(run.exit_status, run.console, run.calls.writes, run.calls.reads, run.calls.calls);
    // QUENNET_FUZZ_SHOW=1 prints what each run did, to look at an input.
    static const bool show = std::getenv("QUENNET_FUZZ_SHOW") != nullptr;
    if (show)
        std::fprintf(stderr, "%s\n[exit status %d, %ld writes, %ld reads, %ld device calls]\n", run.console.c_str(),
                     run.exit_status, run.calls.writes, run.calls.reads, run.calls.calls);
    if (!argv.empty() && argv[0] != "--force") {
        if (run.exit_status != 0 || run.calls.calls != 0 || run.console.find("Press any key") != std::string::npos)
            violated("--version and --help answer with status 0, no device call and no prompt", run.console);
        return 0;
    }
    const bool refused = typed.empty() || std::toupper(answer) != 'Y';
    if (const char* property = violated_update_property(run.calls, run.exit_status, run.console, refused))
        violated(property, run.console);
    // What the device read back after its restart is what it holds: only the
    // power-cycle ending, which reads nothing back, may leave it without the release.
    if (run.exit_status == 0 && !device_holds_release(run.device) && !shows_power_cycle(run.console) &&
        !can_fake_a_version(device.faults))
        violated("exit status 0 after the read-back only with the release on the device", run.console);
    return 0;
}

#ifdef QUENNET_REPLAY_MAIN
int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: quennet_fuzz_replay FIGURES_FILE PATH...\n");
        return 2;
    }
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 2; i < argc; ++i) {
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            // A folder's files in name order, whatever order the file system keeps.
            std::vector<fs::path> files;
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(argv[i], error)) {
            inputs.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "quennet_fuzz_replay: no such file or folder: %s\n", argv[i]);
            return 2;
        }
    }
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        const std::vector<char> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    char line[200];
    std::snprintf(line, sizeof line, "fuzz corpus replay: %zu inputs; %lu runs ended with status 0, %lu with status 1; digest %016llx\n",
                  inputs.size(), totals.status_0, totals.status_1, static_cast<unsigned long long>(totals.digest));
    std::fputs(line, stderr);
    std::ofstream(argv[1]) << line;
    return 0;
}
#endif
