// SPDX-License-Identifier: MIT
// Runs a program as a child process, either with its console captured through
// pipes and a bound on its run time, or on the caller's own terminal.
#pragma once

#include <string>
#include <vector>

#include <sys/resource.h>

struct child_options {
    std::vector<std::string> argv;
    std::vector<std::string> environment;  // "NAME=VALUE" entries added to this process's environment
    bool capture = true;                   // false: the child uses this process's terminal
    std::string input;                     // captured: written to its standard input, which is then closed
    int input_delay_ms = 0;                // captured: how long after the start the input is written
    int timeout_ms = 60000;                // captured: the child is killed after this long
};

struct child_outcome {
    bool started = false;
    bool timed_out = false;
    int exit_status = -1;  // when it exited
    int signal = 0;        // when a signal ended it
    std::string output;    // standard output
    std::string errors;    // standard error
    double seconds = 0;    // wall time
    rusage usage{};        // the child's resource usage
};

child_outcome run_child(const child_options& options);

// This process's environment with the "NAME=VALUE" entries added in order,
// each replacing any earlier one of the same name.
std::vector<std::string> child_environment(const std::vector<std::string>& additions);

// The texts as the null-terminated list of pointers that exec and spawn
// take; valid while the texts are.
std::vector<char*> pointers(std::vector<std::string>& texts);

// Where this build's programs cannot run on this machine by themselves (an
// arm64 build tested on amd64), QUENNET_LAUNCHER names the emulator that
// runs them (qemu-aarch64). When `argv` starts a program built for the same
// processor as this one, puts the launcher in front of it; what the program
// must preload moves from `environment` (the whole environment) to the
// launcher's options, since the launcher's own loader would read it too.
void through_launcher(std::vector<std::string>& argv, std::vector<std::string>& environment);
