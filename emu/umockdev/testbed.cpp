// SPDX-License-Identifier: MIT
#include "emu/umockdev/testbed.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <umockdev.h>

#include "emu/model/report_descriptor.h"

// Runs device answers after their emulated delay, off umockdev's worker thread.
struct delayed_actions {
    std::mutex lock;
    std::condition_variable wake;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due;
    bool stopping = false;
    std::thread worker;
};

static delayed_actions* scheduler = nullptr;

static std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

static void complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

// Writes into the program's ioctl argument.
static bool fill_argument(UMockdevIoctlClient* client, const void* bytes, size_t length)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, length, &error);
    if (data == nullptr) {
        g_clear_error(&error);
        return false;
    }
    std::memcpy(data->data, bytes, length);
    g_object_unref(data);
    return true;
}

static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data)
{
    bus_node& node = *static_cast<bus_node*>(user_data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::unique_lock<std::mutex> guard(node.bus->lock);
    if (request == HIDIOCGRDESCSIZE) {
        if (node.is_model && node.bus->options.fail_open) {
            complete(client, -1, EIO);
            return TRUE;
        }
        const int size = static_cast<int>(node.descriptor.size());
        complete(client, fill_argument(client, &size, sizeof size) ? 0 : -1, 0);
        return TRUE;
    }
    if (request == HIDIOCGRDESC) {
        hidraw_report_descriptor descriptor{};
        descriptor.size = static_cast<__u32>(node.descriptor.size());
        std::memcpy(descriptor.value, node.descriptor.data(), node.descriptor.size());
        complete(client, fill_argument(client, &descriptor, sizeof descriptor) ? 0 : -1, 0);
        return TRUE;
    }
    if (request == HIDIOCGRAWINFO) {
        const interface_identity& identity = node.bus->options.interfaces[node.index];
        hidraw_devinfo info{};
        info.bustype = 3;  // BUS_USB
        info.vendor = static_cast<__s16>(identity.vendor_id);
        info.product = static_cast<__s16>(identity.product_id);
        complete(client, fill_argument(client, &info, sizeof info) ? 0 : -1, 0);
        return TRUE;
    }
    complete(client, -1, ENOTTY);
    return TRUE;
}

// Makes one queued input report visible to the program's poll().
static void announce_report(emulated_bus& bus, const input_report& report, size_t length = MODEL_INPUT_REPORT_SIZE)
{
    bus_node& node = *bus.nodes[static_cast<size_t>(bus.options.model_interface)];
    if (node.master < 0)
        return;
    bus.pending.push_back(pending_report{report, length});
    const uint8_t marker = 0;
    if (write(node.master, &marker, 1) != 1)
        bus.pending.pop_back();
}

static void schedule(long delay_us, std::function<void()> action)
{
    if (scheduler == nullptr)
        return;
    std::lock_guard<std::mutex> guard(scheduler->lock);
    scheduler->due.emplace(std::chrono::steady_clock::now() + std::chrono::microseconds(delay_us), std::move(action));
    scheduler->wake.notify_one();
}

static void hang_up(emulated_bus& bus);

static gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data)
{
    bus_node& node = *static_cast<bus_node*>(user_data);
    emulated_bus& bus = *node.bus;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = static_cast<size_t>(arg->data_len);
    std::unique_lock<std::mutex> guard(bus.lock);
    if (!node.is_model) {
        complete(client, static_cast<long>(length), 0);
        return TRUE;
    }
    const timing_profile& timing = bus.options.timing;
    if (length > PACKET_COMMAND_AT) {
        auto& first = bus.first_offered_at[arg->data[PACKET_COMMAND_AT]];
        if (first == std::chrono::steady_clock::time_point{})
            first = std::chrono::steady_clock::now();
    }
    const device_response response = device_receive(bus.device, arg->data, length, timing);
    if (response.unplug)
        hang_up(bus);
    if (response.write_fails && response.write_blocks_ms > 0) {
        // A device that stopped reading: the write blocks, then times out.
        g_object_ref(client);
        schedule(response.write_blocks_ms * 1000L, [client] {
            complete(client, -1, ETIMEDOUT);
            g_object_unref(client);
        });
        return TRUE;
    }
    if (response.write_fails) {
        complete(client, -1, bus.device.unplugged ? ENODEV : EIO);
        return TRUE;
    }
    const long late = response.work_us + response.delay_ms * 1000L;
    if (timing.report_us == 0 && late == 0) {
        for (const input_report& reply : response.replies)
            announce_report(bus, reply, response.reply_length);
        complete(client, static_cast<long>(length), 0);
        if (response.unplug_after)
            hang_up(bus);
        return TRUE;
    }
    // The write takes one frame; each answer comes after the device's work
    // and one frame more per report.
    const long device_us = device_time_us(response, timing);
    bus.device_time_us += device_us;
    bus.device_us_by_command[length > PACKET_COMMAND_AT ? arg->data[PACKET_COMMAND_AT] : 0] += device_us;
    long delay = timing.report_us + late;
    for (const input_report& reply : response.replies) {
        delay += timing.report_us;
        schedule(delay, [&bus, reply, cut = response.reply_length] {
            std::lock_guard<std::mutex> later(bus.lock);
            announce_report(bus, reply, cut);
        });
    }
    if (response.unplug_after) {
        schedule(delay, [&bus] {
            std::lock_guard<std::mutex> later(bus.lock);
            hang_up(bus);
        });
    }
    if (timing.report_us == 0) {
        complete(client, static_cast<long>(length), 0);
        return TRUE;
    }
    g_object_ref(client);
    schedule(timing.report_us, [client, length] {
        complete(client, static_cast<long>(length), 0);
        g_object_unref(client);
    });
    return TRUE;
}

