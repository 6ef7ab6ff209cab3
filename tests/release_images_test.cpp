// SPDX-License-Identifier: MIT
// How a release's image files enter the build: exactly as stored, and only at
// their exact sizes. The image files are made here, so none is kept in the
// repository.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "tests/harness.h"
#include "payload/firmware_payload.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> image_of(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return bytes;
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// CMake wraps its messages: compare them with white space folded.
std::string folded(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

TEST(release_images, are_embedded_byte_for_byte)
{
    const fs::path dir = scratch_dir("embed");
    const std::vector<uint8_t> image = image_of(5930);
    write_file(dir / "mainboard.bin", image);
    const child_outcome outcome = run_command({EMBED_IMAGE_PATH, "--symbol", "mainboard_image", "--size", "5930", "--input",
                                       (dir / "mainboard.bin").string(), "--output", (dir / "out.cpp").string()});
    ASSERT_EQ(outcome.exit_status, 0) << outcome.errors;
    std::ifstream source(dir / "out.cpp");
    const std::string text((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    const std::regex byte("0x([0-9A-F]{2})");
    std::vector<uint8_t> embedded;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), byte); it != std::sregex_iterator(); ++it)
        embedded.push_back(static_cast<uint8_t>(std::stoul((*it)[1].str(), nullptr, 16)));
    EXPECT_EQ(embedded, image);
}

TEST(release_images, of_another_size_are_refused_by_the_embedding_tool)
{
    const fs::path dir = scratch_dir("embed_short");
    write_file(dir / "short.bin", image_of(5929));
    const child_outcome outcome = run_command({EMBED_IMAGE_PATH, "--symbol", "mainboard_image", "--size", "5930", "--input",
                                       (dir / "short.bin").string(), "--output", (dir / "out.cpp").string()});
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_NE(outcome.errors.find("holds 5929 bytes; the mainboard_image must be exactly 5930 bytes"), std::string::npos)
        << outcome.errors;
}

struct configure_case {
    const char* name;
    std::string variable;
    size_t size;  // 0: no file at all
    std::string message;
};

void PrintTo(const configure_case& c, std::ostream* out)
{
    *out << c.name;
}

class configuring : public testing::TestWithParam<configure_case> {};

TEST_P(configuring, stops_naming_the_file_its_size_and_the_size_required)
{
    const configure_case& c = GetParam();
    const fs::path dir = scratch_dir(std::string("configure_") + c.name);
    const fs::path image = dir / "image.bin";
    if (c.size > 0)
        write_file(image, image_of(c.size));
    const child_outcome outcome =
        run_command({CMAKE_COMMAND_PATH, "-S", QUENNET_SOURCE_DIR, "-B", (dir / "build").string(), "-DQUENNET_BUILD_EMULATOR=OFF",
             "-D" + c.variable + "=" + image.string()});
    EXPECT_NE(outcome.exit_status, 0);
    const std::string errors = folded(outcome.errors);
    EXPECT_NE(errors.find(c.variable + ": " + (c.size > 0 ? image.string() + " holds " : "the file " + image.string())),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(
    cases, configuring,
    testing::Values(configure_case{"short_mainboard", "QUENNET_MAINBOARD_IMAGE", 5929,
                                   "holds 5929 bytes; the mainboard_image must be exactly 5930 bytes"},
                    configure_case{"long_control", "QUENNET_CONTROL_IMAGE", 61441,
                                   "holds 61441 bytes; the control_image must be exactly 61440 bytes"},
                    configure_case{"missing_control", "QUENNET_CONTROL_IMAGE", 0,
                                   "does not exist; the control_image must be a file of exactly 61440 bytes"}),
    [](const testing::TestParamInfo<configure_case>& info) { return info.param.name; });

TEST(placeholder_images, spread_the_control_bytes_evenly_and_differ_from_a_cleared_eeprom)
{
    std::map<uint8_t, size_t> counts;
    for (uint8_t byte : control_image)
        ++counts[byte];
    ASSERT_EQ(counts.size(), 256u);
    for (const auto& [value, count] : counts)
        EXPECT_EQ(count, 240u) << "byte value " << int(value);
    const std::vector<uint8_t> start(mainboard_image, mainboard_image + 32);
    EXPECT_NE(start, std::vector<uint8_t>(32, 0xFF));
}

}  // namespace
