// The emulated USB bus: a umockdev testbed in which the real hidapi library
// finds one or more HID interfaces, one of which is answered by the emulated
// Quennet (device_model). The program under test runs as a child process with
// umockdev's preload library; the device answers on umockdev's worker thread
// in this process.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/device_model.h"
#include "link/protocol_constants.h"

// One HID interface on the bus, as enumeration shows it.
struct interface_identity {
    uint16_t vendor_id = DEVICE_VENDOR_ID;
    uint16_t product_id = DEVICE_PRODUCT_ID;
    bool has_strings = true;  // false: the USB device carries no manufacturer or product string
    std::string manufacturer = "Harlowmere Audio";
    std::string product = "Calverra Quennet";
    uint16_t usage_page = DEVICE_USAGE_PAGE;
    uint16_t usage = DEVICE_USAGE;
    int usb_device = 0;  // interfaces with the same number belong to one USB device
};

// Time the emulated device takes, so that a person sees a run as it is on a
// real bus. All zero: answers at once.
struct timing_profile {
    int report_us = 0;          // per report and direction: one USB full-speed frame
    int eeprom_chunk_us = 0;    // per EEPROM write
    int flash_block_us = 0;     // per flash block commit
    int first_block_us = 0;     // extra for the first block (the erase)
    int bootloader_entry_us = 0;
};

timing_profile realistic_timing();

struct bus_options {
    std::vector<interface_identity> interfaces{interface_identity{}};
    int model_interface = 0;  // which interface the emulated Quennet answers; -1: none
    bool fail_open = false;   // the device refuses to be opened
    int stale_reports = 0;    // input reports waiting before the program opens the device
    timing_profile timing;
};

struct emulated_bus;

// One hidraw node on the bus and the handler that answers it.
struct bus_node {
    emulated_bus* bus = nullptr;
    size_t index = 0;
    std::string devnode;              // "/dev/hidrawN"
    std::vector<uint8_t> descriptor;  // report descriptor
    int master = -1;                  // the testbed's side of the node's PTY
    int slave = -1;                   // our own handle on the program's side, to consume markers
    void* handler = nullptr;          // UMockdevIoctlBase*
    bool is_model = false;
};

struct emulated_bus {
    void* testbed = nullptr;  // UMockdevTestbed*
    std::mutex lock;          // guards everything below; handlers run on another thread
    device_model device;
    bus_options options;
    std::vector<std::unique_ptr<bus_node>> nodes;
    std::deque<input_report> pending;      // input reports waiting for the program
    std::vector<size_t> read_lengths;      // length asked of every read that got a report
    long device_time_us = 0;               // time the device keeps the program waiting: frames and work
    std::vector<int> reads_after_packet;   // reports read after each write offered, before the next
};

// Builds the testbed (setting UMOCKDEV_DIR for this process and its children)
// with the interfaces and the device. One bus per process at a time.
std::unique_ptr<emulated_bus> bus_create(const bus_options& options, const device_model& device);
void bus_destroy(std::unique_ptr<emulated_bus>& bus);

// The device goes away: its node hangs up, later writes fail.
void bus_unplug(emulated_bus& bus);

// The device as it is when plugged in again after an unplug: it powers up
// with what it holds. Give it to bus_create for the next run.
device_model device_after_replug(const device_model& device);

// A copy of the device's state, taken under the lock.
device_model bus_device(emulated_bus& bus);

// Environment entries a child needs to see the testbed instead of the real /sys and /dev.
std::vector<std::string> bus_child_environment();