static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data)
{
    bus_node& node = *static_cast<bus_node*>(user_data);
    emulated_bus& bus = *node.bus;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> guard(bus.lock);
    if (!node.is_model || node.master < 0) {
        complete(client, -1, node.master < 0 ? ENODEV : EAGAIN);
        return TRUE;
    }
    if (bus.pending.empty()) {
        complete(client, -1, EAGAIN);
        return TRUE;
    }
    const pending_report report = bus.pending.front();
    bus.pending.pop_front();
    uint8_t marker = 0;
    // The program's side is non-blocking: this read never waits.
    if (read(node.slave, &marker, 1) != 1) {  // NOLINT(clang-analyzer-unix.BlockInCriticalSection)
        // The marker is gone only if the node hung up.
    }
    const size_t asked = static_cast<size_t>(arg->data_len);
    const size_t count = std::min(asked, report.length);
    std::memcpy(arg->data, report.bytes.data(), count);
    bus.read_lengths.push_back(asked);
    if (!bus.device.packets.empty()) {
        bus.reads_after_packet.resize(bus.device.packets.size(), 0);
        ++bus.reads_after_packet.back();
    }
    complete(client, static_cast<long>(count), 0);
    return TRUE;
}

// One device paragraph of umockdev's description format: "P: path", then
// one "X: value" line per entry (E property, A attribute, H binary attribute
// in hex, N device node, L link).
static void describe_device(std::string& text, const std::string& path,
                            const std::vector<std::pair<char, std::string>>& entries)
{
    text.append("P: ").append(path).append("\n");
    for (const auto& [kind, value] : entries)
        text.append(1, kind).append(": ").append(value).append("\n");
    text.append("\n");
}

