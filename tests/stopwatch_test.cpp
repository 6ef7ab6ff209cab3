// SPDX-License-Identifier: MIT
// The stopwatch and the progress line's texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define close _close
#else
#include <unistd.h>
#endif

#include "util/progress_line.h"
#include "util/stopwatch.h"

namespace {

// What `print` writes to standard output.
std::string printed(const std::function<void()>& print)
{
    std::fflush(stdout);
    const int saved = dup(1);
    std::FILE* capture = std::tmpfile();
    dup2(fileno(capture), 1);
    print();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(capture);
    for (int c = std::fgetc(capture); c != EOF; c = std::fgetc(capture))
        text += static_cast<char>(c);
    std::fclose(capture);
    return text;
}

TEST(progress_line, texts_overwrite_each_other_on_one_line)
{
    EXPECT_EQ(printed([] { progress_percent(0); }), "\r  0%");
    EXPECT_EQ(printed([] { progress_percent(100); }), "\r  100%");
    EXPECT_EQ(printed([] { progress_done(0.004); }), "\r  Done in 0.00s\n");
    EXPECT_EQ(printed([] { progress_done(75.5); }), "\r  Done in 75.50s\n");
    // The time covers every digit of the longest percentage.
    EXPECT_GT(printed([] { progress_done(0); }).size() - 1, printed([] { progress_percent(100); }).size());
}

TEST(stopwatch, converts_ticks_to_seconds)
{
    stopwatch watch = stopwatch_create();
    EXPECT_DOUBLE_EQ(stopwatch_seconds_between(watch, 0, watch.frequency * 151 / 2), 75.5);
    EXPECT_DOUBLE_EQ(watch.end_time, 75.5e6);
    EXPECT_NEAR(stopwatch_seconds_between(watch, watch.frequency * 1000, watch.frequency * 1000 + watch.frequency / 250), 0.004, 1e-9);
}

TEST(stopwatch, readings_without_a_start_between_measure_from_the_same_start)
{
    stopwatch watch = stopwatch_create();
    stopwatch_start(watch);
    const int64_t started = watch.start_count;
    const double first = stopwatch_elapsed_seconds(watch);
    const double second = stopwatch_elapsed_seconds(watch);
    EXPECT_EQ(watch.start_count, started);
    EXPECT_GE(first, 0.0);
    EXPECT_GE(second, first);
    stopwatch_start(watch);
    EXPECT_GE(watch.start_count, started);
}

}  // namespace
