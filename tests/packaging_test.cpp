// SPDX-License-Identifier: MIT
// What a person installs: the udev rule that gives the logged-in user access
// to the device, and the install tree that carries the program, the rule and
// the manual page (tests/package_test.sh checks the packages), and the
// licence every source file names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/harness.h"

namespace {

namespace fs = std::filesystem;

const fs::path RULE = fs::path(QUENNET_SOURCE_DIR) / "packaging" / "70-quennet-update.rules";

bool on_path(const std::string& program)
{
    return run_command({"/bin/sh", "-c", "command -v " + program}).exit_status == 0;
}

TEST(udev_rule, gives_the_seat_user_access_to_the_quennet_hidraw_node_only)
{
    std::vector<std::string> rules;
    std::istringstream lines(read_text(RULE));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            rules.push_back(line);
    ASSERT_EQ(rules.size(), 1u);
    const std::string& rule = rules[0];
    EXPECT_NE(rule.find("SUBSYSTEM==\"hidraw\""), std::string::npos);
    EXPECT_NE(rule.find("ATTRS{idVendor}==\"0451\""), std::string::npos);
    EXPECT_NE(rule.find("ATTRS{idProduct}==\"5b3e\""), std::string::npos);
    EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos);
    // No mode, group or owner: a world-writable node would let every local
    // account rewrite the device's software.
    EXPECT_EQ(rule.find("MODE"), std::string::npos);
    EXPECT_EQ(rule.find("GROUP"), std::string::npos);
    EXPECT_EQ(rule.find("OWNER"), std::string::npos);
    // uaccess is applied by 73-seat-late.rules: the rule must come before it.
    EXPECT_LT(RULE.filename().string(), std::string("73-seat-late.rules"));
    if (on_path("udevadm") && run_command({"udevadm", "verify", "--help"}).exit_status == 0) {
        const child_outcome verified = run_command({"udevadm", "verify", RULE.string()});
        EXPECT_EQ(verified.exit_status, 0) << verified.output << verified.errors;
    }
}

void expect_installed(const fs::path& root)
{
    const fs::path program = root / "bin" / "quennet-update";
    ASSERT_TRUE(fs::exists(program)) << program;
    EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(read_text(root / "lib" / "udev" / "rules.d" / "70-quennet-update.rules"), read_text(RULE));
    EXPECT_TRUE(fs::exists(root / "share" / "man" / "man1" / "quennet-update.1.gz"));
}

TEST(install, puts_the_program_the_udev_rule_and_the_manual_page_under_the_prefix)
{
    const fs::path prefix = scratch_dir("install");
    const child_outcome outcome = run_command({CMAKE_COMMAND_PATH, "--install", QUENNET_BUILD_DIR, "--prefix", prefix.string()});
    ASSERT_EQ(outcome.exit_status, 0) << outcome.output << outcome.errors;
    expect_installed(prefix);
}

TEST(install, the_manual_page_formats_without_warnings)
{
    if (!on_path("groff"))
        GTEST_SKIP() << "groff is not installed";
    const fs::path page = fs::path(QUENNET_SOURCE_DIR) / "packaging" / "quennet-update.1";
    const child_outcome outcome = run_command({"groff", "-man", "-ww", "-z", page.string()});
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.errors, "");
}

TEST(licence, every_source_file_names_it)
{
    const fs::path root(QUENNET_SOURCE_DIR);
    EXPECT_NE(read_text(root / "LICENSE").find("Copyright (c) 2026 Harlowmere Audio"), std::string::npos);
    std::vector<std::string> without;
    for (const char* folder : {"app", "link", "payload", "util", "emu", "fuzz", "bench", "tests", "cmake", "scripts", "packaging"}) {
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".cmake" && ext != ".sh"))
                continue;
            if (read_text(entry.path()).find("SPDX-License-Identifier: MIT") == std::string::npos)
                without.push_back(entry.path().string());
        }
    }
    EXPECT_EQ(without, std::vector<std::string>{});
}

}  // namespace
