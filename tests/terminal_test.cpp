// SPDX-License-Identifier: MIT
// The real quennet-update on a real terminal (a pseudo-terminal that is its
// controlling terminal): the press-a-key prompt, and what Ctrl+C, a closed
// terminal, SIGTERM and a reader of the output that goes away do before,
// during and after an update; a second copy of the program; the sleep lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/harness.h"
#include "util/interrupt.h"
#include "util/stay_awake.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
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
        ADD_FAILURE() << "the program did not end in time";
    }
    return status;
}

bool exited_with(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Whether the child has ended, leaving it to be waited for.
bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// One program on a terminal, from its start to its end, with the emulated
// Quennet it updates (none where the command brings its own).
struct session {
    std::unique_ptr<emulated_bus> bus;
    pid_t pid = -1;
    int master = -1;    // the terminal window's side
    int terminal = -1;  // the program's side, kept to look at its input queue and settings
    int output = -1;    // where its standard output is read: the master, or a pipe's reading end
    steady_clock::time_point deadline = steady_clock::now() + seconds(60);
    std::string seen;  // what it has shown so far
    // Started as a shell with job control starts it: in a foreground process
    // group of its own, with a parent in its session, so that Ctrl+Z would
    // stop it (a group without one is orphaned, and the kernel drops its
    // stop signals). The parent ends as the program ends, or with 128 +
    // SIGTSTP once the program stops; `pid` is the parent's.
    bool job_control = false;
};

const std::string CONSENT = "Yes/[No]: ";

// Starts `options` (quennet-update on the emulated bus, or another command)
// in a session of its own whose controlling terminal is the pseudo-terminal,
// as a shell in a terminal window starts it: its standard output on the
// terminal, or on a pipe where `output_pipe`, its standard error on the
// terminal, or on `errors`. Then waits for its consent prompt; false, the
// failure recorded, where it did not get there.
bool start_program(session& s, const child_options& options, bool output_pipe = false, int errors = -1)
{
    int pipe_ends[2] = {-1, -1};
    if (openpty(&s.master, &s.terminal, nullptr, nullptr, nullptr) != 0 ||
        (output_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "no pseudo-terminal or pipe";
        return false;
    }
    const int terminal = s.terminal;
    fcntl(s.master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    s.output = output_pipe ? pipe_ends[0] : s.master;
    // Everything the child needs is made before the fork: after it, only
    // calls that are safe in a child of a process with threads.
    std::vector<std::string> words = options.argv;
    std::vector<std::string> env_texts = child_environment(options.environment);
    through_launcher(words, env_texts);
    std::vector<char*> envp = pointers(env_texts);
    std::vector<char*> argv = pointers(words);
    const int output_fd = output_pipe ? pipe_ends[1] : terminal;
    const int errors_fd = errors >= 0 ? errors : terminal;
    s.pid = fork();
    if (s.pid == 0) {
        // Every signal acts as by default (this process's libraries ignore
        // SIGPIPE).
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
        const pid_t program = s.job_control ? fork() : 0;
        if (program > 0) {
            setpgid(program, program);
            tcsetpgrp(STDIN_FILENO, program);
            int status = 0;
            while (waitpid(program, &status, WUNTRACED) < 0 && errno == EINTR) {
            }
            if (WIFSTOPPED(status)) {
                kill(program, SIGKILL);
                _exit(128 + WSTOPSIG(status));
            }
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        if (s.job_control) {
            signal(SIGTTOU, SIG_IGN);  // taking the terminal from the background
            setpgid(0, 0);
            tcsetpgrp(STDIN_FILENO, getpid());
            signal(SIGTTOU, SIG_DFL);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (output_pipe)
        close(pipe_ends[1]);
    const bool prompted = s.pid > 0 && read_until(s.output, s.seen, CONSENT, s.deadline);
    EXPECT_TRUE(prompted) << "no consent prompt:\n" << s.seen;
    return prompted;
}

// quennet-update against a Quennet with `faults`, with a real device's
// timing where `realistic`, and `environment` added to its own.
bool start_session(session& s, const std::vector<std::string>& faults, bool realistic, bool output_pipe = false,
                   const std::vector<std::string>& environment = {})
{
    s.bus = bus_create({.timing = realistic ? realistic_timing() : timing_profile{}}, quennet(faults));
    if (s.bus == nullptr) {
        ADD_FAILURE() << "no emulated bus";
        return false;
    }
    child_options child = update_child("");
    child.environment.insert(child.environment.end(), environment.begin(), environment.end());
    return start_program(s, child, output_pipe);
}

void type(const session& s, const std::string& text)
{
    EXPECT_EQ(write(s.master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Waits until the press-a-key prompt has switched the terminal to single
// keys; false where it did not.
bool at_single_keys(const session& s)
{
    while (canonical(s.terminal) && !has_ended(s.pid) && steady_clock::now() < s.deadline)
        std::this_thread::sleep_for(milliseconds(5));
    return !canonical(s.terminal);
}

void press_a_key_at_the_prompt(const session& s)
{
    EXPECT_TRUE(at_single_keys(s)) << "no press-a-key prompt";
    type(s, "x");
}

// Waits until the phase under `heading` is 10% done.
void reach(session& s, const char* heading)
{
    EXPECT_TRUE(read_until(s.output, s.seen, heading, s.deadline)) << s.seen;
    EXPECT_TRUE(read_until(s.output, s.seen, "\r  10%", s.deadline, s.seen.find(heading))) << s.seen;
}

// A console text as the terminal shows it: each line end as "\r\n".
std::string on_terminal(const std::string& text)
{
    return std::regex_replace(text, std::regex("\n"), "\r\n");
}

const std::string PRESS_A_KEY = "Press any key to continue . . . ";
const std::string RESTART_AND_PROMPT =
    on_terminal(restarted_running(TARGET_MAINBOARD_REVISION, TARGET_CONTROL_REVISION)) + PRESS_A_KEY;
const std::string NOTICE_ON_TERMINAL = on_terminal(INTERRUPT_NOTICE);

// Closes the terminal window's side, as closing the window does.
void close_terminal(session& s)
{
    close(s.master);
    if (s.output == s.master)
        s.output = -1;
    s.master = -1;
}

// Ends what is left of the session: a program that never got to its end
// is killed.
void end_session(session& s)
{
    if (s.pid > 0 && waitpid(s.pid, nullptr, WNOHANG) == 0) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
    }
    for (int fd : {s.master, s.terminal})
        if (fd >= 0)
            close(fd);
    if (s.output >= 0 && s.output != s.master)
        close(s.output);
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

CASES_SHOW_BY_NAME(prompt_case)

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
    EXPECT_TRUE(read_until(s.master, s.seen, PRESS_A_KEY, s.deadline)) << s.seen;
    EXPECT_EQ(s.seen.find(NOTICE_ON_TERMINAL) != std::string::npos, c.ctrl_c_during_the_update) << s.seen;
    EXPECT_TRUE(c.answer[0] != 'y' ||
                s.seen.ends_with(c.faults.empty() ? RESTART_AND_PROMPT : "Verify flash failed!\r\n" + PRESS_A_KEY))
        << s.seen;
    // The prompt switches the terminal to single keys before it waits.
    EXPECT_TRUE(at_single_keys(s));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(has_ended(s.pid)) << "the program ended before a key was pressed at the prompt";
    // Each byte well within the prompt's 50 ms rest after the one before.
    for (size_t at = 0; at < c.key.size(); at += c.gap_ms == 0 ? c.key.size() : 1) {
        type(s, c.key.substr(at, c.gap_ms == 0 ? std::string::npos : 1));
        std::this_thread::sleep_for(milliseconds(c.gap_ms));
    }
    const int status = wait_for_end(s.pid, s.deadline);
    if (c.ended_by != 0) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.ended_by) << "status " << status;
    } else {
        EXPECT_TRUE(exited_with(status, c.exit_status)) << "status " << status;
        EXPECT_EQ(unread(s.terminal), 0) << "part of the key was left for the shell";
        EXPECT_TRUE(canonical(s.terminal)) << "the terminal's settings were not restored";
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
    testing::PrintToStringParamName());

// Before the owner has answered, Ctrl+C and a closed terminal end the
// program at once, as they end any other, and nothing has been written.
// Once the owner has answered y, nothing the console does cuts the update
// off: the run goes on to its normal end, exit status 0, the device holding
// both images and having received exactly one update. Where the terminal is
// still there it says once, after the progress so far, why the key did
// nothing, and the progress line goes on.
// One update at a time: a second program started while the first holds the
// Quennet, at its consent prompt or later, is refused before it sends
// anything, and the first goes on untouched.
// The README's first command, scripts/try-emulated.sh, keeps the same
// promise: its emulated Quennet answers until the program has ended. The
// script runs from a build folder of its own, which the fixture
// try_emulated.build has built.
enum class interruption { ctrl_c, ctrl_backslash, ctrl_z, hang_up, sigterm, reader_gone, second_program };

struct interruption_case {
    const char* name;
    interruption what;
    std::string at;           // CONSENT, or the heading 10% into whose phase it comes
    bool try_script = false;  // through scripts/try-emulated.sh
};

CASES_SHOW_BY_NAME(interruption_case)

class interrupted : public testing::TestWithParam<interruption_case> {};

void interrupt(session& s, interruption what)
{
    if (what == interruption::ctrl_c) {
        type(s, "\x03");
    } else if (what == interruption::ctrl_backslash) {
        type(s, "\x1c");
    } else if (what == interruption::ctrl_z) {
        type(s, "\x1a");
    } else if (what == interruption::sigterm) {
        kill(s.pid, SIGTERM);
    } else if (what == interruption::hang_up) {
        close_terminal(s);
    } else if (what == interruption::reader_gone) {
        close(std::exchange(s.output, -1));
    } else {
        const child_outcome second = run_child(update_child("y\n", 30000));
        EXPECT_EQ(second.output, REFUSED_AS_SECOND);
        EXPECT_EQ(second.exit_status, 1);
    }
}

TEST_P(interrupted, before_the_yes_ends_the_program_and_after_it_the_update_goes_on)
{
    const interruption_case& c = GetParam();
    const bool at_consent = c.at == CONSENT;
    session s;
    std::filesystem::path errors_file;
    bool started = false;
    if (c.try_script) {
        errors_file = scratch_dir(std::string("try-emulated-") + c.name) / "errors.txt";
        child_options script;
        script.argv = {"/bin/bash", std::string(QUENNET_SOURCE_DIR) + "/scripts/try-emulated.sh"};
        script.environment = {"QUENNET_TRY_BUILD_DIR=" QUENNET_BUILD_DIR "/try-emulated",
                              "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/quennet-update-tests/bus"};
        const int errors = open(errors_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        started = start_program(s, script, false, errors);
        close(errors);
    } else {
        s.job_control = c.what == interruption::ctrl_z;
        started = start_session(s, {}, !at_consent, c.what == interruption::reader_gone);
    }
    if (!started)
        return end_session(s);
    if (!at_consent) {
        type(s, "y\r");
        reach(s, c.at.c_str());
    }
    const size_t interrupted_at = s.seen.size();
    interrupt(s, c.what);
    if (at_consent && c.what == interruption::second_program) {
        type(s, "y\r");
    } else if (at_consent) {
        const int status = wait_for_end(s.pid, steady_clock::now() + seconds(5));
        const int signal = c.what == interruption::ctrl_c           ? SIGINT
                           : c.what == interruption::ctrl_backslash ? SIGQUIT
                                                                    : SIGHUP;
        // The script's shell reports a program ended by a signal as 128 + it.
        EXPECT_TRUE(c.try_script ? exited_with(status, 128 + signal) : WIFSIGNALED(status) && WTERMSIG(status) == signal)
            << strsignal(signal) << ": status " << status;
        if (s.bus) {
            const device_model device = bus_device(*s.bus);
            EXPECT_EQ(delivered(device).size(), 2u) << "more than the two version queries";
            EXPECT_FALSE(device.eeprom_modified);
        }
        return end_session(s);
    }
    if (c.what == interruption::ctrl_z) {
        // Not stopped: the update goes on to its end, without a notice.
        EXPECT_TRUE(read_until(s.output, s.seen, PRESS_A_KEY, s.deadline)) << s.seen;
        EXPECT_EQ(s.seen.find(NOTICE_ON_TERMINAL), std::string::npos) << s.seen;
        EXPECT_TRUE(s.seen.ends_with(RESTART_AND_PROMPT)) << s.seen;
    }
    if (c.what == interruption::ctrl_c || c.what == interruption::ctrl_backslash || c.what == interruption::sigterm) {
        EXPECT_TRUE(read_until(s.output, s.seen, PRESS_A_KEY, s.deadline)) << s.seen;
        const size_t at = s.seen.find(NOTICE_ON_TERMINAL, interrupted_at);
        EXPECT_NE(at, std::string::npos) << "no notice:\n" << s.seen;
        if (at != std::string::npos) {
            EXPECT_EQ(s.seen.find(NOTICE_ON_TERMINAL, at + 1), std::string::npos) << "the notice came twice";
            EXPECT_EQ(s.seen.compare(at + NOTICE_ON_TERMINAL.size(), 3, "\r  "), 0)
                << "the progress line did not go on:\n" << s.seen;
        }
        EXPECT_TRUE(s.seen.ends_with(RESTART_AND_PROMPT)) << s.seen;
    }
    if (c.what != interruption::hang_up)
        press_a_key_at_the_prompt(s);
    const int status = wait_for_end(s.pid, s.deadline);
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status << ":\n" << s.seen;
    if (c.try_script) {
        const std::string errors = read_text(errors_file);
        EXPECT_NE(errors.find("exit status 0; the device received 1474 packets"), std::string::npos) << errors;
        EXPECT_NE(errors.find("it holds the release"), std::string::npos) << errors;
    } else {
        EXPECT_EQ(delivered(bus_device(*s.bus)), complete_update_packets()) << "not exactly one update's packets";
        EXPECT_TRUE(device_holds_release(bus_device(*s.bus)));
    }
    end_session(s);
}

INSTANTIATE_TEST_SUITE_P(
    cases, interrupted,
    testing::Values(interruption_case{"ctrl_c_at_the_consent_prompt", interruption::ctrl_c, CONSENT},
                    interruption_case{"terminal_closed_at_the_consent_prompt", interruption::hang_up, CONSENT},
                    interruption_case{"ctrl_c_in_the_mainboard_phase", interruption::ctrl_c, "Updating Mainboard:"},
                    interruption_case{"ctrl_c_in_the_control_phase", interruption::ctrl_c, "Updating Control:"},
                    interruption_case{"ctrl_backslash_at_the_consent_prompt", interruption::ctrl_backslash, CONSENT},
                    interruption_case{"ctrl_backslash_in_the_mainboard_phase", interruption::ctrl_backslash,
                                      "Updating Mainboard:"},
                    interruption_case{"ctrl_backslash_in_the_control_phase", interruption::ctrl_backslash,
                                      "Updating Control:"},
                    interruption_case{"ctrl_z_in_the_mainboard_phase", interruption::ctrl_z, "Updating Mainboard:"},
                    interruption_case{"ctrl_z_in_the_control_phase", interruption::ctrl_z, "Updating Control:"},
                    interruption_case{"terminal_closed_in_the_control_phase", interruption::hang_up, "Updating Control:"},
                    interruption_case{"sigterm_in_the_mainboard_phase", interruption::sigterm, "Updating Mainboard:"},
                    interruption_case{"reader_of_the_output_gone_in_the_mainboard_phase", interruption::reader_gone,
                                      "Updating Mainboard:"},
                    interruption_case{"second_program_at_the_consent_prompt", interruption::second_program, CONSENT},
                    interruption_case{"second_program_in_the_mainboard_phase", interruption::second_program,
                                      "Updating Mainboard:"},
                    interruption_case{"second_program_in_the_control_phase", interruption::second_program,
                                      "Updating Control:"}),
    testing::PrintToStringParamName());

INSTANTIATE_TEST_SUITE_P(
    try_emulated, interrupted,
    testing::Values(interruption_case{"ctrl_c_at_the_consent_prompt", interruption::ctrl_c, CONSENT, true},
                    interruption_case{"ctrl_c_in_the_mainboard_phase", interruption::ctrl_c, "Updating Mainboard:", true},
                    interruption_case{"ctrl_c_in_the_control_phase", interruption::ctrl_c, "Updating Control:", true},
                    interruption_case{"terminal_closed_in_the_control_phase", interruption::hang_up, "Updating Control:",
                                      true}),
    testing::PrintToStringParamName());

// The lock that keeps a second program out is the kernel's: gone with the
// program however it ended, even killed mid-update, after which a second
// program updates the device.
TEST(second_program, updates_the_device_once_the_first_was_killed)
{
    session s;
    if (start_session(s, {}, true)) {
        type(s, "y\r");
        reach(s, "Updating Mainboard:");
        kill(s.pid, SIGKILL);
        wait_for_end(s.pid, s.deadline);
        const child_outcome second = run_child(update_child("y\n", 30000));
        EXPECT_EQ(second.exit_status, 0) << second.output;
        EXPECT_TRUE(device_holds_release(bus_device(*s.bus)));
    }
    end_session(s);
}

// --- The sleep lock --------------------------------------------------------
// A private dbus-daemon stands in for the system bus (DBUS_SYSTEM_BUS_ADDRESS)
// and python-dbusmock's logind template, with the refusals of
// tests/logind_stand_in.py, for logind; the test reads logind's list of
// locks while the real program runs on a terminal against the emulated
// Quennet with a real device's timing.
struct private_bus {
    std::string address;
    pid_t daemon = -1;
    pid_t logind = -1;
};

// Starts `argv` with `environment` added to this process's, its standard
// output on `output` (/dev/null where -1) and its standard error on /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int output = -1)
{
    std::vector<std::string> env_texts = child_environment(environment);
    std::vector<std::string> words = argv;
    through_launcher(words, env_texts);
    std::vector<char*> envp = pointers(env_texts);
    std::vector<char*> args = pointers(words);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output >= 0)
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// logind's list of locks, as `systemd-inhibit --list` reads it, each as
// "MODE WHO: WHY (WHAT)"; none where nothing on the bus answered for logind.
std::optional<std::vector<std::string>> inhibitors(const std::string& address)
{
    const child_outcome reply =
        run_command({"/usr/bin/dbus-send", "--bus=" + address, "--print-reply", "--dest=org.freedesktop.login1",
                     "/org/freedesktop/login1", "org.freedesktop.login1.Manager.ListInhibitors"});
    if (reply.exit_status != 0)
        return std::nullopt;
    static const std::regex lock(R"re(struct \{\s*string "([^"]*)"\s*string "([^"]*)"\s*string "([^"]*)"\s*string "([^"]*)")re");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(reply.output.begin(), reply.output.end(), lock); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[4].str() + " " + (*it)[2].str() + ": " + (*it)[3].str() + " (" + (*it)[1].str() + ")");
    return found;
}

const std::vector<std::string> NO_LOCK;

// logind notices a dropped lock a moment after the program closed it.
bool no_lock_within(const std::string& address, milliseconds bound)
{
    const auto until = steady_clock::now() + bound;
    bool none = false;
    while (!(none = inhibitors(address) == NO_LOCK) && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(20));
    return none;
}

// The bus, and with `logind_parameters` the stand-in for logind on it. The
// daemon makes its socket in /tmp (a socket's path must fit 108 bytes), and
// says where once it listens.
private_bus start_private_bus(const char* logind_parameters)
{
    private_bus bus;
    int address_pipe[2] = {-1, -1};
    EXPECT_EQ(pipe2(address_pipe, O_CLOEXEC), 0);
    bus.daemon = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:tmpdir=/tmp",
                        "--print-address=1"},
                       {}, address_pipe[1]);
    close(address_pipe[1]);
    const auto until = steady_clock::now() + seconds(10);
    EXPECT_TRUE(read_until(address_pipe[0], bus.address, "\n", until)) << "the bus did not start";
    close(address_pipe[0]);
    bus.address = bus.address.substr(0, bus.address.find('\n'));
    if (logind_parameters == nullptr)
        return bus;
    const std::string stand_in = std::string(QUENNET_SOURCE_DIR) + "/tests/logind_stand_in.py";
    bus.logind = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", stand_in, "--parameters",
                        logind_parameters},
                       {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address});
    bool answered = false;
    while (!(answered = inhibitors(bus.address).has_value()) && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(answered) << "the stand-in for logind did not start";
    return bus;
}

void stop_private_bus(private_bus& bus)
{
    for (pid_t pid : {bus.logind, bus.daemon}) {
        if (pid <= 0)
            continue;
        kill(pid, SIGTERM);
        wait_for_end(pid, steady_clock::now() + seconds(10));
    }
}

// One lock, in mode block, on every kind logind offers, or where the keys
// and the lid are refused, on the three that are left.
std::vector<std::string> one_lock(bool narrower)
{
    return {std::string("block quennet-update: ") + STAY_AWAKE_WHY + " (shutdown:sleep:idle" +
            (narrower ? "" : ":handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch") + ")"};
}

struct sleep_lock_case {
    const char* name;
    const char* logind_parameters;    // none: a bus without logind
    std::vector<std::string> faults;  // a device failure in the Control phase ends on the abort exit
    const char* answer;               // at the consent prompt
    int exit_status;
};

CASES_SHOW_BY_NAME(sleep_lock_case)

class sleep_lock : public testing::TestWithParam<sleep_lock_case> {};

// No lock before the yes, nor after a No; one lock in mode block during
// both phases; none at the prompt or after the exit, on the completion and
// on the abort exit. Where the bus has no logind, or one that takes the
// call and never answers, the update runs as it does without a bus, its
// console word for word; the bus holds it up at most the 1 s bound of the
// one call made (the fault this catches is sd-bus's own 25 s wait).
TEST_P(sleep_lock, is_held_from_the_yes_to_the_exits)
{
    const sleep_lock_case& c = GetParam();
    std::vector<needed_file> tools = {{"/usr/bin/dbus-daemon", "dbus-daemon"}, {"/usr/bin/dbus-send", "dbus-bin"}};
    if (c.logind_parameters != nullptr)
        tools.push_back({"/usr/lib/python3/dist-packages/dbusmock", "python3-dbusmock"});
    if (const std::string missing = missing_tools(tools); !missing.empty())
        GTEST_SKIP() << missing;
    const std::string parameters = c.logind_parameters != nullptr ? c.logind_parameters : "";
    const bool logind_answers = c.logind_parameters != nullptr && parameters.find("silent") == std::string::npos;
    const bool yes = c.answer[0] == 'y';
    private_bus system_bus = start_private_bus(c.logind_parameters);
    session s;
    if (start_session(s, c.faults, true, false, {"DBUS_SYSTEM_BUS_ADDRESS=" + system_bus.address})) {
        EXPECT_TRUE(!logind_answers || inhibitors(system_bus.address) == NO_LOCK) << "a lock before the answer";
        type(s, c.answer);
        for (const char* phase : {"Updating Mainboard:", "Updating Control:"}) {
            if (!yes)
                break;
            reach(s, phase);
            if (logind_answers) {
                EXPECT_EQ(inhibitors(system_bus.address), one_lock(parameters.find("refuse_keys") != std::string::npos))
                    << phase;
            }
        }
        EXPECT_TRUE(read_until(s.master, s.seen, PRESS_A_KEY, s.deadline)) << s.seen;
        EXPECT_TRUE(!logind_answers || no_lock_within(system_bus.address, milliseconds(2000))) << "a lock at the prompt";
        if (c.exit_status == 0) {
            // The answer as the terminal echoes it; the prompt's line end comes with the key.
            const std::string rest = complete_update_console().substr(DIALOGUE_UP_TO_CONSENT.size());
            EXPECT_EQ(without_times(s.seen), on_terminal(DIALOGUE_UP_TO_CONSENT + "y\n" + rest.substr(0, rest.size() - 1)));
        }
        if (yes) {
            // From the last question before the consent (answered at once)
            // to the first packet of the Mainboard phase.
            std::lock_guard<std::mutex> guard(s.bus->lock);
            EXPECT_LT(std::chrono::duration<double>(s.bus->first_offered_at[CMD_EEPROM_WRITE] -
                                                    s.bus->first_offered_at[CMD_GET_CONTROL_VERSION])
                          .count(),
                      2.5);
        }
        press_a_key_at_the_prompt(s);
        const int status = wait_for_end(s.pid, s.deadline);
        EXPECT_TRUE(exited_with(status, c.exit_status)) << status << ":\n" << s.seen;
        EXPECT_TRUE(!logind_answers || no_lock_within(system_bus.address, milliseconds(2000)))
            << "a lock after the exit";
    }
    end_session(s);
    stop_private_bus(system_bus);
}

INSTANTIATE_TEST_SUITE_P(
    cases, sleep_lock,
    testing::Values(sleep_lock_case{"completed_update", "{}", {}, "y\r", 0},
                    sleep_lock_case{"update_that_fails_in_the_control_phase", "{}", {"status=V@command=0x31,address=7824"},
                                    "y\r", 1},
                    sleep_lock_case{"keys_and_lid_refused_the_narrower_lock", "{\"refuse_keys\": true}", {}, "y\r", 0},
                    sleep_lock_case{"not_taken_after_a_no", "{}", {}, "n\r", 1},
                    sleep_lock_case{"a_bus_without_logind_does_not_hold_up_the_update", nullptr, {}, "y\r", 0},
                    sleep_lock_case{"a_logind_that_never_answers_does_not_hold_up_the_update", "{\"silent\": true}", {},
                                    "y\r", 0}),
    testing::PrintToStringParamName());

}  // namespace
