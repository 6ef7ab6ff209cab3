// SPDX-License-Identifier: MIT
// Reliability at scale, in process on a simulated clock: ten thousand seeded
// random fault plans, each followed by a clean rerun on the same device, and
// an update cut off before and after every one of its 1474 packets, each
// followed by a rerun. Figures go to the test's output and to
// campaign-figures.txt in the build folder.
//
// QUENNET_CAMPAIGN_SEED=N runs plan N alone and shows its console.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "emu/inprocess/inprocess.h"
#include "tests/common.h"

namespace {

#ifndef QUENNET_CAMPAIGN_DIVISOR
#define QUENNET_CAMPAIGN_DIVISOR 1
#endif
constexpr unsigned PLANS = 10000 / QUENNET_CAMPAIGN_DIVISOR;
constexpr unsigned CUT_POINT_STEP = QUENNET_CAMPAIGN_DIVISOR;


// Within the program's bounds the update must complete; past them the run
// must end with status 1; a mixed plan may do either, but never report
// success for a device without the release. The protocol cannot tell every
// lost packet (a block lost with its acknowledgement carries no sequence
// number), but the restarted device's versions can: only a run that ends in
// the power-cycle message, where nothing is read back, may still end with
// status 0 without the release, and those are counted apart.
enum class plan_class { within_bounds, past_bounds, mixed };

struct fault_plan {
    unsigned seed = 0;
    plan_class kind = plan_class::mixed;
    std::vector<std::string> faults;
    // A text the console must show: the missing reply a short reply makes.
    std::string must_show;
    // What the device runs: a tenth of the mixed plans run Mainboard v0.90,
    // whose update ends with the power-cycle message.
    version_pair mainboard = DEFAULT_MAINBOARD_VERSION;
};

constexpr version_pair POWER_CYCLE_MAINBOARD{0x00, 0x90};

const char* const CLASS_NAMES[] = {"within bounds", "past bounds", "mixed"};  // by plan_class

std::string describe(const fault_plan& plan)
{
    std::string text = "plan " + std::to_string(plan.seed) + " (" + CLASS_NAMES[static_cast<int>(plan.kind)] + "):";
    for (const std::string& fault : plan.faults)
        text += " --fault " + fault;
    if (plan.mainboard == POWER_CYCLE_MAINBOARD)
        text += " --mainboard 0.90";
    return text + "  [replay: QUENNET_CAMPAIGN_SEED=" + std::to_string(plan.seed) + "]";
}

struct plan_maker {
    std::mt19937 random;
    fault_plan plan;
    std::set<int> reserved;  // commit or chunk addresses the plan's decisive fault uses

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    static int chunk_address(int index) { return static_cast<int>(EEPROM_CHUNK_MAX) * index; }
    static int commit_address(int block) { return static_cast<int>(FLASH_BLOCK_SIZE * block + COMMIT_IN_BLOCK); }
    static std::string chunk(int index) { return "command=0x21,address=" + std::to_string(chunk_address(index)); }
    static std::string commit(int block) { return "command=0x31,address=" + std::to_string(commit_address(block)); }
    static std::string flash_packet(int packet)
    {
        const int offset = static_cast<int>(FLASH_PACKET_DATA) * packet;
        return std::string(offset % FLASH_BLOCK_SIZE == COMMIT_IN_BLOCK ? "command=0x31" : "command=0x32") +
               ",address=" + std::to_string(offset);
    }
    int free_block(int high)
    {
        for (;;) {
            const int block = pick(0, high);
            if (reserved.count(commit_address(block)) == 0)
                return block;
        }
    }
    // A block wait that hears nothing it knows: a time-out, a status the
    // program does not know, or a reply too short to hold a status.
    std::string silence()
    {
        const char unknown[] = {'X', '?', 'k', 'A', 0x00};
        switch (pick(0, 2)) {
        case 0:
            return "no-reply";
        case 1:
            return std::string("garble=") + unknown[pick(0, 3)];
        default:
            return "short=" + std::to_string(pick(1, static_cast<int>(REPLY_EXAMINED_SIZE) - 1));
        }
    }
    void add(const std::string& fault) { plan.faults.push_back(fault); }
    // `fault` at chunk `index`, or at the commit of `block`, whose place no
    // other fault may then take.
    void at_chunk(const std::string& fault, int index)
    {
        reserved.insert(chunk_address(index));
        add(fault + chunk(index));
    }
    void at_commit(const std::string& fault, int block)
    {
        reserved.insert(commit_address(block));
        add(fault + commit(block));
    }

