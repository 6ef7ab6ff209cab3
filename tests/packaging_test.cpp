// SPDX-License-Identifier: MIT
// What a person installs: the install tree that carries the program, the
// udev rule and the manual page (tests/package_test.sh checks the packages
// and their rules, the USB-stack scenarios the rules on systemd-udevd), and
// the owner's guide in its two forms.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "tests/harness.h"
#include "util/access.h"
#include "util/interrupt.h"

namespace {

namespace fs = std::filesystem;

// The RPM's udev rule, made by the build from packaging/70-quennet-update.rules.
const fs::path RPM_RULE = fs::path(QUENNET_BUILD_DIR) / "packaging" / "rpm" / "70-quennet-update.rules";

// A plain install, which no package manager chose for a distribution, gets
// the rule that suits every distribution.
TEST(install, puts_the_program_the_udev_rule_and_the_manual_page_under_the_prefix)
{
    const fs::path root = scratch_dir("install");
    const child_outcome outcome = run_command({CMAKE_COMMAND_PATH, "--install", QUENNET_BUILD_DIR, "--prefix", root.string()});
    ASSERT_EQ(outcome.exit_status, 0) << outcome.output << outcome.errors;
    const fs::path program = root / "bin" / "quennet-update";
    ASSERT_TRUE(fs::exists(program)) << program;
    EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(read_text(root / "lib" / "udev" / "rules.d" / "70-quennet-update.rules"), read_text(RPM_RULE));
    EXPECT_TRUE(fs::exists(root / "share" / "man" / "man1" / "quennet-update.1.gz"));
}

// The owner's guide as an owner reads it: the section MESSAGES of a text
// rendered from it, words joined again where a line was hyphenated, every
// run of white space one space.
std::string messages_section(std::string text)
{
    text = std::regex_replace(text, std::regex("\r"), "");
    const size_t start = text.find("\nMESSAGES\n");
    const size_t end = text.find("\nAFTER AN INTERRUPTED UPDATE\n");
    if (start == std::string::npos || end == std::string::npos || end < start)
        return "";
    text = text.substr(start, end - start);
    text = std::regex_replace(text, std::regex("([a-z])-\n +([a-z])"), "$1$2");
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

// The manual page (as the package holds it) and the Windows README.txt (as
// the Windows build renders it) come from one source, and say the same
// things: every message the program prints, in the same order. README.txt
// has Windows line ends.
TEST(owners_guide, the_manual_page_and_readme_txt_list_the_same_messages_in_the_same_order)
{
    if (const std::string missing = missing_tools({{"/usr/bin/groff", "groff-base"}}); !missing.empty())
        GTEST_SKIP() << missing;
    const fs::path dir = scratch_dir("owners-guide");
    const fs::path page = fs::path(QUENNET_BUILD_DIR) / "packaging" / "quennet-update.1.gz";
    const child_outcome manual = run_command({"/bin/sh", "-c", "zcat '" + page.string() + "' | groff -man -Tascii -P-cbou -ww"});
    ASSERT_EQ(manual.exit_status, 0) << manual.errors;
    const fs::path source(QUENNET_SOURCE_DIR);
    const child_outcome rendered = run_command({CMAKE_COMMAND_PATH, "-DGROFF=groff",
                                                "-DPAGE=" + (source / "packaging" / "quennet-update.1").string(),
                                                "-DOUTPUT=" + (dir / "README.txt").string(), "-DPLACEHOLDER=1", "-P",
                                                (source / "cmake" / "render_readme.cmake").string()});
    ASSERT_EQ(rendered.exit_status, 0) << rendered.output << rendered.errors;
    const std::string readme = read_text(dir / "README.txt");
    EXPECT_EQ(readme.rfind("THIS BUILD CARRIES PLACEHOLDER IMAGES", 0), 0u);
    EXPECT_EQ(std::regex_replace(readme, std::regex("\r\n"), "").find('\n'), std::string::npos) << "a line end without \\r";

    // The advice after a refused open is each platform's own.
    const auto messages = [](const char* access_advice) {
        return std::vector<std::string>{
            "Cannot find Quennet - Please make sure it is switched on and connected via USB",
            "Found N Quennets - Please disconnect N-1 of them",
            "Cannot acquire handle",
            std::regex_replace(access_advice, std::regex("\n$"), ""),
            "Another quennet-update is using this Quennet - Please wait until it has finished",
            "No reply from Quennet, No response from Quennet",
            "Reading EEPROM failed!, Verify EEPROM failed!, Writing EEPROM failed!",
            "Reading flash failed!, Verify flash failed!, Writing flash failed!",
            "Replied 'C'",
            "Unable to write()",
            std::regex_replace(INTERRUPT_NOTICE, std::regex("^\n|(ends by itself\\.).*\n$"), "$1"),
        };
    };
    for (const auto& [text, listed] : {std::pair{manual.output, messages(ACCESS_ADVICE_LINUX)},
                                       std::pair{readme, messages(ACCESS_ADVICE_WINDOWS)}}) {
        const std::string section = messages_section(text);
        size_t last = 0;
        for (const std::string& message : listed) {
            const size_t at = section.find(message, last);
            EXPECT_NE(at, std::string::npos) << "\"" << message << "\" missing or out of order in:\n" << section;
            last = at == std::string::npos ? last : at;
        }
    }
}

}  // namespace
