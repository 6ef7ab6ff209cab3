// SPDX-License-Identifier: MIT
// After the restart: the Quennet is found again and asked what it runs. The
// protocol cannot tell whether the device took the images (a lost
// acknowledgement or an unknown status passes unseen), but the device runs
// whatever it holds after its restart and says so when asked.
#include "app/update_run.h"

#include "payload/firmware_payload.h"
#include "util/clock.h"
#include "util/console.h"

// A try: exactly one Quennet found, opened and drained, and both versions
// answered with the queries' echoes. On false no handle is left open.
static bool versions_after_restart(device_link& link, const stopwatch& watch, version_pair& mainboard,
                                   version_pair& control)
{
    const discovery_result found = find_device();
    if (found.match_count != 1 || !reopen_device(found.path, link))
        return false;
    // A query starts only within the bound, and one that goes unanswered
    // ends the try: the wait passes its bound by one reply time-out at most.
    const on_write_failure silent = on_write_failure::stay_silent;
    const bool answered =
        query_version(link, CMD_GET_MAINBOARD_VERSION, mainboard, silent) == version_answer::version &&
        stopwatch_elapsed_seconds(watch) * 1000 < RESTART_WAIT_MAX_MS &&
        query_version(link, CMD_GET_CONTROL_VERSION, control, silent) == version_answer::version;
    if (!answered)
        close_device(link);
    return answered;
}

read_back_result read_back_versions(device_link& link, stopwatch& watch)
{
    console_print("\nWaiting for Quennet to restart");
    close_device(link);
    stopwatch_start(watch);

    bool answered = false;
    bool release = false;
    version_pair mainboard;
    version_pair control;
    long dots = 0;
    while (!release) {
        clock_sleep_ms(RESTART_RETRY_MS);
        const double waited = stopwatch_elapsed_seconds(watch);
        for (; dots < static_cast<long>(waited); ++dots)
            console_print(".");
        if (waited * 1000 >= RESTART_WAIT_MAX_MS)
            break;
        // Until its restart the device may still answer with what it ran
        // before: another answer is asked again until the bound.
        version_pair tried_mainboard;
        version_pair tried_control;
        if (versions_after_restart(link, watch, tried_mainboard, tried_control)) {
            answered = true;
            mainboard = tried_mainboard;
            control = tried_control;
            release = mainboard == TARGET_MAINBOARD_REVISION && control == TARGET_CONTROL_REVISION;
            if (!release)
                close_device(link);
        }
    }
    console_print("\n");

    if (!answered) {
        console_print("\nQuennet did not come back after its restart - Please switch it off and on, then run "
                      "quennet-update again\n");
        return read_back_result::not_back;
    }
    console_print("\nQuennet restarted running:\n  Mainboard v%X.%02X\n  Control v%X.%02X\n", mainboard.major,
                  mainboard.minor, control.major, control.minor);
    if (!release) {
        console_print("\nThe update did not take hold - Please run quennet-update again\n");
        return read_back_result::other_software;
    }
    return read_back_result::release;
}
