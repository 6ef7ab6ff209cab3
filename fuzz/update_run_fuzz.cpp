// SPDX-License-Identifier: MIT
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

#include "app/command_line.h"
#include "fuzz/device_script.h"
#include "fuzz/fuzz_answerer.h"
#include "fuzz/replay.h"

namespace {

replay_figures totals;

void digest(const void* data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        totals.digest = (totals.digest ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3u;
}

// The command line a consent answer stands for (device_script.h).
const char* argument_for(uint8_t answer)
{
    switch (answer) {
    case ANSWER_WITH_VERSION:
        return "--version";
    case ANSWER_WITH_HELP:
        return "--help";
    case ANSWER_WITH_OTHER_ARGUMENT:
        return "--force";
    default:
        return nullptr;
    }
}

[[noreturn]] void violated(const char* property, const std::string& console)
{
    std::fprintf(stderr, "property violated: %s\n--- console ---\n%s\n---\n", property, console.c_str());
    std::abort();
}

}  // namespace

void replay_add(int status, const std::string& console, long writes, long reads, long calls)
{
    totals.status_0 += status == 0;
    totals.status_1 += status == 1;
    for (const long figure : {static_cast<long>(status), writes, reads, calls})
        digest(&figure, sizeof figure);
    // The phase times are the computer's clock, not the device's answers:
    // they are left out.
    std::string timeless = console;
    const std::string done = "Done in ";
    for (size_t at = timeless.find(done); at != std::string::npos; at = timeless.find(done, at + done.size())) {
        const size_t end = timeless.find_first_not_of("0123456789.", at + done.size());
        timeless.erase(at + done.size(), end == std::string::npos ? std::string::npos : end - at - done.size());
    }
    digest(timeless.data(), timeless.size());
}

const replay_figures& replay_totals()
{
    return totals;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The prompts must never wait on a terminal.
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0)
        std::abort();
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    char answer[2] = {static_cast<char>(data[0]), '\n'};
    const size_t answer_size = data[0] == NO_ANSWER ? 0 : sizeof answer;
    const char* const argv[] = {"quennet-update", argument_for(data[0])};
    const int argc = argv[1] != nullptr ? 2 : 1;
    stand_in_begin(fuzz_answerer(data + 1, size - 1));

    FILE* const saved_in = stdin;
    FILE* const saved_out = stdout;
    char* console_text = nullptr;
    size_t console_size = 0;
    stdin = answer_size > 0 ? fmemopen(answer, answer_size, "r") : std::fopen("/dev/null", "r");
    stdout = open_memstream(&console_text, &console_size);
    const int status = program_main(argc, argv);
    std::fclose(stdout);
    std::fclose(stdin);
    stdout = saved_out;
    stdin = saved_in;
    const std::string console(console_text, console_size);
    std::free(console_text);

    const hid_call_record& record = stand_in_record();
    replay_add(status, console, record.writes, record.reads, record.calls);
    // QUENNET_FUZZ_SHOW=1 prints what each run did, to look at an input.
    static const bool show = std::getenv("QUENNET_FUZZ_SHOW") != nullptr;
    if (show)
        std::fprintf(stderr, "%s\n[exit status %d, %ld writes, %ld reads, %ld device calls]\n", console.c_str(), status,
                     record.writes, record.reads, record.calls);
    if (requested(argc, argv) != program_request::update) {
        if (status != 0 || record.calls != 0 || console.find("Press any key") != std::string::npos)
            violated("--version and --help answer with status 0, no device call and no prompt", console);
        return 0;
    }
    const bool refused = answer_size == 0 || std::toupper(static_cast<unsigned char>(answer[0])) != 'Y';
    if (const char* property = violated_update_property(record, status, console, refused))
        violated(property, console);
    return 0;
}
