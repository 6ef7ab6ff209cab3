// SPDX-License-Identifier: MIT
// The emulated Quennet answering for the hidapi stand-in, on a simulated
// clock, and the platform counter read from that clock (see inprocess.h).
#include "emu/inprocess/inprocess.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "app/command_line.h"
#include "emu/stand_in/hidapi_stand_in.h"
#include "util/clock.h"

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define close _close
#define lseek _lseek
#else
#include <unistd.h>
#endif

namespace {

struct pending_report {
    long ready_us;
    input_report bytes;
    size_t length;  // bytes of it that arrive
};

struct simulation {
    device_model device;
    bus_options bus;
    long now_us = 0;
    std::deque<pending_report> pending;
    inprocess_run* run = nullptr;
};

simulation* sim = nullptr;

bool is_model(size_t interface_number)
{
    return static_cast<int>(interface_number) == sim->bus.model_interface;
}

std::wstring wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The library's error text as the bus has it: its own words, another text, or none.
const wchar_t* said(const wchar_t* text)
{
    return !sim->bus.error_texts ? nullptr : sim->bus.error_text != nullptr ? sim->bus.error_text : text;
}

stand_in_result failure(const wchar_t* text)
{
    return {-1, said(text)};
}

void device_gone()
{
    sim->device.unplugged = true;
    sim->pending.clear();
}

int deliver(uint8_t* data, size_t length)
{
    const pending_report report = sim->pending.front();
    sim->pending.pop_front();
    const size_t count = std::min(length, report.length);
    std::memcpy(data, report.bytes.data(), count);
    sim->run->read_lengths.push_back(length);
    sim->run->last_answer_us = sim->now_us;
    return static_cast<int>(count);
}

}  // namespace

std::vector<stand_in_interface> answer_enumerate()
{
    std::vector<stand_in_interface> found;
    for (size_t i = 0; i < sim->bus.interfaces.size(); ++i) {
        if (is_model(i) && sim->device.unplugged && !sim->bus.gone_listed)
            continue;  // a device gone from the bus is not listed
        const interface_identity& identity = sim->bus.interfaces[i];
        stand_in_interface entry;
        entry.number = i;
        entry.has_path = identity.has_path;
        entry.path = "emulated:" + std::to_string(i);
        entry.vendor_id = identity.vendor_id;
        entry.product_id = identity.product_id;
        entry.has_manufacturer = entry.has_product = identity.has_strings;
        entry.manufacturer = wide(identity.manufacturer);
        entry.product = wide(identity.product);
        entry.usage_page = identity.usage_page;
        entry.usage = identity.usage;
        entry.has_serial = !identity.serial.empty();
        entry.serial = wide(identity.serial);
        found.push_back(entry);
    }
    return found;
}

stand_in_open answer_open(size_t interface_number)
{
    if (is_model(interface_number) && sim->device.unplugged)
        return {false, false, said(L"No such device")};
    if (!is_model(interface_number) || !sim->bus.fail_open)
        return {};
    const bool for_rights = sim->bus.open_for_rights;
    const wchar_t* text = for_rights ? OPEN_DENIED_REASON_WIDE : L"Input/output error";
    return {false, for_rights, said(text)};
}

bool answer_set_nonblocking(size_t)
{
    return !sim->bus.fail_nonblocking;
}

stand_in_result answer_write(size_t interface_number, const uint8_t* data, size_t length)
{
    const timing_profile& timing = sim->bus.timing;
    const long started = sim->now_us;
    sim->now_us += timing.report_us;  // the write's own USB frame
    const int written = sim->bus.written_count > 0 ? sim->bus.written_count : static_cast<int>(length);
    if (!is_model(interface_number))
        return {written, nullptr};
    if (sim->bus.held_elsewhere)
        return failure(WRITE_DENIED_REASON_WIDE);
    const device_response response = device_receive(sim->device, data, length, timing);
    const uint8_t command = length > PACKET_COMMAND_AT ? data[PACKET_COMMAND_AT] : 0;
    long& device_us = sim->run->device_us_by_command[command];
    if (response.unplug)
        device_gone();
    if (response.write_fails) {
        sim->now_us += response.write_blocks_ms * 1000L;
        device_us += sim->now_us - started;
        return failure(response.write_blocks_ms > 0 ? L"Connection timed out"
                       : sim->device.unplugged      ? L"No such device"
                                                    : L"Input/output error");
    }
    long ready = sim->now_us + response.work_us + response.delay_ms * 1000L;
    for (const input_report& reply : response.replies) {
        ready += timing.report_us;
        sim->pending.push_back(pending_report{ready, reply, response.reply_length});
    }
    device_us += device_time_us(response, timing);
    if (response.unplug_after)
        device_gone();
    return {written, nullptr};
}