static std::string device_description(const bus_options& options, std::vector<std::unique_ptr<bus_node>>& nodes)
{
    std::string text;
    std::vector<int> described;
    const std::string root = "/devices/pci0000:00/0000:00:14.0/usb1";
    char field[96];
    for (size_t i = 0; i < options.interfaces.size(); ++i) {
        const interface_identity& identity = options.interfaces[i];
        const int usb = identity.usb_device;
        const std::string usb_name = "1-" + std::to_string(usb + 1);
        std::string usb_path = root;
        usb_path.append("/").append(usb_name);
        if (std::find(described.begin(), described.end(), usb) == described.end()) {
            described.push_back(usb);
            std::vector<std::pair<char, std::string>> entries = {{'E', "SUBSYSTEM=usb"}, {'E', "DEVTYPE=usb_device"}};
            std::snprintf(field, sizeof field, "idVendor=%04x", identity.vendor_id);
            entries.emplace_back('A', field);
            std::snprintf(field, sizeof field, "idProduct=%04x", identity.product_id);
            entries.emplace_back('A', field);
            entries.emplace_back('A', "bcdDevice=0100");
            if (identity.has_strings) {
                entries.emplace_back('A', "manufacturer=" + identity.manufacturer);
                entries.emplace_back('A', "product=" + identity.product);
            }
            describe_device(text, usb_path, entries);
        }
        std::string interface_path = usb_path;
        interface_path.append("/").append(usb_name).append(":1.").append(std::to_string(i));
        describe_device(text, interface_path,
                        {{'E', "SUBSYSTEM=usb"}, {'E', "DEVTYPE=usb_interface"}, {'A', "bInterfaceNumber=0" + std::to_string(i)}});

        auto node = std::make_unique<bus_node>();
        node->index = i;
        node->descriptor = update_report_descriptor(identity.usage_page, identity.usage);
        node->devnode = "/dev/hidraw" + std::to_string(i);
        char hid_name[64];
        std::snprintf(hid_name, sizeof hid_name, "0003:%04X:%04X.%04zX", identity.vendor_id, identity.product_id, i + 1);
        const std::string hid_path = interface_path + "/" + hid_name;
        std::snprintf(field, sizeof field, "HID_ID=0003:%08X:%08X", identity.vendor_id, identity.product_id);
        describe_device(text, hid_path,
                        {{'E', "SUBSYSTEM=hid"},
                         {'E', "DRIVER=hid-generic"},
                         {'E', field},
                         {'E', "HID_NAME=" + identity.manufacturer + " " + identity.product},
                         {'E', "HID_UNIQ=" + identity.serial},
                         {'H', "report_descriptor=" + hex(node->descriptor)}});
        const std::string raw_name = "hidraw" + std::to_string(i);
        std::string raw_path = hid_path;
        raw_path.append("/hidraw/").append(raw_name);
        describe_device(text, raw_path,
                        {{'N', raw_name},
                         {'E', "SUBSYSTEM=hidraw"},
                         {'E', "DEVNAME=" + node->devnode},
                         {'A', "dev=240:" + std::to_string(i)},
                         {'L', std::string("device=../../../") + hid_name}});
        nodes.push_back(std::move(node));
    }
    return text;
}

static void start_scheduler()
{
    scheduler = new delayed_actions;
    scheduler->worker = std::thread([] {
        std::unique_lock<std::mutex> guard(scheduler->lock);
        while (!scheduler->stopping) {
            if (scheduler->due.empty()) {
                scheduler->wake.wait(guard);
                continue;
            }
            const auto first = scheduler->due.begin();
            if (scheduler->wake.wait_until(guard, first->first) == std::cv_status::no_timeout &&
                std::chrono::steady_clock::now() < first->first)
                continue;
            std::function<void()> action = std::move(first->second);
            scheduler->due.erase(first);
            guard.unlock();
            action();
            guard.lock();
        }
    });
}

static void stop_scheduler()
{
    if (scheduler == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(scheduler->lock);
        scheduler->stopping = true;
        scheduler->wake.notify_one();
    }
    scheduler->worker.join();
    delete scheduler;
    scheduler = nullptr;
}

