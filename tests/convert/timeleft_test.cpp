// The time a run has left: fitted to the run's pace, on a clock the test drives.
#include "convert/timeleft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace imbrix::convert {
namespace {

using std::chrono::milliseconds;

// A run whose files cost `perFileMs` each plus `perMbMs` per megabyte of
// source, reported in list order; the first report comes `startMs` late (the
// workers' start).
struct SimulatedRun {
    std::vector<std::int64_t> sizes;
    double perFileMs = 0;
    double perMbMs = 0;
    double startMs = 0;

    std::int64_t totalBytes() const {
        std::int64_t total = 0;
        for (std::int64_t size : sizes)
            total += size;
        return total;
    }
    double costMs(std::size_t i) const {
        return perFileMs + perMbMs * static_cast<double>(sizes[i]) / 1e6;
    }
    // Feeds the first `files` reports; returns the time of the last.
    double feed(TimeLeft& estimate, std::size_t files) const {
        double ms = startMs;
        std::int64_t bytes = 0;
        for (std::size_t i = 0; i < files; ++i) {
            ms += costMs(i);
            bytes += sizes[i];
            estimate.update(milliseconds(std::llround(ms)), i + 1, bytes);
        }
        return ms;
    }
    double remainingMs(std::size_t from) const {
        double ms = 0;
        for (std::size_t i = from; i < sizes.size(); ++i)
            ms += costMs(i);
        return ms;
    }
};

// A fixed pseudo-random sequence (a linear congruential generator), so the
// lists are the same on every machine.
std::vector<std::int64_t> sizesGrowingAlongTheList(std::size_t count) {
    std::vector<std::int64_t> sizes;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
        // From about 50 KB at the top of the list to about 6 MB at its end.
        const double mb = 0.05 + 6.0 * static_cast<double>(i) / static_cast<double>(count) * noise;
        sizes.push_back(static_cast<std::int64_t>(mb * 1e6));
    }
    return sizes;
}

TEST(TimeLeftTest, IsAccurateAfterTheFirstTenthOfARun) {
    struct Case {
        const char* name;
        SimulatedRun run;
        double tolerance;  // of the true time left
    };
    std::vector<Case> cases;
    cases.push_back(
        {"similar photos", {std::vector<std::int64_t>(500, 3'000'000), 20, 80, 0}, 0.01});
    cases.push_back({"similar photos, slow start",
                     {std::vector<std::int64_t>(500, 3'000'000), 20, 80, 900},
                     0.02});
    // Small pictures first, large ones later: the file count alone would say
    // far too little, the bytes alone too much.
    cases.push_back(
        {"sizes growing along the list", {sizesGrowingAlongTheList(1000), 40, 120, 0}, 0.05});
    // Files that cannot be read count nothing: the estimate goes by files.
    cases.push_back({"sizes unknown", {std::vector<std::int64_t>(300, 0), 15, 0, 0}, 0.01});
    for (const Case& c : cases) {
        const std::size_t total = c.run.sizes.size();
        TimeLeft estimate(total, c.run.totalBytes());
        const std::size_t tenth = total / 10;
        const double now = c.run.feed(estimate, tenth);
        const auto left = estimate.left(milliseconds(std::llround(now)));
        ASSERT_TRUE(left.has_value()) << c.name;
        const double truth = c.run.remainingMs(tenth);
        EXPECT_NEAR(static_cast<double>(left->count()), truth, truth * c.tolerance) << c.name;
    }
}

// The two simple estimates the fit replaces miss the mixed list by far: the
// test above is not met by luck.
TEST(TimeLeftTest, TheMixedListDefeatsCountingFilesOrBytesAlone) {
    SimulatedRun run{sizesGrowingAlongTheList(1000), 40, 120, 0};
    const std::size_t tenth = 100;
    std::int64_t bytesDone = 0;
    for (std::size_t i = 0; i < tenth; ++i)
        bytesDone += run.sizes[i];
    TimeLeft ignored(1, 1);
    const double now = run.feed(ignored, tenth);
    const double truth = run.remainingMs(tenth);
    const double byFiles = now * 9;
    const double byBytes =
        now * static_cast<double>(run.totalBytes() - bytesDone) / static_cast<double>(bytesDone);
    EXPECT_LT(byFiles, truth * 0.6);
    EXPECT_GT(byBytes, truth * 1.4);
}

TEST(TimeLeftTest, CountsDownBetweenFilesAndEndsAtZero) {
    TimeLeft estimate(4, 4000);
    EXPECT_FALSE(estimate.left(milliseconds(0)).has_value()) << "nothing known before a file";
    estimate.update(milliseconds(1000), 1, 1000);
    auto left = estimate.left(milliseconds(1000));
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->count(), 3000);
    EXPECT_EQ(estimate.left(milliseconds(1400))->count(), 2600);
    EXPECT_EQ(estimate.left(milliseconds(9000))->count(), 0) << "a slow file: not below zero";
    estimate.update(milliseconds(2000), 2, 2000);
    estimate.update(milliseconds(3000), 3, 3000);
    estimate.update(milliseconds(4000), 4, 4000);
    EXPECT_EQ(estimate.left(milliseconds(4000))->count(), 0);
}

// A list read in parts: the run's totals grow as each part is announced, and
// the estimate follows the whole list known so far, not the first part.
TEST(TimeLeftTest, FollowsAListThatGrowsInParts) {
    SimulatedRun run{std::vector<std::int64_t>(3000, 1'000'000), 10, 20, 0};
    TimeLeft estimate(1000, 1'000'000'000);
    run.feed(estimate, 500);
    estimate.grow(2000, 2'000'000'000);
    estimate.grow(1500, 1'500'000'000);  // totals never shrink
    double now = 0;
    for (std::size_t i = 0; i < 500; ++i) {
        now += run.costMs(i);
    }
    const auto left = estimate.left(milliseconds(std::llround(now)));
    ASSERT_TRUE(left.has_value());
    const double truth = 1500 * run.costMs(0);  // 1,500 of the 2,000 known are left
    EXPECT_NEAR(static_cast<double>(left->count()), truth, truth * 0.01);
}

TEST(TimeLeftTest, ClockText) {
    struct Case {
        std::int64_t ms;
        const char* text;
    };
    for (const Case& c : {Case{0, "0:00"}, Case{1, "0:01"}, Case{1000, "0:01"}, Case{1001, "0:02"},
                          Case{59'999, "1:00"}, Case{605'000, "10:05"}, Case{3'599'000, "59:59"},
                          Case{3'600'000, "1:00:00"}, Case{3'723'000, "1:02:03"},
                          Case{100 * 3'600'000LL, "100:00:00"}, Case{-5, "0:00"}}) {
        EXPECT_EQ(clockText(milliseconds(c.ms)), c.text) << c.ms;
    }
}

}  // namespace
}  // namespace imbrix::convert
