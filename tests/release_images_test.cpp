// SPDX-License-Identifier: MIT
// How a release enters the build: its image files exactly as stored and only
// at their exact sizes, its release.conf checked item by item. The image
// files are made here, so none is kept in the repository.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "tests/harness.h"
#include "payload/firmware_payload.h"

namespace {

namespace fs = std::filesystem;

const size_t MAINBOARD = MAINBOARD_IMAGE_SIZE;
const size_t CONTROL = CONTROL_IMAGE_SIZE;
const std::string MAINBOARD_TEXT = std::to_string(MAINBOARD_IMAGE_SIZE);
const std::string CONTROL_TEXT = std::to_string(CONTROL_IMAGE_SIZE);

// An image of `size` bytes, every value in turn.
std::string image_of(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 31 + 7);
    return bytes;
}

// CMake wraps its messages: compare them with white space folded.
std::string folded(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

// The embedding tool takes an image byte for byte, and only at its exact size.
TEST(release_images, are_embedded_byte_for_byte_and_only_at_their_exact_size)
{
    const fs::path dir = scratch_dir("embed");
    const auto embed = [&](const std::string& image) {
        std::ofstream(dir / "mainboard.bin", std::ios::binary) << image;
        return run_command({EMBED_IMAGE_PATH, "--symbol", "mainboard_image", "--size", MAINBOARD_TEXT, "--input",
                            (dir / "mainboard.bin").string(), "--output", (dir / "out.cpp").string()});
    };
    const std::string image = image_of(MAINBOARD);
    const child_outcome outcome = embed(image);
    ASSERT_EQ(outcome.exit_status, 0) << outcome.errors;
    const std::string text = read_text(dir / "out.cpp");
    const std::regex byte("0x([0-9A-F]{2})");
    std::string embedded;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), byte); it != std::sregex_iterator(); ++it)
        embedded.push_back(static_cast<char>(std::stoul((*it)[1].str(), nullptr, 16)));
    EXPECT_TRUE(embedded == image) << "not the image's bytes, or not all of them: " << embedded.size() << " bytes embedded";
    const child_outcome short_one = embed(image_of(MAINBOARD - 1));
    EXPECT_EQ(short_one.exit_status, 1);
    EXPECT_NE(short_one.errors.find("holds " + std::to_string(MAINBOARD - 1) + " bytes; the mainboard_image must be exactly " +
                                    MAINBOARD_TEXT + " bytes"),
              std::string::npos)
        << short_one.errors;
}

// A release folder as the release engineer gives it; a size of 0 leaves the
// image out, an empty text the release.conf.
struct configure_case {
    const char* name;
    size_t mainboard_size;
    size_t control_size;
    std::string conf;
    std::string message;     // what configuring says, besides the file's name
    std::string file;        // the file it names, if any
    std::string other = "";  // another definition on the command line
};

CASES_SHOW_BY_NAME(configure_case)

class configuring : public testing::TestWithParam<configure_case> {};

TEST_P(configuring, stops_naming_the_release_file_and_the_problem)
{
    const configure_case& c = GetParam();
    const fs::path dir = scratch_dir(std::string("configure_") + c.name);
    const fs::path release = dir / "release";
    fs::create_directories(release);
    if (c.mainboard_size > 0)
        std::ofstream(release / "mainboard.bin", std::ios::binary) << image_of(c.mainboard_size);
    if (c.control_size > 0)
        std::ofstream(release / "control.bin", std::ios::binary) << image_of(c.control_size);
    if (!c.conf.empty())
        std::ofstream(release / "release.conf") << c.conf;
    std::vector<std::string> configure = {CMAKE_COMMAND_PATH, "-S", QUENNET_SOURCE_DIR, "-B", (dir / "build").string(),
                                          "-DQUENNET_BUILD_EMULATOR=OFF", "-DQUENNET_RELEASE_DIR=" + release.string()};
    if (!c.other.empty())
        configure.push_back(c.other);
    const child_outcome outcome = run_command(configure);
    EXPECT_NE(outcome.exit_status, 0);
    const std::string errors = folded(outcome.errors);
    EXPECT_TRUE(c.file.empty() || errors.find((release / c.file).string()) != std::string::npos) << errors;
    EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
}

// The SHA-256 of image_of(5930) and image_of(61440), and of the first with
// its first byte changed.
const std::string MAINBOARD_SHA256 = "3313e5b776e8ab848c13bf38a77e4569cad194c98ea9bfb6506bc8e3ef0e3048";
const std::string CONTROL_SHA256 = "238775e2d81a93bb713ef753595208567cb4e19fc3881033ac533ce6240f324b";
const std::string ONE_BYTE_OFF_SHA256 = "aaf6defb310749c0027f33d6074d3272560140841a05c22a00682d11aa6bea79";

const std::string GOOD_CONF = "# a release\n\nmainboard_revision = 1.0a\ncontrol_revision=0.9C\n"
                              "bootloader_entry_code = 01 23 45 67 89 AB CD EF\n"
                              "mainboard_sha256 = " + MAINBOARD_SHA256 + "\ncontrol_sha256 = " + CONTROL_SHA256 + "\n";

