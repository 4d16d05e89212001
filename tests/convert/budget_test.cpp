// The run's budgets as the engine applies them: a file whose picture alone
// needs more memory than the run may use fails saying so; files that do not fit
// together take turns; a file past its time limit fails naming the limit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "convert/convertfile.h"
#include "convert/realconverter.h"
#include "convert/run.h"
#include "fakeconverter.h"
#include "imaging/memory.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMB = 1 << 20;

// A real photo of 2560 x 1600: 16 bytes a pixel come to 62.5 MB, plus its file.
const fs::path kPhoto = test::corpusDir() / "photos/camera/kde_BytheWater.jpg";

std::size_t fileCount(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(MemoryBudgetRun, APictureTooLargeForTheWholeBudgetFailsAlone) {
    test::ScratchDir out, data;
    imaging::MemoryBudget budget(32 * kMB);
    FileSettings settings;
    settings.format = "PNG";
    settings.dataFolder = data.path().string() + "/";
    settings.memory = &budget;
    const FileOutcome outcome = convertFile(kPhoto.string(), out.path().string() + "/", settings);
    EXPECT_EQ(outcome.error,
              "The picture needs 63 MB of memory, more than the 32 MB this run may use");
    EXPECT_EQ(fileCount(out.path()), 0u);
    EXPECT_EQ(budget.reserved(), 0u);
}

class CollectingReporter : public RunReporter {
public:
    void fileFailed(std::size_t, const std::string& source, const std::string& message) override {
        failures.push_back(source + ": " + message);
    }
    void fileConverted(std::size_t, const std::string&, const std::string&) override {
        ++converted;
    }
    std::vector<std::string> failures;
    int converted = 0;
};

TEST(MemoryBudgetRun, FilesThatDoNotFitTogetherTakeTurns) {
    test::ScratchDir sources, out;
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(sources.file("photo" + std::to_string(i) + ".jpg"));
        fs::copy_file(kPhoto, files.back());
    }
    // Room for one photo's 63 MB at a time, not two.
    imaging::MemoryBudget budget(100 * kMB);
    ConversionOptions options;
    options.format = "PNG";
    options.destination = out.path().string();
    ConversionEnvironment environment;
    environment.dataFolder = out.path().string() + "/";
    environment.jobs = 2;
    environment.memory = &budget;
    CollectingReporter reporter;
    const auto summary = runConversion(files, options, environment, reporter, {});
    ASSERT_TRUE(summary.has_value());
    EXPECT_TRUE(reporter.failures.empty()) << reporter.failures.front();
    EXPECT_EQ(reporter.converted, 4);
    // Held at once: one photo's reservation (it may grow a little), never two.
    EXPECT_GE(budget.peakReserved(), 62 * kMB);
    EXPECT_LE(budget.peakReserved(), budget.limit());
    EXPECT_LT(budget.peakReserved(), 2 * 62 * kMB);
    EXPECT_EQ(budget.reserved(), 0u);
}

TEST(TimeBudget, AConverterPastTheFilesTimeFailsNamingTheLimit) {
    test::ScratchDir sources, out, data;
    test::FakeConverter fake;
    fake.set("hang", true);
    const std::string source = sources.file("drawing.png");
    fs::copy_file(test::corpusDir() / "pngsuite/basn6a08.png", source);
    FileSettings settings;
    settings.format = "AVIF";
    settings.dataFolder = data.path().string() + "/";
    settings.converterPath = fake.path();
    settings.converterFolder = fake.folder().string();
    settings.timeBase = std::chrono::milliseconds(1500);
    settings.timePerMegapixel = std::chrono::seconds(1000);  // 32 x 32 pixels: one more second
    const auto start = std::chrono::steady_clock::now();
    const FileOutcome outcome = convertFile(source, out.path().string() + "/", settings);
    EXPECT_EQ(outcome.error, "The conversion took longer than its time limit of 3 seconds");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(fileCount(out.path()), 0u);
    EXPECT_EQ(fileCount(data.path()), 0u);
}

// An animated GIF of a few frames on a large screen, to WEBP through the real
// converter: its time comes from frames x screen, here made short.
TEST(TimeBudget, AnAnimationOnAHugeScreenStopsAtItsLimit) {
    test::ScratchDir sources, out, data;
    std::vector<std::uint8_t> gif{'G',  'I', 'F', '8', '9', 'a', 0xB8, 0x0B, 0xB8,
                                  0x0B,  // 3000 x 3000
                                  0x80, 0,   0,   0,   0,   0,   255,  255,  255};
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t frame[] = {0x21, 0xF9,
                                      4,    4,
                                      10,   0,
                                      0,    0,  // 0.1 s, kept
                                      0x2C, static_cast<std::uint8_t>(i),
                                      0,    0,
                                      0,    1,
                                      0,    1,
                                      0,    0,
                                      2,    2,
                                      0x44, 0x01,
                                      0};
        gif.insert(gif.end(), std::begin(frame), std::end(frame));
    }
    gif.push_back(0x3B);
    const std::string source = sources.file("screen.gif");
    test::writeBytes(source, gif);
    FileSettings settings = test::realConverterSettings("WEBP", data.path().string());
    settings.timeBase = std::chrono::milliseconds(0);
    settings.timePerMegapixel = std::chrono::milliseconds(25);  // 36 million pixels: 0.9 s
    const FileOutcome outcome = convertFile(source, out.path().string() + "/", settings);
    EXPECT_EQ(outcome.error, "The conversion took longer than its time limit of 900 milliseconds");
    EXPECT_EQ(fileCount(out.path()), 0u);
    EXPECT_EQ(fileCount(data.path()), 0u);
}

}  // namespace
}  // namespace imbrix::convert
