// SPDX-License-Identifier: MIT
// quennet-bench: what a complete update costs, measured against the emulated
// Quennet with the timing of a real device on a USB full-speed bus.
//
// For each run it prints the reports each way, the device's own time (USB
// frames and work), the wall time and the CPU time of the quennet-update
// process. The same traffic is then replayed by a client that does nothing
// but the hidapi calls: what the update takes beyond the replay is the
// program's own. Last, the CPU time quennet-update spends waiting through one
// 1000 ms reply time-out.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "emu/umockdev/child_process.h"
#include "emu/umockdev/testbed.h"

namespace {

struct measured {
    child_outcome child;
    long reports_out = 0;
    long reports_in = 0;
    double device_seconds = 0;
    std::vector<packet_record> packets;
    std::vector<int> reads_after_packet;
};

double seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

double cpu_seconds(const rusage& usage)
{
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

measured run(const std::vector<std::string>& argv, const std::string& input, const bus_options& options,
             const device_model& device)
{
    measured result;
    std::unique_ptr<emulated_bus> bus = bus_create(options, device);
    if (!bus) {
        std::fprintf(stderr, "quennet-bench: the emulated bus could not be built\n");
        std::exit(2);
    }
    child_options child;
    child.argv = argv;
    child.environment = bus_child_environment();
    child.input = input;
    child.timeout_ms = 600000;
    result.child = run_child(child);
    {
        std::lock_guard<std::mutex> guard(bus->lock);
        result.reports_out = static_cast<long>(bus->device.packets.size());
        result.reports_in = static_cast<long>(bus->read_lengths.size());
        result.device_seconds = static_cast<double>(bus->device_time_us) * 1e-6;
        result.packets = bus->device.packets;
        result.reads_after_packet = bus->reads_after_packet;
        result.reads_after_packet.resize(result.packets.size(), 0);
    }
    bus_destroy(bus);
    if (!result.child.started || result.child.timed_out || result.child.exit_status < 0) {
        std::fprintf(stderr, "quennet-bench: %s did not run to its end\n", argv[0].c_str());
        std::exit(2);
    }
    return result;
}

device_model quennet()
{
    return make_device_model();
}

void write_recording(const measured& update, const std::string& path)
{
    std::ofstream out(path);
    for (size_t i = 0; i < update.packets.size(); ++i) {
        for (uint8_t byte : update.packets[i].bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02X", byte);
            out << pair;
        }
        out << ' ' << update.reads_after_packet[i] << '\n';
    }
}

double mean_cpu(const std::string& input, const device_model& device, int times)
{
    double total = 0;
    for (int i = 0; i < times; ++i)
        total += cpu_seconds(run({QUENNET_UPDATE_PATH}, input, bus_options{}, device).child.usage);
    return total / times;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    bus_options realistic;
    realistic.timing = realistic_timing();
    char recording_path[] = "/tmp/quennet-bench-XXXXXX";
    const int recording_file = mkstemp(recording_path);
    if (recording_file < 0)
        return 2;
    close(recording_file);
    const std::string recording = recording_path;

    std::printf("complete updates against the emulated Quennet, realistic timing; each followed by a replay\n"
                "of its traffic through hidapi alone (the emulation layer and the device, no program):\n\n");
    std::printf("  %-3s %5s %4s %8s | %7s %6s %6s %6s | %7s %6s | %8s %8s\n", "run", "out", "in", "device", "wall",
                "user", "sys", "CPU%", "replay", "r.CPU", "own wall", "own CPU");
    for (int i = 1; i <= runs; ++i) {
        const measured update = run({QUENNET_UPDATE_PATH}, "y\n", realistic, quennet());
        if (update.child.exit_status != 0) {
            std::fprintf(stderr, "quennet-bench: the update failed\n%s", update.child.output.c_str());
            return 1;
        }
        write_recording(update, recording);
        // The replay talks to a device in the state the update found.
        const measured replay = run({REPLAY_CLIENT_PATH, recording}, "", realistic, quennet());
        if (replay.child.exit_status != 0) {
            std::fprintf(stderr, "quennet-bench: the replay failed\n");
            return 1;
        }
        const double cpu = cpu_seconds(update.child.usage);
        const double replay_cpu = cpu_seconds(replay.child.usage);
        std::printf("  %-3d %5ld %4ld %7.3fs | %6.3fs %5.3fs %5.3fs %5.2f%% | %6.3fs %5.3fs | %7.3fs %7.3fs\n", i,
                    update.reports_out, update.reports_in, update.device_seconds, update.child.seconds,
                    seconds(update.child.usage.ru_utime), seconds(update.child.usage.ru_stime),
                    100.0 * cpu / update.child.seconds, replay.child.seconds, replay_cpu,
                    update.child.seconds - replay.child.seconds, cpu - replay_cpu);
    }
    std::remove(recording.c_str());
    std::printf("\n  device: the emulated device's own time (one report per 1 ms frame each way, EEPROM and flash work)\n"
                "  replay, r.CPU: wall and CPU time of the same traffic without the program\n"
                "  own wall, own CPU: what the update takes beyond its replay\n");

    // One reply time-out: the same refused run with and without a withheld reply.
    device_model silent = quennet();
    fault_rule rule;
    std::string error;
    parse_fault_rule("no-reply@command=0x10", rule, error);
    silent.faults.push_back(rule);
    const int times = 5;
    const double without = mean_cpu("n\n", quennet(), times);
    const double with = mean_cpu("n\n", silent, times);
    std::printf("\none 1000 ms reply time-out (runs refused at consent, mean of %d each):\n"
                "  CPU %.2f ms with it, %.2f ms without: %.2f ms spent waiting\n",
                times, with * 1e3, without * 1e3, (with - without) * 1e3);
    return 0;
}
