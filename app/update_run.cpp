// SPDX-License-Identifier: MIT
#include "app/update_run.h"

#include <cctype>
#include <cstdio>

#include "app/update_phases.h"
#include "payload/firmware_payload.h"
#include "util/console.h"
#include "util/device_lock.h"
#include "util/interrupt.h"
#include "util/stay_awake.h"
#include "util/stopwatch.h"

// What the run held of the computer and the device, let go before the
// prompt, which may wait for ever.
static void let_go()
{
    interrupts_release();
    stay_awake_end();
    device_lock_release();
}

int abort_exit()
{
    let_go();
    hid_exit();
    console_pause();
    return EXIT_STATUS_ABORTED;
}

int completion_exit(device_link& link)
{
    let_go();
    hid_close(link.handle);
    link.handle = nullptr;
    hid_exit();
    console_pause();
    return EXIT_STATUS_COMPLETED;
}

static void print_banner()
{
    console_print("\n=== Calverra Quennet Update Tool ===\n");
    if constexpr (PLACEHOLDER_IMAGES)
        console_print("This build carries placeholder images, not a release: do not use it on a device.\n");
    console_print("\nTarget Software Revision:");
    console_print("\n  Mainboard v%X.%02X", TARGET_MAINBOARD_REVISION.major, TARGET_MAINBOARD_REVISION.minor);
    console_print("\n  Control v%X.%02X", TARGET_CONTROL_REVISION.major, TARGET_CONTROL_REVISION.minor);
}

// What the device said it runs: the Mainboard version decides the final step.
struct running_versions {
    bool mainboard_known = false;
    uint16_t mainboard = 0;
};

static bool query_versions(device_link& link, running_versions& running)
{
    send_update_packet(link, CMD_GET_MAINBOARD_VERSION, 0, nullptr, 0);
    if (read_reply(link) != reply_result::received) {
        console_print("\nNo reply from Quennet\n");
        return false;
    }
    if (reply_echo(link) == CMD_GET_MAINBOARD_VERSION) {
        const version_pair version = reply_version(link);
        running.mainboard_known = true;
        running.mainboard = version_value(version);
        console_print(" currently running:\n  Mainboard v%X.%02X\n", version.major, version.minor);
    }

    send_update_packet(link, CMD_GET_CONTROL_VERSION, 0, nullptr, 0);
    if (read_reply(link) != reply_result::received) {
        console_print("\nNo response from Quennet\n");
        return false;
    }
    if (reply_echo(link) == CMD_GET_CONTROL_VERSION) {
        const version_pair version = reply_version(link);
        console_print("  Control v%X.%02X\n", version.major, version.minor);
    }
    return true;
}

static bool ask_consent()
{
    console_print("\nProceed with update process? Yes/[No]: ");
    const int answer = console_read_answer();
    return answer != EOF && std::toupper(answer) == 'Y';
}

// A device whose Mainboard version is unknown is told to power-cycle too: a
// power cycle loads the new software whatever the device was running.
static void finish_update(device_link& link, const running_versions& running)
{
    if (!running.mainboard_known || running.mainboard == POWER_CYCLE_MAINBOARD_VERSION) {
        console_print("\nPlease switch your Quennet off now. The new software will load upon next powerup.\n");
        return;
    }
    if (send_update_packet(link, CMD_RESTART, 0, nullptr, 0))
        console_print("\nRestarting Quennet\n");
}

int update_run()
{
    stopwatch watch = stopwatch_create();
    console_begin();
    print_banner();

    const discovery_result found = find_device();
    if (!report_discovery(found))
        return abort_exit();
    device_link link;
    if (!open_device(found.path, link))
        return abort_exit();

    running_versions running;
    if (!query_versions(link, running))
        return abort_exit();
    if (!ask_consent())
        return abort_exit();
    // From here on neither the console nor the computer's sleep or shutdown
    // cuts the update off; the exits let go.
    interrupts_hold();
    stay_awake_begin();

    if (!run_mainboard_phase(link, watch))
        return abort_exit();
    if (!run_control_phase(link, watch))
        return abort_exit();

    finish_update(link, running);
    return completion_exit(link);
}