static bool open_node_ends(emulated_bus& bus, bus_node& node)
{
    auto* testbed = static_cast<UMockdevTestbed*>(bus.testbed);
    node.master = umockdev_testbed_get_dev_fd(testbed, node.devnode.c_str());
    if (node.master < 0)
        return false;
    // The program must not inherit our end: an unplug would then never reach it.
    fcntl(node.master, F_SETFD, FD_CLOEXEC);
    node.slave = open(ptsname(node.master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (node.slave < 0)
        return false;
    termios raw{};
    tcgetattr(node.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(node.slave, TCSANOW, &raw);
    return true;
}

std::unique_ptr<emulated_bus> bus_create(const bus_options& options, const device_model& device)
{
    auto bus = std::make_unique<emulated_bus>();
    bus->options = options;
    bus->device = device;
    UMockdevTestbed* testbed = umockdev_testbed_new();
    bus->testbed = testbed;
    GError* error = nullptr;
    const std::string description = device_description(options, bus->nodes);
    if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
        std::fprintf(stderr, "emulated bus: %s\n", error != nullptr ? error->message : "cannot add devices");
        g_clear_error(&error);
        bus_destroy(bus);
        return nullptr;
    }
    for (auto& node : bus->nodes) {
        node->bus = bus.get();
        node->is_model = static_cast<int>(node->index) == options.model_interface;
        if (!open_node_ends(*bus, *node)) {
            std::fprintf(stderr, "emulated bus: no stream node for %s\n", node->devnode.c_str());
            bus_destroy(bus);
            return nullptr;
        }
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        node->handler = handler;
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), node.get());
        g_signal_connect(handler, "handle-read", G_CALLBACK(on_read), node.get());
        g_signal_connect(handler, "handle-write", G_CALLBACK(on_write), node.get());
        if (!umockdev_testbed_attach_ioctl(testbed, node->devnode.c_str(), handler, &error)) {
            std::fprintf(stderr, "emulated bus: %s\n", error != nullptr ? error->message : "cannot attach");
            g_clear_error(&error);
            bus_destroy(bus);
            return nullptr;
        }
    }
    if (options.model_interface >= 0 && static_cast<size_t>(options.model_interface) < bus->nodes.size()) {
        std::lock_guard<std::mutex> guard(bus->lock);
        for (int i = 0; i < options.stale_reports; ++i) {
            announce_report(*bus, unasked_report(static_cast<uint8_t>('0' + i % 10)));
        }
    } else {
        bus->options.model_interface = -1;
    }
    start_scheduler();
    return bus;
}

void bus_destroy(std::unique_ptr<emulated_bus>& bus)
{
    if (!bus)
        return;
    // Handlers first, so that none schedules an answer once the scheduler is gone.
    auto* testbed = static_cast<UMockdevTestbed*>(bus->testbed);
    for (auto& node : bus->nodes) {
        if (node->handler != nullptr) {
            umockdev_testbed_detach_ioctl(testbed, node->devnode.c_str(), nullptr);
            g_object_unref(node->handler);
        }
    }
    stop_scheduler();
    for (auto& node : bus->nodes)
        if (node->slave >= 0)
            close(node->slave);
    if (testbed != nullptr)
        g_object_unref(testbed);
    bus.reset();
}

static void hang_up(emulated_bus& bus)
{
    if (bus.options.model_interface < 0)
        return;
    bus_node& node = *bus.nodes[static_cast<size_t>(bus.options.model_interface)];
    bus.device.unplugged = true;
    bus.pending.clear();
    if (node.master >= 0) {
        close(node.master);
        node.master = -1;
    }
}

void bus_unplug(emulated_bus& bus)
{
    std::lock_guard<std::mutex> guard(bus.lock);
    hang_up(bus);
}

device_model bus_device(emulated_bus& bus)
{
    std::lock_guard<std::mutex> guard(bus.lock);
    return bus.device;
}

std::vector<std::string> bus_child_environment()
{
    return {std::string("LD_PRELOAD=") + UMOCKDEV_PRELOAD_PATH, "ASAN_OPTIONS=verify_asan_link_order=0"};
}
