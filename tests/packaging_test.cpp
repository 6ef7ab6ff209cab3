// What a person installs: the udev rule that gives the logged-in user access
// to the device, and the install tree and .deb that carry the program, the
// rule and the manual page.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

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
    const std::string manual = read_text(root / "share" / "man" / "man1" / "quennet-update.1");
    EXPECT_NE(manual.find(".TH QUENNET-UPDATE 1"), std::string::npos);
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

TEST(debian_package, holds_the_files_depends_on_hidapi_and_names_the_revisions_inside)
{
    const fs::path dir = scratch_dir("package");
    const child_outcome packed = run_command({CPACK_COMMAND_PATH, "-G", "DEB", "-B", dir.string(), "--config",
                                      (fs::path(QUENNET_BUILD_DIR) / "CPackConfig.cmake").string()});
    ASSERT_EQ(packed.exit_status, 0) << packed.output << packed.errors;
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".deb")
            deb = entry.path();
    ASSERT_FALSE(deb.empty()) << packed.output;

    const child_outcome fields = run_command({"dpkg-deb", "-f", deb.string(), "Package", "Version", "Depends"});
    EXPECT_EQ(fields.exit_status, 0) << fields.errors;
    EXPECT_NE(fields.output.find("Package: quennet-update"), std::string::npos) << fields.output;
    // This build carries placeholder images, and its package says so.
    EXPECT_TRUE(std::regex_search(fields.output, std::regex(R"(Version: [0-9.]+\+mainboard0\.97\+control0\.99\+placeholder\n)")))
        << fields.output;
    EXPECT_NE(fields.output.find("libhidapi-hidraw0"), std::string::npos) << fields.output;

    const fs::path root = dir / "root";
    const child_outcome extracted = run_command({"dpkg-deb", "-x", deb.string(), root.string()});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.errors;
    expect_installed(root / "usr");
}

}  // namespace
