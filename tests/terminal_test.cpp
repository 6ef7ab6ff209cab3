// SPDX-License-Identifier: MIT
// The real quennet-update on a real terminal (a pseudo-terminal that is its
// controlling terminal): the press-a-key prompt, and what Ctrl+C, a closed
// terminal, SIGTERM and a reader of the output that goes away do before,
// during and after an update.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <chrono>
#include <filesystem>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <systemd/sd-bus.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/harness.h"
#include "util/interrupt.h"
#include "util/stay_awake.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Reads from the terminal's master side (or a pipe) until `text` has
// appeared at `from` or later, or the deadline passes.
bool read_until(int master, std::string& seen, const std::string& text, steady_clock::time_point deadline,
                size_t from = 0)
{
    while (seen.find(text, from) == std::string::npos) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left)) <= 0)
            continue;
        char block[512];
        const ssize_t count = read(master, block, sizeof block);
        if (count <= 0)
            return false;
        seen.append(block, static_cast<size_t>(count));
    }
    return true;
}

bool canonical(int terminal)
{
    termios settings{};
    tcgetattr(terminal, &settings);
    return (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
}

// Bytes waiting in the terminal's input queue, unread. In canonical mode
// the queue counts only whole lines, so a key's bytes left without a line
// end are counted with the line discipline switched to single bytes for the
// moment of the count.
int unread(int terminal)
{
    termios saved{};
    tcgetattr(terminal, &saved);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    tcsetattr(terminal, TCSANOW, &raw);
    int count = -1;
    ioctl(terminal, FIONREAD, &count);
    tcsetattr(terminal, TCSANOW, &saved);
    return count;
}

// quennet-update started in a session of its own whose controlling terminal
// is the pseudo-terminal, as a shell in a terminal window starts it. Its
// standard output goes to the terminal, or to a pipe when `output_pipe`.
struct terminal_child {
    pid_t pid = -1;
    int master = -1;    // the terminal window's side
    int terminal = -1;  // the program's side, kept to look at its input queue and settings
    int output = -1;    // the pipe's reading end, or the master
};

// `command` (with `environment` added) replaces quennet-update on the
// emulated bus, and `errors` (a descriptor) the terminal as standard error.
terminal_child start_on_terminal(bool output_pipe = false, const std::vector<std::string>& command = {},
                                 const std::vector<std::string>& environment = {}, int errors = -1)
{
    terminal_child child;
    int pipe_ends[2] = {-1, -1};
    if (openpty(&child.master, &child.terminal, nullptr, nullptr, nullptr) != 0 || (output_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "no pseudo-terminal or pipe";
        return child;
    }
    const int terminal = child.terminal;
    fcntl(child.master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    child.output = output_pipe ? pipe_ends[0] : child.master;
    // Everything the child needs is made before the fork: after it, only
    // calls that are safe in a child of a process with threads.
    child_options options = update_child("");
    if (!command.empty()) {
        options.argv = command;
        options.environment = environment;
    }
    std::vector<std::string> env_texts = child_environment(options.environment);
    through_launcher(options.argv, env_texts);
    std::vector<char*> envp = pointers(env_texts);
    std::vector<char*> argv = pointers(options.argv);
    const int output_fd = output_pipe ? pipe_ends[1] : terminal;
    const int errors_fd = errors >= 0 ? errors : terminal;
    child.pid = fork();
    if (child.pid == 0) {
        // As a shell in a terminal window starts a program: every signal
        // acts as by default (this process's libraries ignore SIGPIPE).
        for (int each : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            signal(each, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setsid();
        ioctl(terminal, TIOCSCTTY, 0);
        dup2(terminal, STDIN_FILENO);
        dup2(output_fd, STDOUT_FILENO);
        dup2(errors_fd, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (output_pipe)
        close(pipe_ends[1]);
    return child;
}

// Waits for the child's end, at most until the deadline; kills it after.
int wait_for_end(pid_t pid, steady_clock::time_point deadline)
{
    int status = -1;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "quennet-update did not end in time";
    }
    return status;
}

// An emulated bus whose Quennet answers with a real device's timing.
std::unique_ptr<emulated_bus> realistic_bus(const device_model& device)
{
    bus_options realistic;
    realistic.timing = realistic_timing();
    return bus_create(realistic, device);
}

// Whether the child has ended, leaving it to be waited for.
bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Waits until the press-a-key prompt has switched the terminal to single
// keys, then types one.
void press_a_key_at_the_prompt(const terminal_child& child, steady_clock::time_point deadline)
{
    while (canonical(child.terminal) && !has_ended(child.pid) && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_FALSE(canonical(child.terminal)) << "no press-a-key prompt";
    EXPECT_EQ(write(child.master, "x", 1), 1);
}

// quennet-update on a terminal with the given system bus.
terminal_child start_with_bus(const std::string& address)
{
    std::vector<std::string> environment = update_child("").environment;
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [](const std::string& e) { return e.rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) == 0; }),
                      environment.end());
    environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address);
    return start_on_terminal(false, {QUENNET_UPDATE_PATH}, environment);
}

// One quennet-update on the terminal against an emulated Quennet, from its
// start to its end.
struct session {
    std::unique_ptr<emulated_bus> bus;
    terminal_child child;
    steady_clock::time_point deadline = steady_clock::now() + std::chrono::seconds(60);
    std::string seen;  // what it has shown so far
};

// Starts the program (on `system_bus` where given) against a Quennet with
// `faults` (with a real device's timing where `realistic`) and waits for its
// consent prompt; false, the failure recorded, where it did not get there.
bool start_session(session& s, const std::vector<std::string>& faults, bool realistic, bool output_pipe = false,
                   const std::string& system_bus = "")
{
    s.bus = realistic ? realistic_bus(quennet(faults)) : bus_create(bus_options{}, quennet(faults));
    if (s.bus == nullptr) {
        ADD_FAILURE() << "no emulated bus";
        return false;
    }
    s.child = system_bus.empty() ? start_on_terminal(output_pipe) : start_with_bus(system_bus);
    if (s.child.pid <= 0) {
        ADD_FAILURE() << "quennet-update did not start";
        return false;
    }
    const bool prompted = read_until(s.child.output, s.seen, "Yes/[No]: ", s.deadline);
    EXPECT_TRUE(prompted) << s.seen;
    return prompted;
}

void type(const session& s, const std::string& text)
{
    EXPECT_EQ(write(s.child.master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Waits until the phase under `heading` is 10% done.
void reach(session& s, const char* heading)
{
    EXPECT_TRUE(read_until(s.child.output, s.seen, heading, s.deadline)) << s.seen;
    EXPECT_TRUE(read_until(s.child.output, s.seen, "\r  10%", s.deadline, s.seen.find(heading))) << s.seen;
}

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const std::string RESTART_AND_PROMPT = "\r\nRestarting Quennet\r\nPress any key to continue . . . ";
const std::string NOTICE_ON_TERMINAL = std::regex_replace(INTERRUPT_NOTICE, std::regex("\n"), "\r\n");

// Closes the terminal window's side, as closing the window does.
void close_terminal(session& s)
{
    close(s.child.master);
    if (s.child.output == s.child.master)
        s.child.output = -1;
    s.child.master = -1;
}

// Ends what is left of the session: a program that never got to its end
// is killed.
void end_session(session& s)
{
    if (s.child.pid > 0 && waitpid(s.child.pid, nullptr, WNOHANG) == 0) {
        kill(s.child.pid, SIGKILL);
        waitpid(s.child.pid, nullptr, 0);
    }
    for (int fd : {s.child.master, s.child.terminal})
        if (fd >= 0)
            close(fd);
    if (s.child.output >= 0 && s.child.output != s.child.master)
        close(s.child.output);
    bus_destroy(s.bus);
}

// The press-a-key prompt and the held console at the exits. The prompt
// throws away what was typed before it appeared, takes one whole key
// without Enter (an escape sequence's every byte, even on a slow line),
// leaves nothing unread for the shell, and restores the terminal's settings.
// A Ctrl+C during the update gives the notice and is dropped at the exit,
// not acted on, even where the device then fails (its message, the prompt,
// status 1). At the prompt the signals act again: a Ctrl+C there ends the
// program, after a completed or a failed update.
struct prompt_case {
    const char* name;
    std::string answer;  // typed at the consent prompt, with what is typed during the update
    std::string key;     // typed at the press-a-key prompt
    int exit_status;     // where no signal ends it
    int ended_by = 0;    // the signal that ends it, or 0
    int gap_ms = 0;      // between the key's bytes (a slow line); 0: all at once
    bool ctrl_c_during_the_update = false;  // 10% into the Mainboard phase
    std::vector<std::string> faults = {};   // a Control-phase failure, or none
};

void PrintTo(const prompt_case& c, std::ostream* out)
{
    *out << c.name;
}

class final_prompt : public testing::TestWithParam<prompt_case> {};

TEST_P(final_prompt, takes_one_fresh_key_whole_and_lets_the_console_go)
{
    const prompt_case& c = GetParam();
    session s;
    if (!start_session(s, c.faults, c.ctrl_c_during_the_update))
        return end_session(s);
    type(s, c.answer);
    if (c.ctrl_c_during_the_update) {
        reach(s, "Updating Mainboard:");
        type(s, "\x03");
    }
    EXPECT_TRUE(read_until(s.child.master, s.seen, "Press any key to continue . . . ", s.deadline)) << s.seen;
    EXPECT_EQ(s.seen.find(NOTICE_ON_TERMINAL) != std::string::npos, c.ctrl_c_during_the_update) << s.seen;
    if (c.answer[0] == 'y') {
        EXPECT_TRUE(ends_with(s.seen, c.faults.empty() ? RESTART_AND_PROMPT
                                                       : "Verify flash failed!\r\nPress any key to continue . . . "))
            << s.seen;
    }
    // The prompt switches the terminal to single keys before it waits.
    while (canonical(s.child.terminal) && !has_ended(s.child.pid) && steady_clock::now() < s.deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_FALSE(canonical(s.child.terminal));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(has_ended(s.child.pid)) << "the program ended before a key was pressed at the prompt";
    if (c.gap_ms == 0) {
        type(s, c.key);
    } else {
        // Each byte well within the prompt's 50 ms rest after the one before.
        for (const char byte : c.key) {
            type(s, std::string(1, byte));
            std::this_thread::sleep_for(milliseconds(c.gap_ms));
        }
    }
    const int status = wait_for_end(s.child.pid, s.deadline);
    if (c.ended_by != 0) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.ended_by) << "status " << status;
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_status) << "status " << status;
        EXPECT_EQ(unread(s.child.terminal), 0) << "part of the key was left for the shell";
        EXPECT_TRUE(canonical(s.child.terminal)) << "the terminal's settings were not restored";
    }
    end_session(s);
}

const std::vector<std::string> CONTROL_PHASE_FAILURE = {"status=V@command=0x31,address=336"};

INSTANTIATE_TEST_SUITE_P(
    cases, final_prompt,
    testing::Values(prompt_case{"plain_key", "n\r", "x", 1},
                    prompt_case{"key_typed_during_the_update_is_no_answer", "y\rk", "x", 0},
                    prompt_case{"arrow_key", "n\r", "\x1b[A", 1},
                    prompt_case{"function_key_f5", "n\r", "\x1b[15~", 1},
                    prompt_case{"function_key_f5_whose_bytes_arrive_apart", "n\r", "\x1b[15~", 1, 0, 10},
                    prompt_case{"ctrl_c_then_a_device_failure", "y\r", "x", 1, 0, 0, true, CONTROL_PHASE_FAILURE},
                    prompt_case{"ctrl_c_at_the_prompt_after_a_completed_update", "y\r", "\x03", 0, SIGINT},
                    prompt_case{"ctrl_c_at_the_prompt_after_a_failed_update", "y\r", "\x03", 0, SIGINT, 0, false,
                                CONTROL_PHASE_FAILURE}),
    [](const testing::TestParamInfo<prompt_case>& info) { return info.param.name; });

enum class interruption { ctrl_c, hang_up, sigterm, reader_gone };

struct interruption_case {
    const char* name;
    interruption what;
    const char* phase;  // the heading after which it comes, 10% into that phase
};

void PrintTo(const interruption_case& c, std::ostream* out)
{
    *out << c.name;
}

class after_consent : public testing::TestWithParam<interruption_case> {};

// Once the owner has answered y, nothing the console does cuts the update
// off: the run goes on to its normal end, exit status 0, the device holding
// both images. Where the terminal is still there it says once, after the
// progress so far, why the key did nothing, and the progress line goes on.
TEST_P(after_consent, the_update_goes_on_to_its_end)
{
    const interruption_case& c = GetParam();
    session s;
    if (!start_session(s, {}, true, c.what == interruption::reader_gone))
        return end_session(s);
    type(s, "y\r");
    reach(s, c.phase);
    switch (c.what) {
    case interruption::ctrl_c:
        type(s, "\x03");
        break;
    case interruption::sigterm:
        kill(s.child.pid, SIGTERM);
        break;
    case interruption::hang_up:
        close_terminal(s);
        break;
    case interruption::reader_gone:
        close(s.child.output);
        s.child.output = -1;
        break;
    }
    const size_t interrupted_at = s.seen.size();
    if (c.what == interruption::ctrl_c || c.what == interruption::sigterm) {
        EXPECT_TRUE(read_until(s.child.output, s.seen, "Press any key to continue . . . ", s.deadline)) << s.seen;
        const size_t at = s.seen.find(NOTICE_ON_TERMINAL, interrupted_at);
        EXPECT_NE(at, std::string::npos) << "no notice:\n" << s.seen;
        if (at != std::string::npos) {
            EXPECT_EQ(s.seen.find(NOTICE_ON_TERMINAL, at + 1), std::string::npos) << "the notice came twice";
            EXPECT_EQ(s.seen.compare(at + NOTICE_ON_TERMINAL.size(), 3, "\r  "), 0)
                << "the progress line did not go on:\n" << s.seen;
        }
        EXPECT_TRUE(ends_with(s.seen, RESTART_AND_PROMPT)) << s.seen;
    }
    if (c.what != interruption::hang_up)
        press_a_key_at_the_prompt(s.child, s.deadline);
    const int status = wait_for_end(s.child.pid, s.deadline);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ":\n" << s.seen;
    EXPECT_TRUE(device_holds_release(bus_device(*s.bus)));
    end_session(s);
}

INSTANTIATE_TEST_SUITE_P(
    cases, after_consent,
    testing::Values(interruption_case{"ctrl_c_in_the_mainboard_phase", interruption::ctrl_c, "Updating Mainboard:"},
                    interruption_case{"ctrl_c_in_the_control_phase", interruption::ctrl_c, "Updating Control:"},
                    interruption_case{"terminal_closed_in_the_control_phase", interruption::hang_up, "Updating Control:"},
                    interruption_case{"sigterm_in_the_mainboard_phase", interruption::sigterm, "Updating Mainboard:"},
                    interruption_case{"reader_of_the_output_gone_in_the_mainboard_phase", interruption::reader_gone,
                                      "Updating Mainboard:"}),
    [](const testing::TestParamInfo<interruption_case>& info) { return info.param.name; });

// One update at a time: a second program started while the first holds the
// Quennet is refused before it sends anything, and the first goes on
// untouched to its end, the device having received exactly one update. The
// lock is the kernel's: gone with the program, however it ended. After a
// first program that completed, or that was killed mid-update, a second
// updates the device.
enum class first_program { running, completed, killed };

struct second_program_case {
    const char* name;
    const char* first_at;  // what the first program shows when the second starts, or is killed
    first_program first;
};

void PrintTo(const second_program_case& c, std::ostream* out)
{
    *out << c.name;
}

class second_program : public testing::TestWithParam<second_program_case> {};

const std::string REFUSED_AS_SECOND =
    BANNER + "\n\nFound Quennet\n\nAnother quennet-update is using this Quennet - Please wait until it has finished\n" +
    PAUSE_PROMPT;

TEST_P(second_program, is_refused_while_the_first_holds_the_quennet)
{
    const second_program_case& c = GetParam();
    session s;
    if (!start_session(s, {}, true))
        return end_session(s);
    const bool at_consent = std::string(c.first_at) == "Yes/[No]: ";
    if (!at_consent) {
        type(s, "y\r");
        reach(s, c.first_at);
    }
    if (c.first == first_program::killed)
        kill(s.child.pid, SIGKILL);
    if (c.first == first_program::completed) {
        EXPECT_TRUE(read_until(s.child.master, s.seen, RESTART_AND_PROMPT, s.deadline)) << s.seen;
        press_a_key_at_the_prompt(s.child, s.deadline);
    }
    if (c.first != first_program::running)
        wait_for_end(s.child.pid, s.deadline);
    const child_outcome second = run_child(update_child("y\n", 30000));
    if (c.first == first_program::running) {
        EXPECT_EQ(second.output, REFUSED_AS_SECOND);
        EXPECT_EQ(second.exit_status, 1);
        if (at_consent)
            type(s, "y\r");
        EXPECT_TRUE(read_until(s.child.master, s.seen, RESTART_AND_PROMPT, s.deadline)) << s.seen;
        press_a_key_at_the_prompt(s.child, s.deadline);
        const int status = wait_for_end(s.child.pid, s.deadline);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ":\n" << s.seen;
        EXPECT_EQ(delivered(bus_device(*s.bus)), complete_update_packets()) << "not exactly one update's packets";
    } else {
        EXPECT_EQ(second.output.find("Another quennet-update"), std::string::npos) << second.output;
        EXPECT_EQ(second.exit_status, 0) << second.output;
    }
    EXPECT_TRUE(device_holds_release(bus_device(*s.bus)));
    end_session(s);
}

INSTANTIATE_TEST_SUITE_P(
    cases, second_program,
    testing::Values(
        second_program_case{"while_the_first_waits_at_its_consent_prompt", "Yes/[No]: ", first_program::running},
        second_program_case{"during_the_first_ones_mainboard_phase", "Updating Mainboard:", first_program::running},
        second_program_case{"during_the_first_ones_control_phase", "Updating Control:", first_program::running},
        second_program_case{"after_the_first_has_ended", "Updating Control:", first_program::completed},
        second_program_case{"after_the_first_was_killed_mid_update", "Updating Mainboard:", first_program::killed}),
    [](const testing::TestParamInfo<second_program_case>& info) { return info.param.name; });

// The README's first command keeps the README's promise: once the owner has
// answered y, a Ctrl+C or a closed terminal leaves the emulated Quennet
// answering until the program has ended, as a real device would; a Ctrl+C
// at the consent prompt ends everything at once. The script runs from a
// build folder of its own, which the fixture try_emulated.build has built.
enum class at_try { consent, mainboard, control };

struct try_case {
    const char* name;
    interruption what;
    at_try when;
};

TEST(try_emulated, keeps_the_emulated_quennet_answering_until_the_program_ends)
{
    const try_case cases[] = {
        {"ctrl_c_in_the_mainboard_phase", interruption::ctrl_c, at_try::mainboard},
        {"ctrl_c_in_the_control_phase", interruption::ctrl_c, at_try::control},
        {"terminal_closed_in_the_control_phase", interruption::hang_up, at_try::control},
        {"ctrl_c_at_the_consent_prompt", interruption::ctrl_c, at_try::consent},
    };
    const std::vector<std::string> command = {"/bin/bash", QUENNET_SOURCE_DIR "/scripts/try-emulated.sh"};
    const std::vector<std::string> environment = {"QUENNET_TRY_BUILD_DIR=" QUENNET_BUILD_DIR "/try-emulated",
                                                  "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/quennet-update-tests/bus"};
    for (const try_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path errors_file = scratch_dir(std::string("try-emulated-") + c.name) / "errors.txt";
        const int errors = open(errors_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(errors, 0);
        terminal_child child = start_on_terminal(false, command, environment, errors);
        close(errors);
        ASSERT_GT(child.pid, 0);
        const auto deadline = steady_clock::now() + std::chrono::seconds(60);
        std::string seen;
        EXPECT_TRUE(read_until(child.master, seen, "Yes/[No]: ", deadline)) << seen;
        if (c.when == at_try::consent) {
            EXPECT_EQ(write(child.master, "\x03", 1), 1);
            const int status = wait_for_end(child.pid, steady_clock::now() + std::chrono::seconds(5));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << "status " << status;
        } else {
            ASSERT_EQ(write(child.master, "y\r", 2), 2);
            const char* phase = c.when == at_try::mainboard ? "Updating Mainboard:" : "Updating Control:";
            EXPECT_TRUE(read_until(child.master, seen, phase, deadline)) << seen;
            EXPECT_TRUE(read_until(child.master, seen, "\r  10%", deadline, seen.find(phase))) << seen;
            if (c.what == interruption::ctrl_c) {
                EXPECT_EQ(write(child.master, "\x03", 1), 1);
                EXPECT_TRUE(read_until(child.master, seen, "Restarting Quennet\r\nPress any key to continue . . . ", deadline))
                    << seen;
                press_a_key_at_the_prompt(child, deadline);
            } else {
                close(child.master);
                child.master = -1;
            }
            const int status = wait_for_end(child.pid, deadline);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ":\n" << seen;
            EXPECT_NE(read_text(errors_file).find("exit status 0; the device received 1472 packets"), std::string::npos)
                << read_text(errors_file);
            EXPECT_NE(read_text(errors_file).find("it holds the release"), std::string::npos) << read_text(errors_file);
        }
        for (int fd : {child.master, child.terminal})
            if (fd >= 0)
                close(fd);
    }
}

// --- The sleep lock --------------------------------------------------------
// A private dbus-daemon stands in for the system bus (DBUS_SYSTEM_BUS_ADDRESS)
// and python-dbusmock's logind template, with the refusals of
// tests/logind_stand_in.py, for logind; the test reads logind's list of
// locks while the real program runs on a terminal against the emulated
// Quennet with a real device's timing.
struct private_bus {
    std::filesystem::path directory;
    std::string address;
    pid_t daemon = -1;
    pid_t logind = -1;
};

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    std::vector<std::string> env_texts = child_environment(environment);
    std::vector<std::string> words = argv;
    through_launcher(words, env_texts);
    std::vector<char*> envp = pointers(env_texts);
    std::vector<char*> args = pointers(words);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Asks the bus whether `name` has an owner; false also when the bus cannot be reached.
bool name_has_owner(const std::string& address, const char* name)
{
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return false;
    bool owned = false;
    if (sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name) >= 0 &&
            sd_bus_message_read(reply, "b", &has) >= 0)
            owned = has != 0;
        sd_bus_message_unref(reply);
    }
    sd_bus_flush_close_unref(bus);
    return owned;
}

struct inhibitor {
    std::string what, who, why, mode;
};

// logind's list of locks, as `systemd-inhibit --list` reads it.
std::vector<inhibitor> list_inhibitors(const std::string& address)
{
    std::vector<inhibitor> found;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return found;
    sd_bus_message* reply = nullptr;
    if (sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "ListInhibitors", nullptr, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            found.push_back({what, who, why, mode});
    } else {
        ADD_FAILURE() << "ListInhibitors did not answer";
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return found;
}

// logind notices a dropped lock a moment after the program closed it.
bool no_inhibitors_within(const std::string& address, milliseconds bound)
{
    const auto until = steady_clock::now() + bound;
    while (!list_inhibitors(address).empty()) {
        if (steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// The bus, and with `logind_parameters` the stand-in for logind on it.
private_bus start_private_bus(const std::string& name, const char* logind_parameters)
{
    private_bus bus;
    // A socket's path must fit 108 bytes: in /tmp, not under the build tree.
    char dir_template[] = "/tmp/quennet-bus-XXXXXX";
    const char* made = mkdtemp(dir_template);
    EXPECT_NE(made, nullptr) << name;
    const std::filesystem::path dir = made != nullptr ? made : "/tmp";
    bus.directory = dir;
    bus.address = "unix:path=" + (dir / "system_bus_socket").string();
    bus.daemon = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus.address}, {});
    const auto until = steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(dir / "system_bus_socket") && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(20));
    if (logind_parameters == nullptr)
        return bus;
    const std::string logind_stand_in = std::string(QUENNET_SOURCE_DIR) + "/tests/logind_stand_in.py";
    bus.logind = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", logind_stand_in,
                        "--parameters", logind_parameters},
                       {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address});
    while (!name_has_owner(bus.address, "org.freedesktop.login1") && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(name_has_owner(bus.address, "org.freedesktop.login1")) << "the stand-in for logind did not start";
    return bus;
}

void stop_private_bus(private_bus& bus)
{
    for (pid_t pid : {bus.logind, bus.daemon}) {
        if (pid <= 0)
            continue;
        kill(pid, SIGTERM);
        wait_for_end(pid, steady_clock::now() + std::chrono::seconds(10));
    }
    if (bus.directory.string().rfind("/tmp/quennet-bus-", 0) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(bus.directory, ignored);
    }
}

const char* const ALL_KINDS[] = {"shutdown", "sleep", "idle", "handle-power-key", "handle-suspend-key",
                                 "handle-hibernate-key", "handle-lid-switch"};

void expect_one_lock(const std::vector<inhibitor>& locks, bool narrower, const char* when)
{
    ASSERT_EQ(locks.size(), 1u) << when;
    EXPECT_EQ(locks[0].mode, "block") << when;
    EXPECT_EQ(locks[0].who, "quennet-update") << when;
    EXPECT_EQ(locks[0].why, STAY_AWAKE_WHY) << when;
    if (narrower) {
        EXPECT_EQ(locks[0].what, "shutdown:sleep:idle") << when;
        return;
    }
    std::set<std::string> kinds;
    std::istringstream words(locks[0].what);
    for (std::string kind; std::getline(words, kind, ':');)
        kinds.insert(kind);
    EXPECT_EQ(kinds, std::set<std::string>(std::begin(ALL_KINDS), std::end(ALL_KINDS))) << when << ": " << locks[0].what;
}

struct sleep_lock_case {
    const char* name;
    const char* logind_parameters;
    std::vector<std::string> faults;  // a device failure in the Control phase ends on the abort exit
    const char* answer;               // at the consent prompt
    int exit_status;
};

void PrintTo(const sleep_lock_case& c, std::ostream* out)
{
    *out << c.name;
}

class sleep_lock : public testing::TestWithParam<sleep_lock_case> {};

// No lock before the yes, nor after a No; one lock in mode block during
// both phases; none at the prompt or after the exit, on the completion and
// on the abort exit.
TEST_P(sleep_lock, is_held_from_the_yes_to_the_exits)
{
    const sleep_lock_case& c = GetParam();
    private_bus system_bus = start_private_bus(c.name, c.logind_parameters);
    session s;
    if (start_session(s, c.faults, true, false, system_bus.address)) {
        EXPECT_TRUE(list_inhibitors(system_bus.address).empty()) << "a lock before the answer";
        type(s, c.answer);
        const bool narrower = std::string(c.logind_parameters).find("refuse_keys") != std::string::npos;
        for (const char* phase : {"Updating Mainboard:", "Updating Control:"}) {
            if (c.answer[0] != 'y')
                break;
            reach(s, phase);
            expect_one_lock(list_inhibitors(system_bus.address), narrower, phase);
        }
        EXPECT_TRUE(read_until(s.child.master, s.seen, "Press any key to continue . . . ", s.deadline)) << s.seen;
        EXPECT_TRUE(no_inhibitors_within(system_bus.address, milliseconds(2000))) << "a lock at the prompt";
        press_a_key_at_the_prompt(s.child, s.deadline);
        const int status = wait_for_end(s.child.pid, s.deadline);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_status) << status << ":\n" << s.seen;
        EXPECT_TRUE(no_inhibitors_within(system_bus.address, milliseconds(2000))) << "a lock after the exit";
    }
    end_session(s);
    stop_private_bus(system_bus);
}

INSTANTIATE_TEST_SUITE_P(
    cases, sleep_lock,
    testing::Values(sleep_lock_case{"completed_update", "{}", {}, "y\r", 0},
                    sleep_lock_case{"update_that_fails_in_the_control_phase", "{}", {"stop@index=700"}, "y\r", 1},
                    sleep_lock_case{"keys_and_lid_refused_the_narrower_lock", "{\"refuse_keys\": true}", {}, "y\r", 0},
                    sleep_lock_case{"not_taken_after_a_no", "{}", {}, "n\r", 1}),
    [](const testing::TestParamInfo<sleep_lock_case>& info) { return info.param.name; });

// Where the bus has no logind, or takes the call and never answers, the
// update runs as it does without a bus: its console word for word; the bus
// holds it up at most the 1 s bound of the one call made (the fault this
// catches is sd-bus's own 25 s wait).
TEST(sleep_lock, a_bus_without_logind_or_that_never_answers_does_not_hold_up_the_update)
{
    for (const char* parameters : {static_cast<const char*>(nullptr), "{\"silent\": true}"}) {
        SCOPED_TRACE(parameters == nullptr ? "no logind" : "silent logind");
        private_bus system_bus = start_private_bus(parameters == nullptr ? "no-logind" : "silent", parameters);
        std::unique_ptr<emulated_bus> bus = realistic_bus(quennet());
        ASSERT_TRUE(bus != nullptr);
        child_options child = update_child("y\n", 60000);
        for (std::string& entry : child.environment)
            if (entry.rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) == 0)
                entry = "DBUS_SYSTEM_BUS_ADDRESS=" + system_bus.address;
        const child_outcome run = run_child(child);
        EXPECT_EQ(without_times(run.output), complete_update_console());
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.errors, "");
        const device_model device = bus_device(*bus);
        EXPECT_TRUE(device_holds_release(device));
        double to_mainboard_phase = 0;
        {
            // From the last question before the consent (its answer is
            // there at once) to the first packet of the Mainboard phase.
            std::lock_guard<std::mutex> guard(bus->lock);
            to_mainboard_phase = std::chrono::duration<double>(bus->first_offered_at[CMD_EEPROM_WRITE] -
                                                               bus->first_offered_at[CMD_GET_CONTROL_VERSION])
                                     .count();
        }
        EXPECT_LT(to_mainboard_phase, 2.5);
        bus_destroy(bus);
        stop_private_bus(system_bus);
    }
}

// Before the owner has agreed, Ctrl+C and a closed terminal end the program
// at once, as they end any other, and nothing has been written.
TEST(at_the_consent_prompt, ctrl_c_and_a_closed_terminal_end_the_program_with_nothing_written)
{
    for (const int ended_by : {SIGINT, SIGHUP}) {
        session s;
        if (start_session(s, {}, false)) {
            if (ended_by == SIGINT) {
                type(s, "\x03");
            } else {
                close_terminal(s);
            }
            const int status = wait_for_end(s.child.pid, steady_clock::now() + std::chrono::seconds(5));
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == ended_by) << strsignal(ended_by) << ": status " << status;
            const device_model device = bus_device(*s.bus);
            EXPECT_EQ(delivered(device).size(), 2u) << "more than the two version queries";
            EXPECT_FALSE(device.eeprom_modified);
        }
        end_session(s);
    }
}

}  // namespace
