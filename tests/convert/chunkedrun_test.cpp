// A run fed a file at a time and converted in parts: the same names, reports
// and figures as one run over the whole list, and a stop or a lost destination
// between parts handled as one run would.
#include "convert/chunkedrun.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "common/testsupport.h"
#include "platform/files.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;

// Every report as a line, with the destination folder written as "DEST/".
class Recorder : public RunReporter {
public:
    explicit Recorder(std::string dest) : dest_(std::move(dest)) {}

    void fileFailed(std::size_t index, const std::string& source,
                    const std::string& message) override {
        events.push_back("failed " + std::to_string(index) + " " + source + ": " + message);
    }
    void fileConverted(std::size_t index, const std::string& source,
                       const std::string& output) override {
        events.push_back("converted " + std::to_string(index) + " " + source + " -> " +
                         relative(output));
    }
    void fileDone(std::size_t index, const FileOutcome& outcome) override {
        done.push_back(outcome);
        if (onDone) {
            onDone(index);
        }
    }
    void warning(const std::string&, const std::string& text, RunCheck) override {
        events.push_back("warning " + text);
    }
    void progress(const RunProgress& figures) override { progressSeen.push_back(figures); }

    std::vector<std::string> events;
    std::vector<FileOutcome> done;
    std::vector<RunProgress> progressSeen;
    std::function<void(std::size_t index)> onDone;

private:
    std::string relative(const std::string& path) const {
        return path.rfind(dest_, 0) == 0 ? "DEST/" + path.substr(dest_.size()) : path;
    }
    std::string dest_;
};

class ChunkedRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        environment_.programFolder = "/nonexistent/";
        environment_.dataFolder = data_.path().string() + "/";
        environment_.converterPath = "/nonexistent/magick";  // our own codecs do every file here
        environment_.jobs = 2;
        // Two files of one name, a PNG named as a JPEG (fails), a missing file.
        for (const auto& [corpus, name] : std::vector<std::pair<std::string, std::string>>{
                 {"pngsuite/basn6a08.png", "a.png"},
                 {"pngsuite/basn2c08.png", "sub/a.png"},
                 {"pngsuite/basn0g08.png", "b.png"},
                 {"pngsuite/basn2c08.png", "fake.jpg"},
                 {"pngsuite/basn3p08.png", "c.png"},
                 {"pngsuite/basn6a16.png", "sub/b.png"},
                 {"pngsuite/basn4a08.png", "d.png"}}) {
            fs::create_directories((sources_.path() / name).parent_path());
            fs::copy_file(test::corpusDir() / corpus, sources_.path() / name);
            files_.push_back({(sources_.path() / name).string(), {}});
        }
        files_.insert(files_.begin() + 5, {sources_.file("missing.png"), {}});
    }

    ConversionOptions to(const std::string& dest) const {
        ConversionOptions options;
        options.format = "WEBP";
        options.quality = 80;
        options.destination = dest;
        return options;
    }

    test::ScratchDir sources_, data_, out_;
    ConversionEnvironment environment_;
    std::vector<SourceFile> files_;
};

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ChunkedRunTest, PartsGiveWhatOneRunGives) {
    const std::string whole = out_.file("whole") + "/";
    Recorder one(whole);
    const std::optional<RunSummary> expected =
        runConversion(files_, to(whole), environment_, one, Translator{});
    ASSERT_TRUE(expected);
    ASSERT_EQ(expected->failedCount, 2u);

    for (std::size_t partSize : {1u, 2u, 3u, 1000u}) {
        SCOPED_TRACE(partSize);
        const std::string dest = out_.file("parts" + std::to_string(partSize)) + "/";
        fs::create_directories(dest);
        // A temporary file a killed run left: cleared before the first part.
        const pid_t ended = ::fork();
        ASSERT_GE(ended, 0);
        if (ended == 0) {
            ::_exit(0);
        }
        ::waitpid(ended, nullptr, 0);
        test::writeText(dest + ".a." + std::to_string(ended) + "-1.imbrix-tmp.webp", "half");

        Recorder parts(dest);
        const ConversionOptions options = to(dest);
        ChunkedRun run(options, environment_, parts, Translator{}, {}, partSize);
        for (const SourceFile& file : files_) {
            ASSERT_TRUE(run.add(file));
        }
        const std::optional<RunSummary> summary = run.finish();
        ASSERT_TRUE(summary);

        EXPECT_EQ(parts.events, one.events);
        EXPECT_EQ(entries(dest), entries(whole));
        EXPECT_EQ(entries(dest), (std::vector<std::string>{"a (2).webp", "a.webp", "b (2).webp",
                                                           "b.webp", "c.webp", "d.webp"}));
        EXPECT_EQ(summary->fileCount, files_.size());
        EXPECT_EQ(summary->listCount, files_.size());
        EXPECT_EQ(summary->failedCount, expected->failedCount);
        EXPECT_EQ(summary->inputTotal, expected->inputTotal);
        EXPECT_EQ(summary->outputTotal, expected->outputTotal);
        EXPECT_EQ(summary->processed, "8");
        EXPECT_EQ(summary->diskSpaceValue, expected->diskSpaceValue);
        EXPECT_FALSE(summary->stopped);
        EXPECT_TRUE(summary->files.empty());  // each went to fileDone()

        // Every file's outcome, in list order, with its sizes.
        ASSERT_EQ(parts.done.size(), files_.size());
        std::int64_t written = 0;
        for (std::size_t i = 0; i < files_.size(); ++i) {
            EXPECT_EQ(parts.done[i].source, files_[i].path);
            EXPECT_EQ(parts.done[i].bytesIn, platform::fileSizeBytes(files_[i].path));
            if (parts.done[i].error.empty()) {
                EXPECT_EQ(parts.done[i].bytesOut, platform::fileSizeBytes(parts.done[i].output));
            } else {
                EXPECT_EQ(parts.done[i].bytesOut, 0);
            }
            written += parts.done[i].bytesOut;
        }
        EXPECT_EQ(written, summary->outputTotal);

        // The figures count over the whole list; the total grows part by part.
        ASSERT_FALSE(parts.progressSeen.empty());
        EXPECT_EQ(parts.progressSeen.front().total, std::min(partSize, files_.size()));
        EXPECT_EQ(parts.progressSeen.back().done, files_.size());
        EXPECT_EQ(parts.progressSeen.back().total, files_.size());
        EXPECT_EQ(parts.progressSeen.back().failed, 2u);
        EXPECT_EQ(parts.progressSeen.back().bytesOut, summary->outputTotal);
        for (std::size_t i = 1; i < parts.progressSeen.size(); ++i) {
            EXPECT_GE(parts.progressSeen[i].done, parts.progressSeen[i - 1].done);
            EXPECT_GE(parts.progressSeen[i].total, parts.progressSeen[i - 1].total);
        }
    }
}

