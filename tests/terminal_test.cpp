// SPDX-License-Identifier: MIT
// The press-a-key prompt on a real terminal (a pseudo-terminal): a key typed
// before the prompt is no answer, one whole key ends it without Enter, and
// the terminal's settings are as they were afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/harness.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Reads from the terminal's master side until `text` has appeared or the
// deadline passes.
bool read_until(int master, std::string& seen, const std::string& text, steady_clock::time_point deadline)
{
    while (seen.find(text) == std::string::npos) {
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

// Bytes waiting in the terminal's input queue, unread.
int unread(int terminal)
{
    int count = -1;
    ioctl(terminal, FIONREAD, &count);
    return count;
}

struct key_case {
    const char* name;
    std::string answer;        // typed at the consent prompt, with what is typed during the update
    std::string key;           // typed at the press-a-key prompt
    int exit_status;
};

void PrintTo(const key_case& c, std::ostream* out)
{
    *out << c.name;
}

class press_a_key : public testing::TestWithParam<key_case> {};

// The prompt throws away what was typed before it appeared, takes one whole
// key without Enter (an escape sequence's every byte), leaves nothing unread
// for the shell, and restores the terminal's settings.
TEST_P(press_a_key, waits_for_one_fresh_key_and_takes_all_of_it)
{
    const key_case& c = GetParam();
    std::unique_ptr<emulated_bus> bus = bus_create(bus_options{}, quennet());
    ASSERT_TRUE(bus != nullptr);
    int master = -1, terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    ASSERT_TRUE(canonical(terminal));

    child_options options = update_child("");
    std::vector<std::string> env_texts = child_environment(options.environment);
    std::vector<char*> envp;
    envp.reserve(env_texts.size() + 1);
    for (std::string& text : env_texts)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program = options.argv[0];
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_adddup2(&actions, terminal, fd);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    const auto deadline = steady_clock::now() + std::chrono::seconds(30);
    std::string seen;
    EXPECT_TRUE(read_until(master, seen, "Yes/[No]: ", deadline)) << seen;
    ASSERT_EQ(write(master, c.answer.data(), c.answer.size()), static_cast<ssize_t>(c.answer.size()));
    EXPECT_TRUE(read_until(master, seen, "Press any key to continue . . . ", deadline)) << seen;
    // The prompt switches the terminal to single keys before it waits.
    while (canonical(terminal) && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_FALSE(canonical(terminal));
    std::this_thread::sleep_for(milliseconds(300));
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the prompt ended before a key was pressed at it";
    ASSERT_EQ(write(master, c.key.data(), c.key.size()), static_cast<ssize_t>(c.key.size()));

    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && steady_clock::now() < deadline) {
        std::string more;
        read_until(master, more, "\x01", steady_clock::now() + milliseconds(20));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "quennet-update still waited after one key";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_status) << status;
    EXPECT_EQ(unread(terminal), 0) << "part of the key was left for the shell";
    EXPECT_TRUE(canonical(terminal)) << "the terminal's settings were not restored";
    close(master);
    close(terminal);
    bus_destroy(bus);
}

INSTANTIATE_TEST_SUITE_P(cases, press_a_key,
                         testing::Values(key_case{"plain_key", "n\r", "x", 1},
                                         key_case{"key_typed_during_the_update_is_no_answer", "y\rk", "x", 0},
                                         key_case{"arrow_key", "n\r", "\x1b[A", 1},
                                         key_case{"function_key_f5", "n\r", "\x1b[15~", 1}),
                         [](const testing::TestParamInfo<key_case>& info) { return info.param.name; });

}  // namespace
