// SPDX-License-Identifier: MIT
// The emulated USB bus: a umockdev testbed in which the real hidapi library
// finds one or more HID interfaces, one of which is answered by the emulated
// Quennet (device_model). The program under test runs as a child process with
// umockdev's preload library; the device answers on umockdev's worker thread
// in this process.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/model/bus_options.h"
#include "emu/model/device_model.h"
#include "link/protocol_constants.h"

struct emulated_bus;

// An input report on its way to the program, and how many of its bytes arrive.
struct pending_report {
    input_report bytes;
    size_t length;
};

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
    std::deque<pending_report> pending;    // input reports waiting for the program
    std::vector<size_t> read_lengths;      // length asked of every read that got a report
    long device_time_us = 0;               // time the device keeps the program waiting: frames and work
    std::array<long, 256> device_us_by_command{};  // the same, per command
    std::vector<int> reads_after_packet;   // reports read after each write offered, before the next
    // When the device was first offered a packet of each command, on this
    // process's monotonic clock, the one the program's stopwatch reads too.
    std::array<std::chrono::steady_clock::time_point, 256> first_offered_at{};
};

// Builds the testbed (setting UMOCKDEV_DIR for this process and its children)
// with the interfaces and the device. One bus per process at a time.
std::unique_ptr<emulated_bus> bus_create(const bus_options& options, const device_model& device);
void bus_destroy(std::unique_ptr<emulated_bus>& bus);

// The device goes away: its node hangs up, later writes fail.
void bus_unplug(emulated_bus& bus);

// A copy of the device's state, taken under the lock.
device_model bus_device(emulated_bus& bus);

// Environment entries a child needs to see the testbed instead of the real /sys and /dev.
std::vector<std::string> bus_child_environment();
