// SPDX-License-Identifier: MIT
// hidapi's functions and the platform counter, answered by the emulated
// Quennet in this process on a simulated clock (see emu/inprocess.h).
#include "emu/inprocess.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>

#include <hidapi.h>

#include "app/update_run.h"
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

// The fuzz build's stand-in has a record of this name too; the two never
// meet in one program.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct hid_device_ {
    size_t interface_index;
};

namespace {

// A run that calls the library far beyond every bound the program has is
// stopped here, so that a missing bound fails a test instead of hanging it:
// from then on every read and write fails.
constexpr long RUNAWAY_CALLS = 4 * MAX_DEVICE_CALLS;

struct pending_report {
    long ready_us;
    input_report bytes;
};

struct simulation {
    device_model device;
    bus_options bus;
    long now_us = 0;
    std::deque<pending_report> pending;
    std::vector<hid_device_> handles;
    std::wstring error;
    bool has_error = false;
    inprocess_run* run = nullptr;
};

simulation* sim = nullptr;

bool runaway()
{
    ++sim->run->calls.calls;
    return sim->run->calls.calls > RUNAWAY_CALLS;
}

bool is_model(const hid_device* dev)
{
    return dev != nullptr && static_cast<int>(dev->interface_index) == sim->bus.model_interface;
}

std::string interface_path(size_t index)
{
    return "emulated:" + std::to_string(index);
}

wchar_t* wide_copy(const std::string& text)
{
    auto* copy = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
    for (size_t i = 0; i < text.size(); ++i)
        copy[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    return copy;
}

char* text_copy(const std::string& text)
{
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void device_gone()
{
    sim->device.unplugged = true;
    sim->pending.clear();
}

int deliver(unsigned char* data, size_t length)
{
    const pending_report report = sim->pending.front();
    sim->pending.pop_front();
    const size_t count = std::min(length, report.bytes.size());
    std::memcpy(data, report.bytes.data(), count);
    sim->run->read_lengths.push_back(length);
    sim->run->last_answer_us = sim->now_us;
    return static_cast<int>(count);
}

void set_error(const wchar_t* text)
{
    sim->error = text;
    sim->has_error = true;
}

}  // namespace

int64_t clock_ticks()
{
    return sim != nullptr ? sim->now_us : 0;
}

int64_t clock_ticks_per_second()
{
    return 1000000;
}

extern "C" {

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    runaway();
    ++sim->run->calls.enumerations;
    if (vendor_id != 0 || product_id != 0)
        sim->run->calls.filtered_enumeration = true;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (size_t i = 0; i < sim->bus.interfaces.size(); ++i) {
        const interface_identity& identity = sim->bus.interfaces[i];
        auto* entry = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        entry->path = text_copy(interface_path(i));
        entry->vendor_id = identity.vendor_id;
        entry->product_id = identity.product_id;
        entry->serial_number = wide_copy("");
        if (identity.has_strings) {
            entry->manufacturer_string = wide_copy(identity.manufacturer);
            entry->product_string = wide_copy(identity.product);
        }
        entry->usage_page = identity.usage_page;
        entry->usage = identity.usage;
        entry->interface_number = static_cast<int>(i);
        *tail = entry;
        tail = &entry->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs)
{
    runaway();
    while (devs != nullptr) {
        hid_device_info* following = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = following;
    }
}

hid_device* hid_open_path(const char* path)
{
    runaway();
    ++sim->run->calls.opens;
    for (size_t i = 0; i < sim->handles.size(); ++i) {
        if (path == nullptr || interface_path(i) != path)
            continue;
        if (static_cast<int>(i) == sim->bus.model_interface && sim->bus.fail_open)
            return nullptr;
        return &sim->handles[i];
    }
    return nullptr;
}

int hid_set_nonblocking(hid_device* dev, int)
{
    runaway();
    return dev != nullptr ? 0 : -1;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    const bool stopped = runaway();
    const timing_profile& timing = sim->bus.timing;
    const long started = sim->now_us;
    sim->now_us += timing.report_us;  // the write's own USB frame
    if (!is_model(dev)) {
        record_write(sim->run->calls, data, length, stopped);
        return stopped ? -1 : static_cast<int>(length);
    }
    if (stopped) {
        record_write(sim->run->calls, data, length, true);
        device_gone();
        set_error(L"No such device");
        return -1;
    }
    const device_response response = device_receive(sim->device, data, length, timing);
    record_write(sim->run->calls, data, length, response.write_fails);
    const uint8_t command = length > PACKET_COMMAND_AT ? data[PACKET_COMMAND_AT] : 0;
    long& device_us = sim->run->device_us_by_command[command];
    if (response.unplug)
        device_gone();
    if (response.write_fails) {
        sim->now_us += response.write_blocks_ms * 1000L;
        set_error(response.write_blocks_ms > 0 ? L"Connection timed out"
                                               : sim->device.unplugged ? L"No such device" : L"Input/output error");
        device_us += sim->now_us - started;
        return -1;
    }
    long ready = sim->now_us + response.work_us + response.delay_ms * 1000L;
    for (const input_report& reply : response.replies) {
        ready += timing.report_us;
        sim->pending.push_back(pending_report{ready, reply});
    }
    device_us += device_time_us(response, timing);
    if (response.unplug_after)
        device_gone();
    return static_cast<int>(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    const bool stopped = runaway();
    record_reply_read(sim->run->calls, milliseconds);
    if (stopped || !is_model(dev) || sim->device.unplugged) {
        set_error(L"No such device");
        return -1;
    }
    if (!sim->pending.empty() && (milliseconds < 0 || sim->pending.front().ready_us <= sim->now_us + milliseconds * 1000L)) {
        sim->now_us = std::max(sim->now_us, sim->pending.front().ready_us);
        return deliver(data, length);
    }
    if (milliseconds < 0) {
        // Would wait for ever: nothing will come.
        device_gone();
        return -1;
    }
    sim->now_us += milliseconds * 1000L;
    return 0;
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    const bool stopped = runaway();
    ++sim->run->calls.drain_reads;
    if (stopped || !is_model(dev) || sim->device.unplugged)
        return -1;
    if (sim->bus.keeps_sending) {
        sim->pending.push_front(pending_report{sim->now_us, unasked_report(0)});
    }
    if (sim->pending.empty() || sim->pending.front().ready_us > sim->now_us)
        return 0;
    return deliver(data, length);
}

const wchar_t* hid_error(hid_device*)
{
    runaway();
    return sim->has_error ? sim->error.c_str() : nullptr;
}

void hid_close(hid_device*)
{
    runaway();
    ++sim->run->calls.closes;
}

int hid_exit()
{
    runaway();
    ++sim->run->calls.exits;
    return 0;
}

}  // extern "C"

// Runs update_run() with standard input read from a file holding `input` and
// standard output written to a file, and returns what it wrote; `input_left`
// is what it left unread.
static std::string run_with_console(const std::string& input, int& exit_status, std::string& input_left)
{
    std::fflush(stdout);
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    if (in == nullptr || out == nullptr) {
        std::fprintf(stderr, "in-process run: no temporary files\n");
        std::abort();
    }
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    const int saved_in = dup(0);
    const int saved_out = dup(1);
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    std::clearerr(stdin);
    exit_status = update_run();
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
    std::rewind(out);
    char block[4096];
    for (size_t count; (count = std::fread(block, 1, sizeof block, out)) > 0;)
        console.append(block, count);
    std::fclose(out);
    return console;
}

inprocess_run run_in_process(const device_model& device, const std::string& input, const bus_options& bus)
{
    inprocess_run run;
    simulation world;
    world.device = device;
    world.bus = bus;
    world.run = &run;
    for (size_t i = 0; i < bus.interfaces.size(); ++i)
        world.handles.push_back(hid_device_{i});
    if (bus.model_interface < 0 || static_cast<size_t>(bus.model_interface) >= bus.interfaces.size())
        world.bus.model_interface = -1;
    else
        for (int i = 0; i < bus.stale_reports; ++i) {
            world.pending.push_back(pending_report{0, unasked_report(static_cast<uint8_t>('0' + i % 10))});
        }
    sim = &world;
    run.console = run_with_console(input, run.exit_status, run.input_left);
    sim = nullptr;
    run.device = std::move(world.device);
    run.elapsed_us = world.now_us;
    return run;
}