stand_in_result answer_read(size_t interface_number, uint8_t* data, size_t length, int milliseconds)
{
    if (!is_model(interface_number) || sim->device.unplugged)
        return failure(L"No such device");
    if (milliseconds == 0 && sim->bus.keeps_sending)
        sim->pending.push_front(pending_report{sim->now_us, unasked_report(0), MODEL_INPUT_REPORT_SIZE});
    const bool ready = !sim->pending.empty() &&
                       (milliseconds < 0 || sim->pending.front().ready_us <= sim->now_us + milliseconds * 1000L);
    if (ready) {
        sim->now_us = std::max(sim->now_us, sim->pending.front().ready_us);
        return {deliver(data, length), nullptr};
    }
    if (milliseconds < 0) {
        // Would wait for ever: nothing will come.
        device_gone();
        return failure(L"No such device");
    }
    sim->now_us += milliseconds * 1000L;
    return {0, nullptr};
}

int64_t clock_ticks()
{
    return sim != nullptr ? sim->now_us : 0;
}

int64_t clock_ticks_per_second()
{
    return 1000000;
}

void clock_sleep_ms(int milliseconds)
{
    if (sim != nullptr)
        sim->now_us += milliseconds * 1000L;
}

// Runs the program with standard input read from a file holding `input` and
// standard output written to a file, and returns what it wrote; `input_left`
// is what it left unread.
static std::string run_with_console(const std::vector<std::string>& arguments, const std::string& input,
                                    int& exit_status, std::string& input_left)
{
    std::fflush(stdout);
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    if (in == nullptr || out == nullptr) {
        std::fprintf(stderr, "in-process run: no temporary files\n");
        std::abort();
    }
    const int saved_in = dup(0);
    const int saved_out = dup(1);
    if (std::fwrite(input.data(), 1, input.size(), in) != input.size() || std::fseek(in, 0, SEEK_SET) != 0 ||
        saved_in < 0 || saved_out < 0) {
        std::fprintf(stderr, "in-process run: cannot set up standard input and output\n");
        std::abort();
    }
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    std::clearerr(stdin);
    std::vector<const char*> argv{"quennet-update"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    exit_status = program_main(static_cast<int>(argv.size()), argv.data());
    std::fflush(stdout);
    const long consumed = static_cast<long>(lseek(0, 0, SEEK_CUR));
    input_left = consumed >= 0 && static_cast<size_t>(consumed) <= input.size() ? input.substr(static_cast<size_t>(consumed)) : "";
    dup2(saved_in, 0);
    dup2(saved_out, 1);
    close(saved_in);
    close(saved_out);
    std::clearerr(stdin);
    std::fclose(in);

    std::string console;
    char block[4096];
    if (std::fseek(out, 0, SEEK_SET) == 0) {
        // A short read is the end of the file or an error: no read after it.
        for (size_t count = sizeof block; count == sizeof block;) {
            count = std::fread(block, 1, sizeof block, out);
            console.append(block, count);
        }
    }
    std::fclose(out);
    return console;
}

inprocess_run run_in_process(const device_model& device, const std::string& input, const bus_options& bus,
                             const std::vector<std::string>& arguments)
{
    inprocess_run run;
    simulation world;
    world.device = device;
    world.bus = bus;
    world.run = &run;
    if (bus.model_interface < 0 || static_cast<size_t>(bus.model_interface) >= bus.interfaces.size())
        world.bus.model_interface = -1;
    else
        for (int i = 0; i < bus.stale_reports; ++i)
            world.pending.push_back(
                pending_report{0, unasked_report(static_cast<uint8_t>('0' + i % 10)), MODEL_INPUT_REPORT_SIZE});
    sim = &world;
    stand_in_begin();
    run.console = run_with_console(arguments, input, run.exit_status, run.input_left);
    run.calls = stand_in_record();
    sim = nullptr;
    run.device = std::move(world.device);
    run.elapsed_us = world.now_us;
    return run;
}
