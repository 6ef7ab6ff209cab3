// SPDX-License-Identifier: MIT
#include "emu/umockdev/child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <algorithm>
#include <cstdlib>
#include <fstream>

#include <elf.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

std::vector<std::string> child_environment(const std::vector<std::string>& additions)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry)
        entries.push_back(*entry);
    // A later entry replaces an earlier one of the same name.
    for (const std::string& addition : additions) {
        const std::string name = addition.substr(0, addition.find('=') + 1);
        std::erase_if(entries, [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
        entries.push_back(addition);
    }
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> list;
    list.reserve(texts.size() + 1);
    for (std::string& text : texts)
        list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

// The processor this program was built for, as ELF headers name it.
#if defined(__aarch64__)
constexpr uint16_t OWN_MACHINE = EM_AARCH64;
#elif defined(__x86_64__)
constexpr uint16_t OWN_MACHINE = EM_X86_64;
#else
constexpr uint16_t OWN_MACHINE = EM_NONE;
#endif

static bool built_for_this_processor(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header{};
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header))
        return false;
    return std::equal(header.e_ident, header.e_ident + SELFMAG, ELFMAG) && header.e_machine == OWN_MACHINE;
}

void through_launcher(std::vector<std::string>& argv, std::vector<std::string>& environment)
{
    const char* launcher = std::getenv("QUENNET_LAUNCHER");
    if (launcher == nullptr || *launcher == '\0' || argv.empty() || !built_for_this_processor(argv[0]))
        return;
    std::vector<std::string> command = {launcher};
    const std::string preload = "LD_PRELOAD=";
    for (auto entry = environment.begin(); entry != environment.end();) {
        if (entry->compare(0, preload.size(), preload) == 0) {
            command.insert(command.end(), {"-E", *entry});
            entry = environment.erase(entry);
        } else {
            ++entry;
        }
    }
    command.insert(command.end(), argv.begin(), argv.end());
    argv = std::move(command);
}

static bool wait_for_exit(pid_t pid, int& status, rusage& usage, std::chrono::steady_clock::time_point deadline,
                          bool bounded)
{
    for (;;) {
        const pid_t done = wait4(pid, &status, bounded ? WNOHANG : 0, &usage);
        if (done == pid)
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        if (bounded && std::chrono::steady_clock::now() >= deadline)
            return false;
        if (bounded)
            usleep(2000);
    }
}

child_outcome run_child(const child_options& options)
{
    child_outcome outcome;
    std::vector<std::string> argv_texts = options.argv;
    std::vector<std::string> env_texts = child_environment(options.environment);
    through_launcher(argv_texts, env_texts);
    std::vector<char*> argv = pointers(argv_texts);
    std::vector<char*> envp = pointers(env_texts);

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.capture) {
        if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
            return outcome;
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    }
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::milliseconds(options.timeout_ms);
    // The child's terminal signals act as by default, whatever this process
    // does with them (quennet-emu ignores them, as a device would).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaulted;
    sigemptyset(&defaulted);
    for (int each : {SIGINT, SIGHUP, SIGTERM})
        sigaddset(&defaulted, each);
    posix_spawnattr_setsigdefault(&attributes, &defaulted);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (options.capture) {
        close(in_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
    }
    if (spawned != 0) {
        if (options.capture) {
            close(in_pipe[1]);
            close(out_pipe[0]);
            close(err_pipe[0]);
        }
        outcome.errors = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
        return outcome;
    }
    outcome.started = true;

    if (options.capture) {
        using clock = std::chrono::steady_clock;
        // Milliseconds until a moment, rounded up: a wait never ends before it.
        auto ms_until = [](clock::time_point moment) {
            return std::chrono::ceil<std::chrono::milliseconds>(moment - clock::now()).count();
        };
        // The answer is short: it fits the pipe, so writing it cannot block.
        signal(SIGPIPE, SIG_IGN);
        const auto write_input_at = started + std::chrono::milliseconds(options.input_delay_ms);
        // Written whole, then its end: the child reads it, then end of input.
        auto write_input = [&] {
            if (!options.input.empty() && write(in_pipe[1], options.input.data(), options.input.size()) < 0) {
                // The child may have ended before reading; its outcome tells.
            }
            close(in_pipe[1]);
            in_pipe[1] = -1;
        };
        if (options.input_delay_ms <= 0)
            write_input();
        pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        std::string* sinks[2] = {&outcome.output, &outcome.errors};
        int open_streams = 2;
        while (open_streams > 0) {
            const long left = ms_until(deadline);
            if (left <= 0) {
                outcome.timed_out = true;
                break;
            }
            long wait_ms = left;
            if (in_pipe[1] >= 0) {
                if (clock::now() >= write_input_at) {
                    write_input();
                    continue;
                }
                wait_ms = std::min(wait_ms, ms_until(write_input_at));
            }
            if (poll(streams, 2, static_cast<int>(wait_ms)) < 0 && errno != EINTR)
                break;
            for (int i = 0; i < 2; ++i) {
                if (streams[i].fd < 0 || streams[i].revents == 0)
                    continue;
                char block[4096];
                const ssize_t count = read(streams[i].fd, block, sizeof block);
                if (count > 0) {
                    sinks[i]->append(block, static_cast<size_t>(count));
                } else {
                    close(streams[i].fd);
                    streams[i].fd = -1;
                    --open_streams;
                }
            }
        }
        for (pollfd& stream : streams)
            if (stream.fd >= 0)
                close(stream.fd);
        if (in_pipe[1] >= 0)
            close(in_pipe[1]);
    }

    int status = 0;
    if (outcome.timed_out || !wait_for_exit(pid, status, outcome.usage, deadline, options.capture)) {
        outcome.timed_out = true;
        kill(pid, SIGKILL);
        wait4(pid, &status, 0, &outcome.usage);
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (WIFEXITED(status) && !outcome.timed_out)
        outcome.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    return outcome;
}
