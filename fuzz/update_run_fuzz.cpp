// libFuzzer target: the whole update run, in process, against a device whose
// every answer comes from the fuzz input. After each run it checks what no
// device, however broken or hostile, may make the program do.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "app/update_phases.h"
#include "app/update_run.h"
#include "fuzz/scripted_hidapi.h"
#include "link/device_link.h"
#include "payload/firmware_payload.h"

namespace {

// The most HID calls a run can make, from the program's own bounds.
constexpr long EEPROM_PACKETS = 1 + (MAINBOARD_IMAGE_SIZE + EEPROM_CHUNK_MAX - 1) / EEPROM_CHUNK_MAX;
constexpr long FLASH_PACKETS = CONTROL_IMAGE_SIZE / FLASH_PACKET_DATA;
constexpr long FLASH_BLOCKS = CONTROL_IMAGE_SIZE / FLASH_BLOCK_SIZE;
constexpr long MAX_WRITES = 2 + EEPROM_PACKETS + 2 + FLASH_PACKETS * (FLASH_PACKET_RESENDS_MAX + 1) + 1;
// One wait after each block commit, and one after each failed write at a block start.
constexpr long MAX_WAITS = FLASH_BLOCKS * (1 + FLASH_PACKET_RESENDS_MAX);
constexpr long MAX_READS_PER_WAIT = WAIT_REPLIES_MAX + SILENT_WAITS_MAX + 1;
constexpr long MAX_READS = DRAIN_READS_MAX + 1 + 2 + EEPROM_PACKETS + 2 + MAX_WAITS * MAX_READS_PER_WAIT;
constexpr long MAX_DEVICE_CALLS = 4 /* enumerate, free, open, set_nonblocking */ + 2 * MAX_WRITES /* write, error */ +
                                  MAX_READS + 2 /* close, exit */;

const char* const RESTARTING = "\nRestarting Quennet\n";
const char* const POWER_CYCLE = "\nPlease switch your Quennet off now.";

[[noreturn]] void violated(const char* property, const std::string& console)
{
    std::fprintf(stderr, "property violated: %s\n--- console ---\n%s\n---\n", property, console.c_str());
    std::abort();
}

bool all(const std::vector<bool>& flags)
{
    for (bool flag : flags)
        if (!flag)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The prompts must never wait on a terminal.
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    char answer[2] = {static_cast<char>(data[0]), '\n'};
    script_begin(data + 1, size - 1);

    FILE* const saved_in = stdin;
    FILE* const saved_out = stdout;
    char* console_text = nullptr;
    size_t console_size = 0;
    stdin = fmemopen(answer, sizeof answer, "r");
    stdout = open_memstream(&console_text, &console_size);
    const int status = update_run();
    std::fclose(stdout);
    std::fclose(stdin);
    stdout = saved_out;
    stdin = saved_in;
    const std::string console(console_text, console_size);
    std::free(console_text);

    const script_record& record = script_result();
    // QUENNET_FUZZ_SHOW=1 prints what each run did, to look at an input.
    static const bool show = std::getenv("QUENNET_FUZZ_SHOW") != nullptr;
    if (show)
        std::fprintf(stderr, "%s\n[exit status %d, %ld writes, %ld reads, %ld device calls]\n", console.c_str(), status,
                     record.writes, record.reads, record.calls);
    if (status != 0 && status != 1)
        violated("the exit status is 0 or 1", console);
    if (record.calls > MAX_DEVICE_CALLS)
        violated("the run ends within its bound of device calls", console);
    if (record.exits != 1)
        violated("the HID library is released exactly once", console);
    const bool refused = std::toupper(static_cast<unsigned char>(answer[0])) != 'Y';
    if (refused && record.writes > 2)
        violated("no packet is sent after a refused consent", console);
    const bool success_shown = console.find(RESTARTING) != std::string::npos || console.find(POWER_CYCLE) != std::string::npos;
    if (status == 0) {
        if (refused || record.closes != 1 || !all(record.eeprom_attempted) || !all(record.flash_written))
            violated("exit status 0 only after the whole update and the final step", console);
    } else {
        if (record.closes != 0 || success_shown)
            violated("a failed run shows no success message and leaves the handle to the end", console);
    }
    if (console.find("Press any key to continue . . . ") == std::string::npos)
        violated("every run ends with the press-a-key prompt", console);
    return 0;
}
