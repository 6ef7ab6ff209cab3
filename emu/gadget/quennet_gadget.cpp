// SPDX-License-Identifier: MIT
// quennet-gadget: the emulated Quennet as a real USB device. Inside a Linux
// machine with a USB device controller (dummy_hcd in the test machine) it
// creates a configfs HID gadget with the Quennet's identity and report
// descriptor, binds it to the controller, and answers every output report it
// reads from its /dev/hidgN with what the device model says. The host side of
// the same kernel (usbcore, usbhid, hid-generic, hidraw) then shows it to
// quennet-update as it would show a real Quennet.
//
// An unplug is real: the gadget is unbound from its controller, and so is a
// restart, after which it is bound again, as a real Quennet leaves the bus
// and enumerates again (the host gives it a new hidraw node). A device
// that stops reading leaves the host's writes to the kernel. The device's
// memory outlives the process through --state-out and --state-in, so that a
// replug powers up holding what it stored.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "emu/model/bus_options.h"
#include "emu/model/device_options.h"
#include "emu/model/report_descriptor.h"

namespace {

const std::string GADGETS = "/sys/kernel/config/usb_gadget/";

struct gadget_options {
    std::string name = "quennet";
    std::string udc = "dummy_udc.0";
    uint16_t product_id = interface_identity{}.product_id;
    int unsolicited_before = 0;    // input reports written before the host opens the device
    int unsolicited_every = 0;     // after every N-th packet, reports the host must drop
    std::string state_in, state_out, record, memory;
    bool restart_in_place = false;  // a restart keeps the gadget on the bus
    device_options emulated;  // the device: versions, faults, timing, its other interface
};

volatile std::sig_atomic_t stopping = 0;

void on_signal(int)
{
    stopping = 1;
}

bool write_file(const std::string& path, const std::string& text, bool quiet = false)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out && !quiet) {
        std::fprintf(stderr, "quennet-gadget: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool make_dir(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "quennet-gadget: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

std::string as_text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

bool add_function(const std::string& gadget, const std::string& function, const std::string& descriptor,
                  int report_length)
{
    const std::string dir = gadget + "/functions/" + function;
    return make_dir(dir) && write_file(dir + "/protocol", "0") && write_file(dir + "/subclass", "0") &&
           write_file(dir + "/report_length", std::to_string(report_length)) &&
           write_file(dir + "/report_desc", descriptor) &&
           symlink(dir.c_str(), (gadget + "/configs/c.1/" + function).c_str()) == 0;
}

std::vector<std::string> functions_of(const gadget_options& options)
{
    if (options.emulated.other_interface)
        return {"hid.controls", "hid.update"};
    return {"hid.update"};
}

bool create_gadget(const gadget_options& options)
{
    const std::string g = GADGETS + options.name;
    // The identity every emulated bus gives the Quennet, but for the
    // product id a scenario may change.
    const interface_identity quennet;
    char vendor[16], product[16];
    std::snprintf(vendor, sizeof vendor, "0x%04x", quennet.vendor_id);
    std::snprintf(product, sizeof product, "0x%04x", options.product_id);
    bool ok = make_dir(g) && write_file(g + "/idVendor", vendor) && write_file(g + "/idProduct", product) &&
              write_file(g + "/bcdDevice", "0x0100") && write_file(g + "/bcdUSB", "0x0200") &&
              make_dir(g + "/strings/0x409") && write_file(g + "/strings/0x409/manufacturer", quennet.manufacturer) &&
              write_file(g + "/strings/0x409/product", quennet.product) &&
              write_file(g + "/strings/0x409/serialnumber", quennet.serial) && make_dir(g + "/configs/c.1") &&
              make_dir(g + "/configs/c.1/strings/0x409") &&
              write_file(g + "/configs/c.1/strings/0x409/configuration", "Quennet") &&
              write_file(g + "/configs/c.1/MaxPower", "100");
    if (ok && options.emulated.other_interface)
        ok = add_function(g, "hid.controls", as_text(controls_report_descriptor()), 8);
    return ok && add_function(g, "hid.update", as_text(update_report_descriptor()), static_cast<int>(MODEL_INPUT_REPORT_SIZE));
}

// Binds the gadget to its controller, or unbinds it: the host sees a
// device connected, or disconnected.
bool attach(const gadget_options& options, bool on)
{
    return write_file(GADGETS + options.name + "/UDC", on ? options.udc : "\n");
}

void remove_gadget(const gadget_options& options)
{
    const std::string g = GADGETS + options.name;
    write_file(g + "/UDC", "\n", true);  // it may be unbound, or not there at all
    for (const std::string& function : functions_of(options)) {
        std::string link = g;
        link.append("/configs/c.1/").append(function);
        unlink(link.c_str());
        std::string dir = g;
        dir.append("/functions/").append(function);
        rmdir(dir.c_str());
    }
    rmdir((g + "/configs/c.1/strings/0x409").c_str());
    rmdir((g + "/configs/c.1").c_str());
    rmdir((g + "/strings/0x409").c_str());
    rmdir(g.c_str());
}

// The /dev/hidgN node of the update function, from its device number.
std::string update_node(const gadget_options& options)
{
    const std::string dev = read_file(GADGETS + options.name + "/functions/hid.update/dev");
    const size_t colon = dev.find(':');
    return colon == std::string::npos ? "" : "/dev/hidg" + std::to_string(std::atoi(dev.c_str() + colon + 1));
}

// Opens the update function's node, which appears shortly after the bind.
int open_update_node(const gadget_options& options)
{
    const std::string node = update_node(options);
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; ++tries) {
        fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (fd < 0)
        std::fprintf(stderr, "quennet-gadget: cannot open %s: %s\n", node.c_str(), std::strerror(errno));
    return fd;
}

// How long the emulated Quennet stays off the bus when it restarts: long
// enough for the host, wine's bus driver included, to have taken the old
// device away before the new one comes (with a second, wine at times showed
// a device of two interfaces, the old one first, never again).
constexpr int RESTART_OFF_BUS_MS = 3000;

// Writes one input report, waiting at most a second for the host to take
// the one before.
bool send_report(int fd, const uint8_t* bytes, size_t length)
{
    pollfd ready{fd, POLLOUT, 0};
    if (poll(&ready, 1, 1000) <= 0)
        return false;
    return write(fd, bytes, length) == static_cast<ssize_t>(length);
}

// Reports the host's HID layer must drop: an unknown report id, and a
// report shorter than the descriptor says.
void send_unsolicited(int fd)
{
    input_report unknown = unasked_report(0);
    unknown[0] = 0x01;
    send_report(fd, unknown.data(), unknown.size());
    const uint8_t short_report[8] = {REPORT_ID_UPDATE, 0xEE, 0, 0, 0, STATUS_OK, 0, 0};
    send_report(fd, short_report, sizeof short_report);
}

// --- The device's memory across runs -------------------------------------------
constexpr char STATE_MAGIC[8] = {'Q', 'N', 'S', 'T', 'A', 'T', 'E', '1'};

bool save_state(const device_model& device, const std::string& path)
{
    std::string bytes(STATE_MAGIC, sizeof STATE_MAGIC);
    bytes += static_cast<char>(device.mainboard_version.major);
    bytes += static_cast<char>(device.mainboard_version.minor);
    bytes += static_cast<char>(device.control_version.major);
    bytes += static_cast<char>(device.control_version.minor);
    bytes += static_cast<char>(device.eeprom_modified);
    bytes += static_cast<char>(device.flash_state);
    bytes.append(reinterpret_cast<const char*>(device.eeprom.data()), device.eeprom.size());
    bytes.append(reinterpret_cast<const char*>(device.flash.data()), device.flash.size());
    for (bool committed : device.flash_blocks_committed)
        bytes += static_cast<char>(committed);
    return write_file(path, bytes);
}

bool load_state(device_model& device, const std::string& path)
{
    const std::string bytes = read_file(path);
    const size_t expected = sizeof STATE_MAGIC + 6 + device.eeprom.size() + device.flash.size() +
                            device.flash_blocks_committed.size();
    if (bytes.size() != expected || bytes.compare(0, sizeof STATE_MAGIC, STATE_MAGIC, sizeof STATE_MAGIC) != 0)
        return false;
    size_t at = sizeof STATE_MAGIC;
    auto next = [&bytes, &at] { return static_cast<uint8_t>(bytes[at++]); };
    device.mainboard_version.major = next();
    device.mainboard_version.minor = next();
    device.control_version.major = next();
    device.control_version.minor = next();
    device.eeprom_modified = next() != 0;
    device.flash_state = static_cast<flash_content>(next());
    std::memcpy(device.eeprom.data(), bytes.data() + at, device.eeprom.size());
    at += device.eeprom.size();
    std::memcpy(device.flash.data(), bytes.data() + at, device.flash.size());
    at += device.flash.size();
    for (size_t i = 0; i < device.flash_blocks_committed.size(); ++i)
        device.flash_blocks_committed[i] = next() != 0;
    device = device_after_replug(device);
    return true;
}

// What the run left: every packet with the replies it got, the memory, and
// a summary line.
void write_outcome(const gadget_options& options, const device_model& device, const std::vector<int>& replies)
{
    if (!options.record.empty()) {
        std::string text;
        char pair[3];
        for (size_t i = 0; i < device.packets.size(); ++i) {
            for (uint8_t byte : device.packets[i].bytes) {
                std::snprintf(pair, sizeof pair, "%02X", byte);
                text += pair;
            }
            text += " " + std::to_string(i < replies.size() ? replies[i] : 0) + "\n";
        }
        write_file(options.record, text);
    }
    if (!options.memory.empty()) {
        write_file(options.memory + "/eeprom.bin",
                   std::string(reinterpret_cast<const char*>(device.eeprom.data()), device.eeprom.size()));
        write_file(options.memory + "/flash.bin",
                   std::string(reinterpret_cast<const char*>(device.flash.data()), device.flash.size()));
        char summary[160];
        std::snprintf(summary, sizeof summary, "packets %zu restarts %d busy_us %ld holds_release %d\n",
                      device.packets.size(), device.restarts, device.busy_us, device_holds_release(device) ? 1 : 0);
        write_file(options.memory + "/device.txt", summary);
    }
    if (!options.state_out.empty())
        save_state(device, options.state_out);
}

// Answers the host until told to stop or unplugged; returns the number of
// replies sent after each packet.
std::vector<int> serve(gadget_options& options, int& fd)
{
    const timing_profile timing = options.emulated.realistic ? realistic_timing() : timing_profile{};
    std::vector<int> replies;
    bool reading = true;
    while (!stopping) {
        if (!reading) {
            // A device that hangs: the host's reports stay in the USB layer.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        uint8_t report[256];
        const ssize_t count = read(fd, report, sizeof report);
        if (count <= 0)
            continue;
        const int restarts = options.emulated.device.restarts;
        const device_response response = device_receive(options.emulated.device, report, static_cast<size_t>(count), timing);
        replies.push_back(0);
        if (options.emulated.device.restarts != restarts && !options.restart_in_place) {
            close(fd);
            attach(options, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(RESTART_OFF_BUS_MS));
            if (!attach(options, true) || (fd = open_update_node(options)) < 0)
                break;
            continue;
        }
        if (response.unplug) {
            attach(options, false);  // a real disconnect
            break;
        }
        if (options.emulated.device.stopped) {
            reading = false;
            continue;
        }
        const long wait_us = response.work_us + response.delay_ms * 1000L;
        if (wait_us > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(wait_us));
        for (const input_report& reply : response.replies)
            replies.back() += send_report(fd, reply.data(), response.reply_length) ? 1 : 0;
        if (response.unplug_after) {
            attach(options, false);
            break;
        }
        if (options.unsolicited_every > 0 && replies.size() % static_cast<size_t>(options.unsolicited_every) == 0)
            send_unsolicited(fd);
    }
    return replies;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: quennet-gadget [options]\n"
                 "%s"
                 "  --name NAME             configfs gadget name (default quennet)\n"
                 "  --udc UDC               USB device controller (default dummy_udc.0)\n"
                 "  --product-id 0xNNNN     another product id (default 0x%04x)\n"
                 "  --unsolicited-before N  input reports sent before the host opens the device\n"
                 "  --unsolicited-every N   after every N-th packet, reports the host must drop\n"
                 "  --state-in FILE         power up holding what an earlier run stored\n"
                 "  --state-out FILE        store what the device holds, at the end\n"
                 "  --record FILE           every packet received, in hex, and the replies sent\n"
                 "  --memory DIR            eeprom.bin, flash.bin and device.txt, at the end\n"
                 "  --restart-in-place      a restart keeps the device on the bus (default: it leaves\n"
                 "                          the bus for 3 s and comes back as a new device)\n"
                 "Runs until SIGTERM or SIGINT, or until an unplug fault.\n",
                 DEVICE_OPTIONS_HELP, static_cast<unsigned>(interface_identity{}.product_id));
}

enum : int {
    OPTION_NAME = 'n',
    OPTION_UDC = 'u',
    OPTION_PRODUCT_ID = 'p',
    OPTION_UNSOLICITED_BEFORE = 'b',
    OPTION_UNSOLICITED_EVERY = 'e',
    OPTION_STATE_IN = 'i',
    OPTION_STATE_OUT = 'o',
    OPTION_RECORD = 'r',
    OPTION_MEMORY = 'm',
    OPTION_RESTART_IN_PLACE = 'P',
};

bool parse(int argc, char** argv, gadget_options& options)
{
    const std::vector<option> long_options = device_long_options({
        {"name", required_argument, nullptr, OPTION_NAME},
        {"udc", required_argument, nullptr, OPTION_UDC},
        {"product-id", required_argument, nullptr, OPTION_PRODUCT_ID},
        {"unsolicited-before", required_argument, nullptr, OPTION_UNSOLICITED_BEFORE},
        {"unsolicited-every", required_argument, nullptr, OPTION_UNSOLICITED_EVERY},
        {"state-in", required_argument, nullptr, OPTION_STATE_IN},
        {"state-out", required_argument, nullptr, OPTION_STATE_OUT},
        {"record", required_argument, nullptr, OPTION_RECORD},
        {"memory", required_argument, nullptr, OPTION_MEMORY},
        {"restart-in-place", no_argument, nullptr, OPTION_RESTART_IN_PLACE},
    });
    opterr = 0;
    for (int code; (code = getopt_long(argc, argv, "", long_options.data(), nullptr)) != -1;) {
        std::string error;
        const option_use use = take_device_option(code, optarg, options.emulated, error);
        if (use == option_use::bad) {
            std::fprintf(stderr, "quennet-gadget: %s\n", error.c_str());
            return false;
        }
        if (use == option_use::taken)
            continue;
        switch (code) {
        case OPTION_NAME:
            options.name = optarg;
            break;
        case OPTION_UDC:
            options.udc = optarg;
            break;
        case OPTION_PRODUCT_ID:
            options.product_id = static_cast<uint16_t>(std::strtoul(optarg, nullptr, 0));
            break;
        case OPTION_UNSOLICITED_BEFORE:
            options.unsolicited_before = std::atoi(optarg);
            break;
        case OPTION_UNSOLICITED_EVERY:
            options.unsolicited_every = std::atoi(optarg);
            break;
        case OPTION_STATE_IN:
            options.state_in = optarg;
            break;
        case OPTION_STATE_OUT:
            options.state_out = optarg;
            break;
        case OPTION_RECORD:
            options.record = optarg;
            break;
        case OPTION_MEMORY:
            options.memory = optarg;
            break;
        case OPTION_RESTART_IN_PLACE:
            options.restart_in_place = true;
            break;
        default:
            return false;
        }
    }
    return optind == argc;
}

}  // namespace

int main(int argc, char** argv)
{
    gadget_options options;
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    if (!options.state_in.empty()) {
        const std::vector<fault_rule> faults = options.emulated.device.faults;
        if (!load_state(options.emulated.device, options.state_in)) {
            std::fprintf(stderr, "quennet-gadget: %s holds no device state\n", options.state_in.c_str());
            return 2;
        }
        options.emulated.device.faults = faults;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    remove_gadget(options);  // what an earlier run may have left
    if (!create_gadget(options) || !attach(options, true)) {
        remove_gadget(options);
        return 1;
    }
    int fd = open_update_node(options);
    if (fd < 0) {
        remove_gadget(options);
        return 1;
    }
    for (int i = 0; i < options.unsolicited_before; ++i) {
        const input_report stale = unasked_report(STATUS_OK);
        if (write(fd, stale.data(), stale.size()) < 0)
            break;  // one is in flight until the host polls: the rest would wait
    }
    std::printf("quennet-gadget: %s bound to %s, answering on %s\n", options.name.c_str(), options.udc.c_str(),
                update_node(options).c_str());
    std::fflush(stdout);
    const std::vector<int> replies = serve(options, fd);
    if (fd >= 0)
        close(fd);
    write_outcome(options, options.emulated.device, replies);
    remove_gadget(options);
    return 0;
}