    // Faults a healthy program gets past: single or paired silent blocks
    // (time-outs or statuses it does not know), fewer than four failed writes
    // of one flash packet, fewer than 1000 'M' replies, replies late but
    // within the time-out. Spread over the whole update.
    void within_bounds_faults(int scale)
    {
        std::set<int> silent;
        const int silent_count = pick(0, 3 * scale);
        for (int i = 0; i < silent_count; ++i) {
            const int block = free_block(LAST_BLOCK - 1);  // the last block's wait reads through silence
            if (silent.count(block - 1) + silent.count(block + 1) + silent.count(block - 2) + silent.count(block + 2) > 0)
                continue;  // at most two silent blocks in a row
            silent.insert(block);
            if (pick(0, 1) && !silent.count(block + 1) && block + 1 < LAST_BLOCK && !reserved.count(commit_address(block + 1)))
                silent.insert(block + 1);
        }
        for (int block : silent)
            at_commit(silence() + "@", block);  // 'M' replies there would be cut short too
        std::set<int> failing;
        const int failing_count = pick(0, 2 * scale);
        for (int i = 0; i < failing_count; ++i) {
            const int packet = pick(0, LAST_PACKET);
            if (reserved.count(static_cast<int>(FLASH_PACKET_DATA) * packet) == 0 && failing.insert(packet).second)
                add("write-fail@" + flash_packet(packet) + ",times=" + std::to_string(pick(1, 3)));
        }
        // Each place gets one wait run and one delay at most: two would add up.
        std::set<std::string> waiting, late;
        const int waits = pick(0, scale);
        for (int i = 0; i < waits; ++i) {
            const std::string where = commit(free_block(LAST_BLOCK));
            if (waiting.insert(where).second)
                add("wait=" + std::to_string(pick(1, WAIT_REPLIES_MAX - 1)) + "@" + where);
        }
        const int delays = pick(0, scale);
        for (int i = 0; i < delays; ++i) {
            const int which = pick(0, 3);
            const std::string where = which == 0   ? commit(free_block(LAST_BLOCK))
                                      : which == 1 ? chunk(pick(0, LAST_CHUNK_INDEX))
                                                   : "index=" + std::to_string(pick(0, 2) == 0 ? HAND_OVER : pick(0, 2));
            if (late.insert(where).second)
                add("delay=" + std::to_string(pick(1, 700)) + "@" + where);
        }
    }

