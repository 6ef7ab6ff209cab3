// SPDX-License-Identifier: MIT
// The press-a-key prompt on a real terminal: one key without Enter, and the
// terminal's settings as they were afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
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

TEST(terminal, the_prompt_takes_one_key_without_enter_and_restores_the_terminal)
{
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
    ASSERT_EQ(write(master, "n\r", 2), 2);
    EXPECT_TRUE(read_until(master, seen, "Press any key to continue . . . ", deadline)) << seen;
    // The prompt switches the terminal to single keys before it waits.
    while (canonical(terminal) && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_FALSE(canonical(terminal));
    ASSERT_EQ(write(master, "x", 1), 1);

    int status = -1;
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
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(canonical(terminal)) << "the terminal's settings were not restored";
    close(master);
    close(terminal);
    bus_destroy(bus);
}

}  // namespace