std::string with(const std::string& from, const std::string& to)
{
    return std::regex_replace(GOOD_CONF, std::regex(from), to);
}

INSTANTIATE_TEST_SUITE_P(
    cases, configuring,
    testing::Values(
        configure_case{"missing_mainboard_image", 0, CONTROL, GOOD_CONF, "missing; a release folder holds", "mainboard.bin"},
        configure_case{"missing_release_conf", MAINBOARD, CONTROL, "", "missing; a release folder holds", "release.conf"},
        configure_case{"short_mainboard_image", MAINBOARD - 1, CONTROL, GOOD_CONF,
                       "holds " + std::to_string(MAINBOARD - 1) + " bytes; the mainboard_image must be exactly " + MAINBOARD_TEXT +
                           " bytes",
                       "mainboard.bin"},
        configure_case{"long_control_image", MAINBOARD, CONTROL + 1, GOOD_CONF,
                       "holds " + std::to_string(CONTROL + 1) + " bytes; the control_image must be exactly " + CONTROL_TEXT + " bytes",
                       "control.bin"},
        configure_case{"revision_of_one_minor_digit", MAINBOARD, CONTROL, with("1\\.0a", "1.a"),
                       "mainboard_revision = 1.a is not a revision of two hex bytes", "release.conf"},
        configure_case{"revision_with_a_leading_zero", MAINBOARD, CONTROL, with("0\\.9C", "00.9C"),
                       "control_revision = 00.9C is not a revision of two hex bytes", "release.conf"},
        configure_case{"entry_code_of_7_bytes", MAINBOARD, CONTROL, with(" EF", ""),
                       "bootloader_entry_code holds 7 bytes; it must be 8 hex bytes separated by spaces", "release.conf"},
        configure_case{"entry_code_with_no_hex_byte", MAINBOARD, CONTROL, with("EF", "EG"),
                       "bootloader_entry_code: EG is not a hex byte", "release.conf"},
        configure_case{"missing_key", MAINBOARD, CONTROL, with("control_revision=0\\.9C\n", ""), "no control_revision",
                       "release.conf"},
        configure_case{"unknown_key", MAINBOARD, CONTROL, GOOD_CONF + "mainboard_version = 1.00\n",
                       "unknown key mainboard_version", "release.conf"},
        configure_case{"image_not_the_one_pinned", MAINBOARD, CONTROL, with(MAINBOARD_SHA256, ONE_BYTE_OFF_SHA256),
                       "its SHA-256 is " + MAINBOARD_SHA256 + "; release.conf pins " + ONE_BYTE_OFF_SHA256, "mainboard.bin"},
        configure_case{"pin_missing", MAINBOARD, CONTROL, with("control_sha256 = [0-9a-f]+\n", ""), "no control_sha256",
                       "release.conf"},
        configure_case{"pin_of_63_digits", MAINBOARD, CONTROL, with(CONTROL_SHA256, CONTROL_SHA256.substr(1)),
                       "control_sha256 = " + CONTROL_SHA256.substr(1) + " is not a SHA-256 (64 hex digits)", "release.conf"},
        configure_case{"upper_case_key", MAINBOARD, CONTROL, with("mainboard_revision", "Mainboard_revision"),
                       "not a line of the form key = value", "release.conf"},
        // The image variables of earlier releases are retired, with a word
        // on where the release goes now.
        configure_case{"retired_image_variable", MAINBOARD, CONTROL, GOOD_CONF,
                       "QUENNET_MAINBOARD_IMAGE is retired: give the release as one folder in QUENNET_RELEASE_DIR", "",
                       "-DQUENNET_MAINBOARD_IMAGE=/tmp/mainboard.bin"}),
    testing::PrintToStringParamName());

// The placeholders the build makes where no release was given, as the
// embedding tool writes them (whatever release this build carries).
std::string placeholder_of(const std::string& kind, const std::string& size)
{
    const fs::path dir = scratch_dir("placeholder_" + kind);
    const child_outcome outcome = run_command({EMBED_IMAGE_PATH, "--symbol", kind + "_image", "--size", size, "--placeholder",
                                               kind, "--output", (dir / "out.cpp").string(), "--raw-output",
                                               (dir / "raw.bin").string()});
    EXPECT_EQ(outcome.exit_status, 0) << outcome.errors;
    return read_text(dir / "raw.bin");
}

TEST(placeholder_images, spread_the_control_bytes_evenly_and_differ_from_a_cleared_eeprom)
{
    const std::string control = placeholder_of("control", CONTROL_TEXT);
    ASSERT_EQ(control.size(), CONTROL);
    std::map<uint8_t, size_t> counts;
    for (const char byte : control)
        ++counts[static_cast<uint8_t>(byte)];
    ASSERT_EQ(counts.size(), 256u);
    for (const auto& [value, count] : counts)
        EXPECT_EQ(count, CONTROL / 256) << "byte value " << int(value);
    const std::string mainboard = placeholder_of("mainboard", MAINBOARD_TEXT);
    ASSERT_EQ(mainboard.size(), MAINBOARD);
    EXPECT_NE(mainboard.substr(0, 32), std::string(32, '\xFF'));
}

}  // namespace