    // One fault past the program's bounds, or one the protocol reports.
    void decisive_fault()
    {
        const char* refusals[] = {"R", "V", "W"};
        switch (pick(0, 10)) {
        case 0:
            add("unplug@index=" + std::to_string(pick(0, LAST_FLASH)));
            break;
        case 1:
            add("unplug-after@index=" + std::to_string(pick(0, LAST_FLASH)));
            break;
        case 2:
            add("stop@index=" + std::to_string(pick(0, LAST_FLASH)));
            break;
        case 3: {
            const std::string status = std::string("status=") + refusals[pick(0, 2)] + "@";
            const int where = pick(0, 3);
            if (where == 0) {
                at_chunk(status, pick(0, LAST_CHUNK_INDEX));
            } else if (where == 1) {
                at_commit(status, pick(0, LAST_BLOCK));
            } else {
                add(status + "index=" + std::to_string(pick(0, 2) == 0 ? CLEAR : pick(HAND_OVER, ENTRY)));
            }
            break;
        }
        case 4: {
            const int block = pick(0, LAST_BLOCK);
            at_commit("wait=" + std::to_string(pick(WAIT_REPLIES_MAX, WAIT_REPLIES_MAX + 500)) + "@", block);
            break;
        }
        case 5: {
            const int packet = pick(0, LAST_PACKET);
            reserved.insert(static_cast<int>(FLASH_PACKET_DATA) * packet);
            add("write-fail@" + flash_packet(packet) + ",times=" + std::to_string(pick(FLASH_PACKET_RESENDS_MAX + 1, 6)));
            break;
        }
        case 6: {
            // Three silent blocks in a row, or a silent last block.
            const int first = pick(0, 1) ? LAST_BLOCK : pick(0, LAST_BLOCK - SILENT_WAITS_MAX + 1);
            for (int block = first; block < std::min(first + SILENT_WAITS_MAX, LAST_BLOCK + 1); ++block)
                at_commit(silence() + "@", block);
            break;
        }
        case 7: {
            const int index = pick(0, 2) == 0 ? pick(0, CLEAR) : pick(HAND_OVER, ENTRY);
            add((pick(0, 1) ? "no-reply@index=" : "lost@index=") + std::to_string(index));
            break;
        }
        case 8: {
            // A device one reply behind after 'M' answers to chunks, and as
            // many later chunk writes that fail: every read still gets a 'K'.
            const int behind = pick(1, 3);
            const int first = pick(behind + 1, LAST_CHUNK_INDEX);
            add("wait=" + std::to_string(behind) + "@" + chunk(first));
            std::set<int> failing;
            while (static_cast<int>(failing.size()) < behind)
                failing.insert(pick(0, first - 1));
            for (int index : failing)
                add("write-fail@" + chunk(index));
            break;
        }
        case 9: {
            const int index = pick(0, LAST_CHUNK_INDEX);
            at_chunk(pick(0, 1) ? "delay=" + std::to_string(pick(1001, 3000)) + "@" : "lost@", index);
            break;
        }
        default: {
            // A reply too short to hold what is examined, where every packet
            // must be answered: a version query, the clear, a chunk, the
            // hand-over or the entry. It is a missing reply.
            const int where = pick(0, 2);
            const std::string cut = "short=" + std::to_string(pick(1, static_cast<int>(REPLY_EXAMINED_SIZE) - 1)) + "@";
            if (where == 0) {
                at_chunk(cut, pick(0, LAST_CHUNK_INDEX));
            } else {
                const int index = where == 1 ? pick(0, CLEAR) : pick(HAND_OVER, ENTRY);
                add(cut + "index=" + std::to_string(index));
                plan.must_show = index == 0 ? "\nNo reply from Quennet\n" : "\nNo response from Quennet\n";
            }
            if (plan.must_show.empty())
                plan.must_show = "\nNo response from Quennet\n";
            break;
        }
        }
    }

