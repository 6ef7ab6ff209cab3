// SPDX-License-Identifier: MIT
// The fuzz target without libFuzzer and without the sanitizers: every input
// of the given files and folders once, in name order, then one line of
// figures (how many inputs, how many ended in each way, a digest of every
// console and every call the program made). The figures are the same on
// every processor the program builds for: a reply byte read through a plain
// char, signed on one and unsigned on another, changes them.
//
//   quennet_fuzz_replay FIGURES_FILE PATH...
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: quennet_fuzz_replay FIGURES_FILE PATH...\n");
        return 2;
    }
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 2; i < argc; ++i) {
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            // A folder's files in name order, whatever order the file system keeps.
            std::vector<fs::path> files;
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(argv[i], error)) {
            inputs.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "quennet_fuzz_replay: no such file or folder: %s\n", argv[i]);
            return 2;
        }
    }
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        const std::vector<char> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    const replay_figures& figures = replay_totals();
    char line[200];
    std::snprintf(line, sizeof line, "fuzz corpus replay: %zu inputs; %lu runs ended with status 0, %lu with status 1; digest %016llx\n",
                  inputs.size(), figures.status_0, figures.status_1, static_cast<unsigned long long>(figures.digest));
    std::fputs(line, stderr);
    std::ofstream(argv[1]) << line;
    return 0;
}
