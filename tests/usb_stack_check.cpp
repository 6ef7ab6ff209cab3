// SPDX-License-Identifier: MIT
// quennet-usb-stack-check: judges what the scenarios on the real USB stack
// (vm/scenarios.sh) left in the results folder, the way the other tests judge
// a run: the console word for word but the times, the exit status, the
// packets the device received and what it holds. The Windows exe's scenarios
// (windows_NAME, under wine) are judged as the Linux program's of the same
// name, each line beside the other. One line per scenario, "N passed,
// M failed" last.
//
//   quennet-usb-stack-check RESULTS
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/update_phases.h"
#include "link/protocol_constants.h"
#include "tests/common.h"
#include "util/access.h"
#include "util/interrupt.h"

namespace fs = std::filesystem;

namespace {

const std::string COMPLETE = complete_update_console();

// What vm/scenarios.sh gives a run before it kills it, for the Linux program
// and for the exe under wine, as it wrote them into the results (run-limits).
double run_limit_seconds = 0;
double wine_run_limit_seconds = 0;

bool under_wine(const std::string& name)
{
    return name.starts_with("windows_");
}

// The longest a cut-off run of this scenario may take. What wall-clock time
// can tell apart here is a run that gives up from one that never does and is
// killed at the scenario's limit (the exact bound is checked on the in-process
// campaign's simulated clock, which no load moves): halfway between the
// program's give-up bound and that limit, so that a busy machine, which
// stretches the clean part of a run, cannot fail it.
double cut_off_bound_seconds(const std::string& name)
{
    return (static_cast<double>(GIVE_UP_BOUND_US) * 1e-6 + (under_wine(name) ? wine_run_limit_seconds : run_limit_seconds)) / 2;
}

fs::path results;
int passed = 0, failed = 0;

long number_in(const fs::path& path)
{
    return std::atol(read_text(path).c_str());
}

std::vector<std::vector<uint8_t>> packets_of(const fs::path& path)
{
    std::vector<std::vector<uint8_t>> packets;
    std::istringstream lines(read_text(path));
    for (std::string line; std::getline(lines, line);) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < line.size() && line[i] != ' '; i += 2)
            bytes.push_back(static_cast<uint8_t>(std::strtoul(line.substr(i, 2).c_str(), nullptr, 16)));
        packets.push_back(bytes);
    }
    return packets;
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

bool holds_release(const fs::path& dir)
{
    return has(read_text(dir / "device.txt"), "holds_release 1");
}

double seconds_of(const fs::path& dir)
{
    return static_cast<double>(number_in(dir / "microseconds")) * 1e-6;
}

// What the scenario being judged got wrong, and what its checks accepted but
// a reader should know; both printed under its line.
std::string problems, remarks;

// Notes `problem` where `fine` does not hold.
void expect(bool fine, const std::string& problem)
{
    if (!fine)
        problems += "  " + problem + "\n";
}

void report(const std::string& name, const std::string& detail)
{
    ++(problems.empty() ? passed : failed);
    std::printf("%-7s %-16s %s\n%s%s", problems.empty() ? "ok" : "FAILED", name.c_str(), detail.c_str(), remarks.c_str(),
                problems.c_str());
    problems.clear();
    remarks.clear();
}

// Under wine on this software-emulated machine, wine's HID stack now and
// then passes a report on more than a second late: an acknowledgement after
// the program's 1000 ms time-out, which the program rightly takes as a
// silent block (no percentage; the late one is read a block later, and the
// last is read by nobody). How many Control percentages `shown` lacks
// against `expected` when that is the only difference; -1 otherwise.
int late_acknowledgements(const std::string& shown, const std::string& expected)
{
    const size_t control = expected.find("Updating Control:");
    if (control == std::string::npos || shown.compare(0, control, expected, 0, control) != 0)
        return -1;
    size_t s = control, e = control;
    int skipped = 0;
    while (s < shown.size() || e < expected.size()) {
        const size_t s_end = std::min(shown.find('\r', s + 1), shown.size());
        const size_t e_end = std::min(expected.find('\r', e + 1), expected.size());
        if (s < shown.size() && shown.compare(s, s_end - s, expected, e, e_end - e) == 0) {
            s = s_end;
            e = e_end;
        } else if (e < expected.size() && expected.compare(e, 3, "\r  ") == 0 && expected[e_end - 1] == '%') {
            e = e_end;
            ++skipped;
        } else {
            return -1;
        }
    }
    return skipped;
}