    // Anything at any packet: every fault kind, with no care for bounds.
    void mixed_faults()
    {
        const int count = pick(1, 4);
        const char* statuses[] = {"R", "V", "W", "K", "M", "H", "X", "0"};
        for (int i = 0; i < count; ++i) {
            const std::string where = pick(0, 1) ? "index=" + std::to_string(pick(0, ALL_PACKETS - 1))
                                                 : (pick(0, 1) ? commit(pick(0, LAST_BLOCK)) : chunk(pick(0, LAST_CHUNK_INDEX)));
            switch (pick(0, 11)) {
            case 0: {
                const int s = pick(0, 7);
                add(std::string("status=") + statuses[s] + "@" + where);
                break;
            }
            case 1:
                add(std::string("garble=") + statuses[pick(0, 7)] + "@" + where);
                break;
            case 2:
                add("wait=" + std::to_string(pick(1, 1200)) + "@" + where);
                break;
            case 3:
                add("no-reply@" + where);
                break;
            case 4:
                add("lost@" + where);
                break;
            case 5:
                add("write-fail@" + where + ",times=" + std::to_string(pick(1, 6)));
                break;
            case 6:
                add("unplug@" + where);
                break;
            case 7:
                add("unplug-after@" + where);
                break;
            case 8:
                add("stop@" + where);
                break;
            case 9:
                add("short=" + std::to_string(pick(1, static_cast<int>(REPLY_READ_SIZE))) + "@" + where);
                break;
            default: {
                // An answer later than the time-out is read by the next
                // wait: from then on every acknowledgement is read one block
                // late, and the last block's is read by nobody.
                const int delay = pick(1, 2500);
                add("delay=" + std::to_string(delay) + "@" + where);
                break;
            }
            }
        }
    }
};

fault_plan make_plan(unsigned seed)
{
    plan_maker maker{std::mt19937(seed), fault_plan{}, {}};
    maker.plan.seed = seed;
    maker.plan.kind = static_cast<plan_class>(seed % 3);
    switch (maker.plan.kind) {
    case plan_class::within_bounds:
        maker.within_bounds_faults(2);
        break;
    case plan_class::past_bounds:
        maker.decisive_fault();
        maker.within_bounds_faults(1);
        break;
    case plan_class::mixed:
        maker.mixed_faults();
        if (maker.pick(0, 9) == 0)
            maker.plan.mainboard = POWER_CYCLE_MAINBOARD;
        break;
    }
    return maker.plan;
}

// A failure text the program prints before its abort exit.
bool shows_failure(const std::string& console)
{
    for (const char* text : {"\nNo response from Quennet\n", "\nNo reply from Quennet\n", " failed!\n", "\nReplied '",
                             "\nCannot ", "\nThe update did not take hold", "\nQuennet did not come back"})
        if (console.find(text) != std::string::npos)
            return true;
    return false;
}

// A clean run on the device as it powers up after the one before; returns
// its simulated time, or -1 when it did not complete.
long rerun(const device_model& left, std::string& why)
{
    device_model again = device_after_replug(left);
    again.faults.clear();
    again.packets.clear();
    const inprocess_run run = run_in_process(again, "y\n", {.timing = realistic_timing()});
    if (run.exit_status != 0 || !device_holds_release(run.device)) {
        why = "the clean rerun did not complete:\n" + run.console;
        return -1;
    }
    return run.elapsed_us;
}

struct campaign_figures {
    unsigned plans = 0;
    unsigned by_class[3] = {};
    unsigned completed = 0;
    unsigned failed = 0;
    unsigned harmless = 0;       // completed with the release although acknowledgements were lost
    unsigned power_cycles = 0;   // exit 0 with the power-cycle message: nothing read back
    unsigned power_cycles_without_release = 0;
    unsigned false_successes = 0;
    unsigned past_give_up_bound = 0;
    unsigned reruns = 0;
    unsigned reruns_completed = 0;
    long worst_give_up_us = 0;
};

void write_figures(const std::string& name, const std::string& text)
{
    std::printf("%s", text.c_str());
    std::ofstream(std::string(QUENNET_FIGURES_DIR) + "/" + name, std::ios::trunc) << text;
}

// Checks one plan; returns what went wrong, empty when nothing did.
std::string check_plan(const fault_plan& plan, campaign_figures& figures, bool show)
{
    device_model device = quennet(plan.faults, plan.mainboard);
    const inprocess_run run = run_in_process(device, "y\n", {.timing = realistic_timing()});
    if (show)
        std::printf("%s\n--- console ---\n%s\n--- exit status %d, %.3f s simulated\n", describe(plan).c_str(),
                    run.console.c_str(), run.exit_status, static_cast<double>(run.elapsed_us) * 1e-6);
    std::string problems;
    if (const char* property = violated_update_property(run.calls, run.exit_status, run.console, false))
        problems += std::string("property broken: ") + property + "\n";
    if (!run.console.ends_with(PAUSE_PROMPT))
        problems += "the console does not end with the prompt\n";
    if (shows_failure(run.console) && shows_success(run.console))
        problems += "a success text follows a failure text\n";
    const bool holds = device_holds_release(run.device);
    ++figures.by_class[static_cast<int>(plan.kind)];
    if (run.exit_status == 0) {
        ++figures.completed;
        const bool power_cycle = run.console.find(POWER_CYCLE) != std::string::npos;
        figures.power_cycles += power_cycle;
        if (!holds && power_cycle) {
            ++figures.power_cycles_without_release;
        } else if (!holds) {
            ++figures.false_successes;
            problems += "exit status 0, yet the device does not hold the release\n";
        } else if (run.console.find("\r  Done in") != std::string::npos &&
                   percentages(run.console).size() < static_cast<size_t>(EEPROM_PACKETS - 1 + FLASH_BLOCKS)) {
            ++figures.harmless;
        }
    } else {
        ++figures.failed;
        // The wait for the restarted device has a bound of its own.
        const bool restarted = run.console.find("\nWaiting for Quennet to restart") != std::string::npos;
        const long bound = restarted ? 1000L * (RESTART_WAIT_MAX_MS + REPLY_TIMEOUT_MS) : GIVE_UP_BOUND_US;
        const long give_up = run.elapsed_us - run.last_answer_us;
        if (!restarted)
            figures.worst_give_up_us = std::max(figures.worst_give_up_us, give_up);
        if (give_up > bound) {
            ++figures.past_give_up_bound;
            problems += "gave up " + std::to_string(give_up) + " us after the device last answered\n";
        }
    }
    if (plan.kind == plan_class::within_bounds && (run.exit_status != 0 || !holds))
        problems += "faults within the program's bounds, yet the update did not complete\n";
    if (plan.kind == plan_class::past_bounds && run.exit_status != 1)
        problems += "a fault past the program's bounds, yet the run did not end with status 1\n";
    if (!plan.must_show.empty() && run.console.find(plan.must_show) == std::string::npos)
        problems += "the console does not show" + plan.must_show;
    if (run.exit_status != 0 || !holds) {
        ++figures.reruns;
        std::string why;
        if (rerun(run.device, why) >= 0)
            ++figures.reruns_completed;
        else
            problems += why + "\n";
    }
    if (!problems.empty() && !show)
        problems += "--- console ---\n" + run.console + "\n";
    return problems;
}

TEST(campaign, random_fault_plans_never_end_in_a_false_success_and_a_rerun_always_completes)
{
    campaign_figures figures;
    if (const char* only = std::getenv("QUENNET_CAMPAIGN_SEED")) {
        EXPECT_EQ(check_plan(make_plan(static_cast<unsigned>(std::strtoul(only, nullptr, 10))), figures, true), "");
        return;
    }
    unsigned reported = 0;
    for (unsigned seed = 1; seed <= PLANS; ++seed) {
        const fault_plan plan = make_plan(seed);
        const std::string problems = check_plan(plan, figures, false);
        ++figures.plans;
        if (!problems.empty() && ++reported <= 5)
            ADD_FAILURE() << describe(plan) << "\n" << problems;
    }
    // A false success, a give-up past the bound and a failed rerun are each
    // a plan's problem.
    EXPECT_EQ(reported, 0u) << "plans with problems";
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(2);
    text << "fault campaign: " << figures.plans << " plans (" << figures.by_class[0] << " within bounds, "
         << figures.by_class[1] << " past bounds, " << figures.by_class[2] << " mixed): " << figures.completed
         << " completed, " << figures.failed << " failed\n"
         << "  harmless (acknowledgements lost, release held): " << figures.harmless << "\n"
         << "  power-cycle endings (nothing read back): " << figures.power_cycles << ", of which without the release: "
         << figures.power_cycles_without_release << "\n"
         << "  false successes: " << figures.false_successes << "\n"
         << "  worst give-up after the device's last answer: " << static_cast<double>(figures.worst_give_up_us) * 1e-6
         << " s (bound " << static_cast<double>(GIVE_UP_BOUND_US) * 1e-6 << " s), past the bound: "
         << figures.past_give_up_bound << "\n"
         << "  clean reruns after a failed run: " << figures.reruns_completed << " of " << figures.reruns
         << " completed\n";
    write_figures("campaign-figures.txt", text.str());
}

TEST(campaign, an_update_cut_off_before_or_after_any_packet_completes_when_run_again)
{
    unsigned cut_points = 0, passed = 0, reported = 0;
    long longest_us = 0, total_us = 0;
    for (size_t index = 0; index < ALL_PACKETS; index += CUT_POINT_STEP) {
        for (const char* kind : {"unplug@index=", "unplug-after@index="}) {
            ++cut_points;
            const std::string fault = kind + std::to_string(index);
            const inprocess_run cut = run_in_process(quennet({fault}), "y\n", {.timing = realistic_timing()});
            std::string problems;
            if (cut.exit_status == 0 && !device_holds_release(cut.device))
                problems += "exit status 0 without the release\n";
            std::string why;
            const long rerun_us = rerun(cut.device, why);
            if (rerun_us < 0)
                problems += why;
            if (problems.empty()) {
                ++passed;
                longest_us = std::max(longest_us, rerun_us);
                total_us += rerun_us;
            } else if (++reported <= 5) {
                ADD_FAILURE() << "cut off by --fault " << fault << "\n" << problems;
            }
        }
    }
    EXPECT_EQ(passed, cut_points);
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(3);
    text << "cut points: " << cut_points << " (unplugged before and after every " << CUT_POINT_STEP
         << (CUT_POINT_STEP == 1 ? "st" : "th") << " packet of " << ALL_PACKETS << "), reruns completed: " << passed
         << " of " << cut_points << ", rerun time longest " << static_cast<double>(longest_us) * 1e-6 << " s, mean "
         << (passed > 0 ? static_cast<double>(total_us) / passed * 1e-6 : 0.0) << " s (simulated)\n";
    write_figures("cut-point-figures.txt", text.str());
}

}  // namespace
