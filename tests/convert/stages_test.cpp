// The run's stages: where they apply on each route, and a stop between steps.
#include "imaging/stages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <thread>

#include "common/testsupport.h"
#include "convert/convertfile.h"
#include "convert/fakeconverter.h"
#include "imaging/decode.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;

// Turns the picture left to right: a change no route makes by itself.
imaging::Stage mirrorStage() {
    return [](imaging::Picture& picture, std::stop_token) {
        imaging::Raster& r = picture.pixels;
        for (std::uint32_t y = 0; y < r.height(); ++y) {
            std::uint8_t* row = r.row(y);
            for (std::uint32_t x = 0; x < r.width() / 2; ++x) {
                std::swap_ranges(row + 4 * x, row + 4 * x + 4, row + 4 * (r.width() - 1 - x));
            }
        }
    };
}

bool samePixels(const imaging::Raster& a, const imaging::Raster& b) {
    if (a.width() != b.width() || a.height() != b.height()) {
        return false;
    }
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        if (!std::equal(a.row(y), a.row(y) + 4 * a.width(), b.row(y))) {
            return false;
        }
    }
    return true;
}

std::size_t fileCount(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class Stages : public ::testing::Test {
protected:
    void SetUp() override {
        // Not symmetric left to right: a mirrored picture differs from it.
        fs::copy_file(test::corpusDir() / "pngsuite/basn6a08.png", source_);
        settings_.dataFolder = data_.path().string() + "/";
        settings_.converterPath = fake_.path();
        settings_.converterFolder = fake_.folder().string();
        settings_.quality = 90;
        fake_.set("keep-input", true);
    }

    imaging::Raster mirroredSource() const {
        imaging::Picture picture{imaging::loadPicture(source_), {}};
        mirrorStage()(picture, {});
        return std::move(picture.pixels);
    }

    test::ScratchDir sources_, data_, out_;
    std::string source_ = sources_.file("drawing.png");
    test::FakeConverter fake_;
    FileSettings settings_;
};

// Without a stage of its own the converter reads the source file (grayscale is
// its own "-colorspace Gray"); with one it reads the stages' result, a lossless
// PNG in the data folder that is gone afterwards.
TEST_F(Stages, TheConverterReadsTheStagesResult) {
    settings_.format = "AVIF";
    settings_.grayscale = true;
    settings_.stages = stagesFor(settings_);
    ASSERT_TRUE(settings_.stages->empty());
    FileOutcome outcome = convertFile(source_, out_.path().string() + "/", settings_);
    ASSERT_EQ(outcome.error, "");
    ASSERT_EQ(fake_.calls().size(), 1u);
    std::vector<std::string> call = fake_.calls().back();
    EXPECT_EQ(call.front(), source_);
    EXPECT_NE(std::find(call.begin(), call.end(), "Gray"), call.end());

    settings_.stages->add(mirrorStage());
    outcome = convertFile(source_, out_.path().string() + "/", settings_);
    ASSERT_EQ(outcome.error, "");
    ASSERT_EQ(fake_.calls().size(), 2u);
    call = fake_.calls().back();
    EXPECT_EQ(fs::path(call.front()).parent_path(), data_.path());
    EXPECT_EQ(fs::path(call.front()).extension(), ".png");
    EXPECT_NE(std::find(call.begin(), call.end(), "Gray"), call.end());
    const imaging::FileBytes copy((fake_.folder() / "input-copy").string());
    const imaging::Raster handed = imaging::decodeWithPictureLoader("png", copy.bytes());
    EXPECT_TRUE(samePixels(handed, mirroredSource()));
    EXPECT_EQ(fileCount(data_.path()), 0u);
}

// Our own encoders take the stages' result too, after grayscale.
TEST_F(Stages, OwnEncodersTakeEveryStage) {
    settings_.format = "PNG";
    settings_.grayscale = false;
    settings_.stages = stagesFor(settings_);
    settings_.stages->add(mirrorStage());
    const FileOutcome outcome = convertFile(source_, out_.path().string() + "/", settings_);
    ASSERT_EQ(outcome.error, "");
    EXPECT_TRUE(samePixels(imaging::loadPicture(outcome.output), mirroredSource()));
}

// A stop between two steps fails the file with nothing left behind; a stage that
// asks for the stop keeps the next stage from running.
TEST_F(Stages, AStopFailsTheFileBetweenSteps) {
    for (const char* format : {"PNG", "TIFF", "AVIF", "WEBP"}) {
        SCOPED_TRACE(format);
        settings_.format = format;
        std::stop_source stop;
        bool laterStageRan = false;
        imaging::StageList stages;
        stages.add([&stop](imaging::Picture&, std::stop_token) { stop.request_stop(); });
        stages.add([&laterStageRan](imaging::Picture&, std::stop_token) { laterStageRan = true; });
        settings_.stages = std::move(stages);
        fake_.clearCalls();

        PreparedFile prepared =
            prepareFile(source_, out_.path().string() + "/", settings_, stop.get_token());
        ASSERT_TRUE(prepared.error.has_value());
        EXPECT_EQ(prepared.error->detail, "The conversion was stopped");
        EXPECT_FALSE(laterStageRan);
        EXPECT_TRUE(fake_.calls().empty());
        EXPECT_EQ(finishFile(prepared).error, "The conversion was stopped");
        EXPECT_EQ(fileCount(out_.path()), 0u);
        EXPECT_EQ(fileCount(data_.path()), 0u);
    }
}

// A converter that hangs is ended with everything it started when its time is
// up; the file fails saying so and leaves nothing.
TEST_F(Stages, AConverterThatHangsIsEnded) {
    fake_.set("hang", true);
    settings_.format = "AVIF";
    settings_.converterDeadline = std::chrono::seconds(2);
    const FileOutcome outcome = convertFile(source_, out_.path().string() + "/", settings_);
    EXPECT_EQ(outcome.error, "The conversion took longer than its time limit of 2 seconds");
    EXPECT_EQ(fileCount(out_.path()), 0u);
    EXPECT_EQ(fileCount(data_.path()), 0u);
    std::ifstream pidFile(fake_.folder() / "hang.pid");
    pid_t helper = 0;
    pidFile >> helper;
    ASSERT_GT(helper, 0);
    // Ended, or a zombie waiting for its parent (which is gone) to be reaped;
    // the signal may take a moment to land on a busy machine.
    std::string text;
    for (int i = 0; i < 200; ++i) {
        std::ifstream stat("/proc/" + std::to_string(helper) + "/stat");
        text.clear();
        std::getline(stat, text);
        if (text.empty() || text.find(") Z") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(text.empty() || text.find(") Z") != std::string::npos) << text;
}

}  // namespace
}  // namespace imbrix::convert
