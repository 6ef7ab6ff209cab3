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
    close_device(link);
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
    bool control_known = false;
    version_pair mainboard;
    version_pair control;
};

static bool query_versions(device_link& link, running_versions& running)
{
    const version_answer mainboard = query_version(link, CMD_GET_MAINBOARD_VERSION, running.mainboard);
    if (mainboard == version_answer::none)
        return fail_with("\nNo reply from Quennet\n");
    running.mainboard_known = mainboard == version_answer::version;
    if (running.mainboard_known)
        console_print(" currently running:\n  Mainboard v%X.%02X\n", running.mainboard.major, running.mainboard.minor);

    const version_answer control = query_version(link, CMD_GET_CONTROL_VERSION, running.control);
    if (control == version_answer::none)
        return fail_with(NO_RESPONSE_MESSAGE);
    running.control_known = control == version_answer::version;
    if (running.control_known)
        console_print("  Control v%X.%02X\n", running.control.major, running.control.minor);
    return true;
}

// What the owner's yes would do to a device that already runs this release
// or newer software. Nothing is said when a version is unknown.
static void note_running_release(const running_versions& running)
{
    if (!running.mainboard_known || !running.control_known)
        return;
    const uint16_t mainboard = version_value(running.mainboard);
    const uint16_t control = version_value(running.control);
    const uint16_t target_mainboard = version_value(TARGET_MAINBOARD_REVISION);
    const uint16_t target_control = version_value(TARGET_CONTROL_REVISION);
    if (mainboard == target_mainboard && control == target_control)
        console_print("\nQuennet already runs this release\n");
    else if (mainboard > target_mainboard || control > target_control)
        console_print("\nQuennet runs newer software than this release - Updating would install older software\n");
}

static bool ask_consent()
{
    console_print("\nProceed with update process? Yes/[No]: ");
    const int answer = console_read_answer();
    return answer != EOF && std::toupper(answer) == 'Y';
}

// A device whose Mainboard version is unknown is told to power-cycle too: a
// power cycle loads the new software whatever the device was running. So is
// one whose restart packet could not be written: both images are written,
// and they load at the next power-up. Otherwise the device restarts and is
// asked what it runs.
static int finish_update(device_link& link, stopwatch& watch, const running_versions& running)
{
    const char* power_cycle = "\nPlease switch your Quennet off now. The new software will load upon next powerup.\n";
    if (!running.mainboard_known || version_value(running.mainboard) == POWER_CYCLE_MAINBOARD_VERSION ||
        !send_update_packet(link, CMD_RESTART, 0, nullptr, 0)) {
        console_print("%s", power_cycle);
        return completion_exit(link);
    }
    console_print("\nRestarting Quennet\n");
    // The writes are over: the computer may sleep again.
    stay_awake_end();
    if (read_back_versions(link, watch) != read_back_result::release)
        return abort_exit();
    return completion_exit(link);
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
    // Placeholder images are random bytes: they go only into an emulated
    // Quennet, never into a device someone owns.
    if constexpr (PLACEHOLDER_IMAGES) {
        if (found.serial != EMULATED_SERIAL) {
            console_print("\nThis build carries placeholder images - It updates only an emulated Quennet\n");
            return abort_exit();
        }
    }
    note_running_release(running);
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
    return finish_update(link, watch, running);
}
