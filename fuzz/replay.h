// SPDX-License-Identifier: MIT
// What the fuzz target's runs added up to, for the replay without libFuzzer
// (replay_main.cpp): counted and digested by every run, read at the end.
#pragma once

#include <cstdint>
#include <string>

struct replay_figures {
    unsigned long status_0 = 0;
    unsigned long status_1 = 0;
    uint64_t digest = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
};

// Adds one run: its exit status, its console and how many calls it made.
void replay_add(int status, const std::string& console, long writes, long reads, long calls);

const replay_figures& replay_totals();