// A scenario that ran again because a reply came too late under wine says so.
void note_rerun(const fs::path& dir)
{
    if (fs::exists(fs::path(dir.string() + ".reply-late")))
        remarks += "        run again: a reply came after the 1000 ms time-out under wine\n";
}

// Checks a run's console (less the first `apart` in it, where not empty),
// status and standard error.
void check_run(const fs::path& dir, int status, const std::string& console, const std::string& apart = "")
{
    if (!fs::exists(dir / "status"))
        return expect(false, "the scenario did not run");
    expect(number_in(dir / "status") == status, "exit status " + read_text(dir / "status"));
    note_rerun(dir);
    std::string shown = read_text(dir / "console.txt");
    const size_t at = shown.find(apart);
    expect(apart.empty() || at != std::string::npos, "no \"" + apart + "\"");
    if (!apart.empty() && at != std::string::npos)
        shown.erase(at, apart.size());
    shown = without_times(shown);
    const bool differs = !console.empty() && shown != console;
    const int late = differs && under_wine(dir.filename().string()) ? late_acknowledgements(shown, console) : -1;
    if (late > 0)
        remarks += "        " + std::to_string(late) + " acknowledgement(s) later than the 1000 ms time-out under wine\n";
    expect(!differs || late > 0, "console:\n" + shown + "\n  expected:\n" + console);
    const std::string errors = read_text(dir / "errors.txt");
    expect(errors.empty(), "standard error: " + errors);
}

// The Quennet received exactly one update's packets, restarted once and
// holds the release.
void check_one_update(const fs::path& dir)
{
    expect(packets_of(dir / "packets.txt") == complete_update_packets(),
           "the Quennet did not receive exactly the 1474 packets of one update and its read-back");
    // It left the bus at its restart and came back before the read-back.
    expect(has(read_text(dir / "device.txt"), "restarts 1 "), "the Quennet did not restart once");
    expect(holds_release(dir), "the Quennet does not hold the release");
}

// Scenarios that complete an update: judged by their console (less the
// first `apart` in it), status and what the Quennet received.
struct plain_scenario {
    const char* name;
    const char* detail;
    std::string apart = "";
    const char* runs_on = "linux windows";  // the Linux program's scenario (NAME), the exe's (windows_NAME)
    bool device_time = false;  // the detail adds the run's time and the realistic device's own
};

void plain(const plain_scenario& scenario, const std::string& name)
{
    const fs::path dir = results / name;
    std::string detail = scenario.detail;
    if (scenario.device_time) {
        const std::string device = read_text(dir / "device.txt");
        const size_t busy_at = device.find("busy_us ");
        char figures[120];
        std::snprintf(figures, sizeof figures, "; realistic device: run %.2f s, the device's own work %.2f s", seconds_of(dir),
                      busy_at == std::string::npos ? 0 : std::atof(device.c_str() + busy_at + 8) * 1e-6);
        detail += figures;
    }
    check_run(dir, 0, COMPLETE, scenario.apart);
    check_one_update(dir);
    report(name, detail);
}

// The Linux program's Ctrl+C and two programs are proven on a
// pseudo-terminal against the emulated hidraw nodes (the lock is the same
// flock there); the exe's meet wine's console and HID stack only here. A
// refusal and two Quennets are the program's own logic, the same on both
// systems and proven in process (under wine too).
const plain_scenario PLAIN_SCENARIOS[] = {
    {"complete", "exit 0, release held", "", "linux windows", true},
    // Ctrl+C once the Mainboard phase ran: the update goes on to its end,
    // and the console says once why the key did nothing.
    {"ctrl_c", "SIGINT in the Mainboard phase: one notice, exit 0, release held", INTERRUPT_NOTICE, "windows"},
    {"other_interface", "the audio-controls interface skipped, exit 0, release held"},
    {"unsolicited", "reports before the open and with a wrong id or length between packets: none misread", "", "linux"},
};

