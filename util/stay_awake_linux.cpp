// SPDX-License-Identifier: MIT
// Staying up on Linux: a logind inhibitor lock in mode "block", asked for on
// the system bus through sd-bus (systemd's own client library, which reads
// DBUS_SYSTEM_BUS_ADDRESS). logind keeps the lock while the program holds
// the descriptor it hands back.
#include "util/stay_awake.h"

#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

// Everything that would end the run: a shutdown, a sleep (also the idle
// timer's), and the keys and the lid, whose handling logind otherwise does
// itself (a sleep lock alone does not hold off the lid: logind ignores it
// there by default, LidSwitchIgnoreInhibited=yes).
static constexpr const char* ALL_KINDS =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch";
// logind refuses the whole call when one kind is denied, and its polkit
// defaults allow the keys and the lid to local sessions only (not over SSH).
static constexpr const char* SYSTEM_KINDS = "shutdown:sleep:idle";

// The bus must never hold up the update: each call, connecting included,
// gets at most 1 s (sd-bus would wait 25 s for a reply, and longer for a
// bus that never completes the handshake), and there are at most two calls,
// the second only after a refusal: 2 s at the very worst.
static constexpr uint64_t BUS_CALL_BOUND_US = 1000000;

static int inhibitor = -1;

namespace {

struct inhibit_call {
    bool answered = false;
    bool refused = false;
    int descriptor = -1;
};

uint64_t now_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    inhibit_call& call = *static_cast<inhibit_call*>(userdata);
    call.answered = true;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        // No logind, or no answer: nothing narrower would fare better.
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        call.refused = !sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                               SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_DISCONNECTED);
        return 0;
    }
    int descriptor = -1;
    if (sd_bus_message_read(reply, "h", &descriptor) >= 0 && descriptor >= 0)
        call.descriptor = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);  // the message owns its own
    return 0;
}

// One Inhibit call, driven here so that its bound covers the handshake too.
inhibit_call inhibit(sd_bus* bus, const char* kinds)
{
    inhibit_call call;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_call_method_async(bus, &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "Inhibit", on_reply, &call, "ssss", kinds,
                                 STAY_AWAKE_WHO, STAY_AWAKE_WHY, "block") < 0)
        return call;
    const uint64_t deadline = now_us() + BUS_CALL_BOUND_US;
    while (!call.answered) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0)
            break;
        if (processed > 0)
            continue;
        const uint64_t now = now_us();
        if (now >= deadline || sd_bus_wait(bus, deadline - now) < 0)
            break;
    }
    sd_bus_slot_unref(slot);
    return call;
}

}  // namespace

void stay_awake_begin()
{
    if (inhibitor >= 0)
        return;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return;  // no system bus: a container, a system without systemd
    inhibit_call call = inhibit(bus, ALL_KINDS);
    if (call.refused)
        call = inhibit(bus, SYSTEM_KINDS);
    inhibitor = call.descriptor;
    // Closed without a flush: a flush waits for a bus that may never read.
    sd_bus_close(bus);
    sd_bus_unref(bus);
}

void stay_awake_end()
{
    if (inhibitor < 0)
        return;
    close(inhibitor);
    inhibitor = -1;
}
