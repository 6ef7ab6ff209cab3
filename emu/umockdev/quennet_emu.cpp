// SPDX-License-Identifier: MIT
// quennet-emu: runs quennet-update (or another command) against an emulated
// Quennet on an emulated USB bus, on this terminal, so that the program can be
// tried without the device. After each run it says what the device now holds.
// Like a real Quennet, the emulated one does not die of the terminal's
// signals: a Ctrl+C or a closed terminal reaches the program, which decides
// (before the consent it ends, after it the update goes on), and the device
// answers until the program ends; then quennet-emu ends too.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emu/model/device_options.h"
#include "emu/umockdev/child_process.h"
#include "emu/umockdev/testbed.h"

static void usage()
{
    std::fprintf(stderr,
                 "usage: quennet-emu [options] [-- command [arguments]]\n"
                 "%s"
                 "  --quennets N       number of Quennets on the bus (default 1)\n"
                 "  --fail-open        the device refuses to be opened\n"
                 "  --stale N          input reports waiting before the open\n"
                 "  --runs N           run the command N times, plugging the device in again between runs\n"
                 "Without a command, runs %s.\n",
                 DEVICE_OPTIONS_HELP, QUENNET_UPDATE_PATH);
}

enum : int { OPTION_QUENNETS = 'q', OPTION_FAIL_OPEN = 'f', OPTION_STALE = 's', OPTION_RUNS = 'r' };

int main(int argc, char** argv)
{
    bus_options options;
    device_options emulated;
    int quennets = 1;
    int runs = 1;
    const std::vector<option> long_options = device_long_options({
        {"quennets", required_argument, nullptr, OPTION_QUENNETS},
        {"fail-open", no_argument, nullptr, OPTION_FAIL_OPEN},
        {"stale", required_argument, nullptr, OPTION_STALE},
        {"runs", required_argument, nullptr, OPTION_RUNS},
    });
    opterr = 0;
    // "+": the first word that is no option starts the command.
    for (int code; (code = getopt_long(argc, argv, "+", long_options.data(), nullptr)) != -1;) {
        std::string error;
        const option_use use = take_device_option(code, optarg, emulated, error);
        if (use == option_use::bad) {
            std::fprintf(stderr, "quennet-emu: %s\n", error.c_str());
            return 2;
        }
        if (use == option_use::taken)
            continue;
        switch (code) {
        case OPTION_QUENNETS:
            quennets = std::atoi(optarg);
            break;
        case OPTION_FAIL_OPEN:
            options.fail_open = true;
            break;
        case OPTION_STALE:
            options.stale_reports = std::atoi(optarg);
            break;
        case OPTION_RUNS:
            runs = std::max(1, std::atoi(optarg));
            break;
        default:
            usage();
            return 2;
        }
    }
    std::vector<std::string> command(argv + optind, argv + argc);
    if (emulated.realistic)
        options.timing = realistic_timing();
    if (command.empty())
        command.push_back(QUENNET_UPDATE_PATH);

    options.interfaces.clear();
    for (int q = 0; q < quennets; ++q) {
        interface_identity identity;
        identity.usb_device = q;
        options.interfaces.push_back(identity);
    }
    if (emulated.other_interface) {
        interface_identity audio_controls;  // the device's consumer-control interface
        audio_controls.usage_page = 0x000C;
        audio_controls.usage = 0x0001;
        options.interfaces.insert(options.interfaces.begin(), audio_controls);
        options.model_interface = 1;
    }

    // The program gets these as by default (see run_child).
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    device_model device = emulated.device;
    int status = 0;
    for (int run = 0; run < runs; ++run) {
        std::unique_ptr<emulated_bus> bus = bus_create(options, device);
        if (!bus)
            return 2;
        child_options child;
        child.argv = command;
        child.environment = bus_child_environment();
        child.capture = false;
        const child_outcome outcome = run_child(child);
        device = device_after_replug(bus_device(*bus));
        bus_destroy(bus);
        if (!outcome.started) {
            std::fprintf(stderr, "quennet-emu: %s\n", outcome.errors.c_str());
            return 2;
        }
        status = outcome.signal != 0 ? 128 + outcome.signal : outcome.exit_status;
        std::fprintf(stderr,
                     "\nquennet-emu: exit status %d; the device received %zu packets and now runs Mainboard "
                     "v%X.%02X, Control v%X.%02X; it %s the release this build carries\n",
                     status, device.packets.size(), device.mainboard_version.major, device.mainboard_version.minor,
                     device.control_version.major, device.control_version.minor,
                     device_holds_release(device) ? "holds" : "does not hold");
        device.packets.clear();
    }
    return status;
}
