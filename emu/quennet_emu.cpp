// SPDX-License-Identifier: MIT
// quennet-emu: runs quennet-update (or another command) against an emulated
// Quennet on an emulated USB bus, on this terminal, so that the program can be
// tried without the device. After each run it says what the device now holds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emu/child_process.h"
#include "emu/testbed.h"

static void usage()
{
    std::fprintf(stderr,
                 "usage: quennet-emu [options] [-- command [arguments]]\n"
                 "  --mainboard V     Mainboard version the device runs (default 0.95; 0.90 asks for a power cycle)\n"
                 "  --control V       Control version the device runs (default 0.98)\n"
                 "  --fault F         a device fault, repeatable:\n"
                 "                      status=C | garble=C | wait=N | no-reply | lost | write-fail |\n"
                 "                      unplug | unplug-after | stop | delay=MS | echo=N\n"
                 "                      optionally @index=N,command=0xNN,address=N,times=N (-1: always)\n"
                 "  --quennets N      number of Quennets on the bus (default 1)\n"
                 "  --other-interface add the device's second, non-update HID interface\n"
                 "  --fail-open       the device refuses to be opened\n"
                 "  --stale N         input reports waiting before the open\n"
                 "  --realistic       answer with the timing of a real device on a full-speed bus\n"
                 "  --runs N          run the command N times, plugging the device in again between runs\n"
                 "Without a command, runs %s.\n",
                 QUENNET_UPDATE_PATH);
}

static bool next_value(int argc, char** argv, int& i, std::string& value)
{
    if (i + 1 >= argc)
        return false;
    value = argv[++i];
    return true;
}

int main(int argc, char** argv)
{
    bus_options options;
    version_pair mainboard{0x00, 0x95};
    version_pair control{0x00, 0x98};
    std::vector<fault_rule> faults;
    int quennets = 1;
    int runs = 1;
    bool other_interface = false;
    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        std::string value;
        std::string error;
        if (option == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (option == "--fail-open") {
            options.fail_open = true;
        } else if (option == "--realistic") {
            options.timing = realistic_timing();
        } else if (option == "--other-interface") {
            other_interface = true;
        } else if (option == "--mainboard" || option == "--control") {
            if (!next_value(argc, argv, i, value) || !parse_version(value, option == "--mainboard" ? mainboard : control)) {
                std::fprintf(stderr, "quennet-emu: %s takes a version such as 0.95\n", option.c_str());
                return 2;
            }
        } else if (option == "--quennets" && next_value(argc, argv, i, value)) {
            quennets = std::atoi(value.c_str());
        } else if (option == "--stale" && next_value(argc, argv, i, value)) {
            options.stale_reports = std::atoi(value.c_str());
        } else if (option == "--runs" && next_value(argc, argv, i, value)) {
            runs = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--fault" && next_value(argc, argv, i, value)) {
            fault_rule rule;
            if (!parse_fault_rule(value, rule, error)) {
                std::fprintf(stderr, "quennet-emu: %s\n", error.c_str());
                return 2;
            }
            faults.push_back(rule);
        } else {
            usage();
            return 2;
        }
    }
    if (command.empty())
        command.push_back(QUENNET_UPDATE_PATH);

    options.interfaces.clear();
    for (int q = 0; q < quennets; ++q) {
        interface_identity identity;
        identity.usb_device = q;
        options.interfaces.push_back(identity);
    }
    if (other_interface) {
        interface_identity audio_controls;  // the device's consumer-control interface
        audio_controls.usage_page = 0x000C;
        audio_controls.usage = 0x0001;
        options.interfaces.insert(options.interfaces.begin(), audio_controls);
        options.model_interface = 1;
    }

    device_model device = make_device_model(mainboard, control);
    device.faults = faults;
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