// Two programs started at once on the one gadget: one completes, the other
// is refused before it sends anything, and the gadget received exactly one
// update's packets.
void two_programs(const std::string& name)
{
    const fs::path dir = results / name;
    const fs::path one = dir / (name + "_1"), two = dir / (name + "_2");
    note_rerun(dir);
    const bool one_completed = fs::exists(one / "status") && number_in(one / "status") == 0;
    check_run(one_completed ? one : two, 0, COMPLETE);
    check_run(one_completed ? two : one, 1, REFUSED_AS_SECOND);
    check_one_update(dir);
    report(name, "one completes, the other is refused before it sends anything");
}

// A run cut off by the device: status 1, no success text, no restart, and
// over within the program's bounds.
void check_cut_off(const fs::path& dir, const std::string& ending)
{
    check_run(dir, 1, "");
    const std::string console = read_text(dir / "console.txt");
    expect(console.ends_with(ending + PAUSE_PROMPT),
           "console ends:\n" + console.substr(console.size() > 400 ? console.size() - 400 : 0));
    expect(!has(console, "Restarting") && !has(console, "switch your Quennet off"), "a success text");
    const std::vector<std::vector<uint8_t>> packets = packets_of(dir / "packets.txt");
    // The device fails at its packet 700: a run that ended before it (a late
    // reply under wine) proves nothing about the failure.
    expect(packets.size() == 701, "the device took " + std::to_string(packets.size()) + " packets, not 701");
    for (const std::vector<uint8_t>& packet : packets)
        expect(packet.size() < 2 || packet[1] != CMD_RESTART, "a restart packet");
    expect(seconds_of(dir) <= cut_off_bound_seconds(dir.filename().string()),
           "the run took " + std::to_string(seconds_of(dir)) + " s");
}

// The words given for the failed writes of a run, in order, each once.
std::string write_errors(const fs::path& dir)
{
    const std::string console = read_text(dir / "console.txt");
    std::string errors;
    for (size_t at = console.find("Error: "); at != std::string::npos; at = console.find("Error: ", at + 1)) {
        const std::string error = console.substr(at + 7, console.find('\n', at) - at - 7);
        if (errors.find("\"" + error + "\"") == std::string::npos)
            errors += (errors.empty() ? "\"" : ", then \"") + error + "\"";
    }
    return errors.empty() ? "none" : errors;
}

void unplug(const std::string& name)
{
    const fs::path dir = results / name;
    char detail[240];
    std::snprintf(detail, sizeof detail, "unbound before packet 700: exit 1 in %.2f s; write errors %s", seconds_of(dir),
                  write_errors(dir).c_str());
    // Whether a write fails for want of the device, or the reads after it
    // time out first, is the kernel's timing: either ends in the same words.
    check_cut_off(dir, NO_RESPONSE);
    report(name, detail);

    const fs::path again = results / (name + "_rerun");
    check_run(again, 0, "");
    const std::string replugged = "currently running:\n  Mainboard " + shown(TARGET_MAINBOARD_REVISION) + "\n  Control v0.00\n";
    expect(read_text(again / "console.txt").find(replugged) != std::string::npos, "the replugged device did not report " + replugged);
    expect(holds_release(again), "the device does not hold the release");
    report(name + "_rerun", "replugged holding what it stored: exit 0, release held");
}

void hang(const std::string& name)
{
    const fs::path dir = results / name;
    const std::string console = read_text(dir / "console.txt");
    size_t failures = 0;
    for (size_t at = console.find("Unable to write()"); at != std::string::npos; at = console.find("Unable to write()", at + 1))
        ++failures;
    check_cut_off(dir, NO_RESPONSE);
    // The kernel's write time-out on Linux; under wine, whatever its stack says.
    const std::string errors = write_errors(dir);
    expect(under_wine(name) || errors == "\"Connection timed out\"", "not every write timed out");
    char detail[300];
    std::snprintf(detail, sizeof detail, "stopped reading at packet 700: %zu writes failed (%s), exit 1 in %.2f s (bound %.1f s)",
                  failures, errors.c_str(), seconds_of(dir), cut_off_bound_seconds(name));
    report(name, detail);
}