// A stop during a part ends the run after it: no later part starts.
TEST_F(ChunkedRunTest, StopEndsTheRunBetweenParts) {
    const std::string dest = out_.file("out") + "/";
    Recorder reporter(dest);
    std::stop_source stop;
    reporter.onDone = [&stop](std::size_t index) {
        if (index == 2) {
            stop.request_stop();
        }
    };
    const ConversionOptions options = to(dest);
    ChunkedRun run(options, environment_, reporter, Translator{}, stop.get_token(), 3);
    std::size_t added = 0;
    for (const SourceFile& file : files_) {
        if (!run.add(file)) {
            break;
        }
        ++added;
    }
    EXPECT_EQ(added, 3u);  // the fourth is refused: the run has ended
    const std::optional<RunSummary> summary = run.finish();
    ASSERT_TRUE(summary);
    EXPECT_TRUE(summary->stopped);
    EXPECT_EQ(summary->fileCount, 3u);
    EXPECT_EQ(reporter.done.size(), 3u);
    EXPECT_EQ(entries(dest), (std::vector<std::string>{"a (2).webp", "a.webp", "b.webp"}));
}

// The destination goes away after the first part: the later files fail with the
// check's message, and none is written elsewhere or lost without a word.
TEST_F(ChunkedRunTest, DestinationLostBetweenPartsFailsTheRestLoudly) {
    const std::string dest = out_.file("out");
    Recorder reporter(dest + "/");
    reporter.onDone = [&](std::size_t index) {
        if (index == 1) {
            fs::rename(dest, out_.file("moved"));
            test::writeText(dest, "a file where the folder was");
        }
    };
    const ConversionOptions options = to(dest);
    ChunkedRun run(options, environment_, reporter, Translator{}, {}, 2);
    for (const SourceFile& file : files_) {
        ASSERT_TRUE(run.add(file));
    }
    const std::optional<RunSummary> summary = run.finish();
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->fileCount, files_.size());
    EXPECT_EQ(summary->failedCount, files_.size() - 2);
    ASSERT_EQ(reporter.done.size(), files_.size());
    for (std::size_t i = 2; i < files_.size(); ++i) {
        EXPECT_EQ(reporter.done[i].error, "Directory does not exist!") << i;
    }
    EXPECT_EQ(std::count(reporter.events.begin(), reporter.events.end(),
                         "warning Directory does not exist!"),
              3);  // once for each later part
    EXPECT_EQ(entries(out_.file("moved")), (std::vector<std::string>{"a (2).webp", "a.webp"}));
}

TEST_F(ChunkedRunTest, NoFileIsTheRunsWarning) {
    Recorder reporter("");
    const ConversionOptions options = to(kSameFolderAsOriginal);
    ChunkedRun run(options, environment_, reporter, Translator{});
    EXPECT_FALSE(run.finish());
    EXPECT_EQ(reporter.events, std::vector<std::string>{"warning No image files have been added!"});
}

}  // namespace
}  // namespace imbrix::convert