// The .deb's rule on systemd-udevd, with the group plugdev: the Quennet's
// node gets the uaccess tag and goes to plugdev, mode 0660, and nothing else
// changes for another device; an account in plugdev without a seat
// completes an update, one outside it is refused with the system's reason
// and the advice, before anything is sent. Where there is no plugdev, udev
// warns of the .deb's rule and not of the RPM's.
void udev()
{
    const fs::path dir = results / "udev";
    expect(fs::is_directory(dir), "the scenario did not run");
    int quennets = 0, others = 0;
    std::error_code missing;  // the iterator ends at once
    for (const auto& entry : fs::directory_iterator(dir, missing)) {
        if (!entry.path().filename().string().starts_with("hidraw"))
            continue;
        const std::string info = read_text(entry.path());
        const bool tagged = has(info, "uaccess");
        if (has(info, "HID_ID=0003:00000451:00005B3E")) {
            ++quennets;
            expect(tagged, "the Quennet's node has no uaccess tag:\n" + info);
            expect(has(info, "NODE_ACCESS=plugdev 660\n"), "the Quennet's node is not plugdev's with mode 0660:\n" + info);
        } else if (has(info, "HID_ID=0003:00000451:00005B3F")) {
            ++others;
            expect(!tagged && has(info, "NODE_ACCESS=root 600\n"), "a device with another product id got the Quennet's rights:\n" + info);
        }
    }
    expect(quennets == 1 && others == 1, "expected one Quennet node and one other, found " + std::to_string(quennets) +
                                             " and " + std::to_string(others));

    const std::string refused_start = BANNER + NO_HANDLE + "Error: ";
    const std::string refused_end = ": Permission denied\n" + std::string(ACCESS_ADVICE) + PAUSE_PROMPT;
    const std::string outsider = read_text(dir / "outsider" / "console.txt");
    expect(outsider.starts_with(refused_start) && outsider.ends_with(refused_end) &&
               std::count(outsider.begin() + static_cast<long>(std::min(refused_start.size(), outsider.size())),
                          outsider.end(), '\n') == 3,
           "the account outside plugdev saw:\n" + outsider + "\n  expected:\n" + refused_start + "...: Permission denied\n" +
               ACCESS_ADVICE + PAUSE_PROMPT);
    expect(number_in(dir / "outsider" / "status") == 1, "the account outside plugdev: exit status " +
                                                            read_text(dir / "outsider" / "status"));
    check_run(dir / "member", 0, COMPLETE);
    check_one_update(dir / "quennet");

    const std::string deb = read_text(dir / "without-plugdev-deb.txt");
    const std::string rpm = read_text(dir / "without-plugdev-rpm.txt");
    expect(has(deb, "nknown group"), "without plugdev, udev did not warn of the .deb's rule (is the check blind?):\n" + deb);
    expect(!has(rpm, "nknown group") && !has(rpm, "plugdev"), "without plugdev, udev warns of the RPM's rule:\n" + rpm);
    report("udev",
           "packaged rule: uaccess and plugdev 0660 on the Quennet only; plugdev without a seat updates, "
           "another account is refused with the advice; the RPM's rule needs no plugdev");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quennet-usb-stack-check RESULTS\n");
        return 2;
    }
    results = argv[1];
    std::ifstream limits(results / "run-limits");
    std::string kind;
    for (double seconds = 0; limits >> kind >> seconds;)
        (kind == "wine" ? wine_run_limit_seconds : run_limit_seconds) = seconds;
    if (run_limit_seconds <= 0 || wine_run_limit_seconds <= 0) {
        std::printf("FAILED  the scenarios left no run limits (run-limits)\n0 passed, 1 failed\n");
        return 1;
    }
    // Each Linux scenario, then the Windows exe's of the same name.
    for (const plain_scenario& scenario : PLAIN_SCENARIOS) {
        if (has(scenario.runs_on, "linux"))
            plain(scenario, scenario.name);
        if (has(scenario.runs_on, "windows"))
            plain(scenario, std::string("windows_") + scenario.name);
    }
    struct named_check {
        const char* name;
        void (*check)(const std::string& name);
    };
    two_programs("windows_two_programs");
    for (const named_check& scenario : {named_check{"unplug", unplug}, {"hang", hang}}) {
        scenario.check(scenario.name);
        scenario.check(std::string("windows_") + scenario.name);
    }
    udev();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
