// The conversion run: its checks, names, totals, messages and safety, and the
// parallel run's equality with a one-at-a-time run.
#include "convert/run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stop_token>
#include <thread>

#include "common/testsupport.h"
#include "convert/fakeconverter.h"
#include "convert/outputformats.h"
#include "convert/runtexts.h"
#include "platform/files.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;
using test::corpusDir;

// Every report of the run, as one line each, in the order it came; the progress
// figures apart. `onEvent` sees each line as it is recorded.
class RecordingReporter : public RunReporter {
public:
    void status(const std::string& text) override { record("status " + text); }
    void fileFailed(std::size_t index, const std::string& source,
                    const std::string& message) override {
        record("failed " + std::to_string(index) + " " + source + ": " + message);
    }
    void fileConverted(std::size_t index, const std::string& source,
                       const std::string& output) override {
        record("converted " + std::to_string(index) + " " + source + " -> " + output);
    }
    void warning(const std::string& caption, const std::string& text, RunCheck check) override {
        events.push_back("warning " + caption + ": " + text + " #" +
                         std::to_string(static_cast<int>(check)));
    }
    void converterLog(const std::string& text) override { logs.push_back(text); }
    void progress(const RunProgress& figures) override { progressSeen.push_back(figures); }

    std::vector<std::string> events;
    std::vector<std::string> logs;
    std::vector<RunProgress> progressSeen;
    std::function<void(const std::string& event)> onEvent;

private:
    void record(std::string event) {
        events.push_back(event);
        if (onEvent)
            onEvent(event);
    }
};

// The last progress report agrees with the summary, and every report came after
// one more file.
void expectProgressMatches(const std::vector<RunProgress>& seen, const RunSummary& summary) {
    ASSERT_EQ(seen.size(), summary.fileCount);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].done, i + 1);
        EXPECT_EQ(seen[i].total, summary.listCount);
    }
    if (seen.empty())
        return;
    EXPECT_EQ(seen.back().failed, summary.failedCount);
    EXPECT_EQ(seen.back().bytesIn, summary.inputTotal);
    EXPECT_EQ(seen.back().bytesOut, summary.outputTotal);
}

// Names of the entries of a folder (files and folders), sorted.
std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Run : public ::testing::Test {
protected:
    void SetUp() override {
        environment_.programFolder = "/nonexistent/";
        environment_.dataFolder = data_.path().string() + "/";
        environment_.converterPath = fake_.path();
        environment_.jobs = 2;
    }

    // A copy of a corpus file in the sources folder, under `name`.
    std::string source(const std::string& corpusFile, const std::string& name) {
        const fs::path target = sources_.path() / name;
        fs::create_directories(target.parent_path());
        fs::copy_file(corpusDir() / corpusFile, target, fs::copy_options::overwrite_existing);
        return target.string();
    }

    std::optional<RunSummary> run(const std::vector<std::string>& files,
                                  const ConversionOptions& options,
                                  const Translator& translate = {}) {
        reporter_ = RecordingReporter();
        return runConversion(files, options, environment_, reporter_, translate);
    }

    ConversionOptions to(const std::string& format, const std::string& destination) const {
        ConversionOptions options;
        options.format = format;
        options.quality = 80;
        options.destination = destination;
        return options;
    }

    test::ScratchDir sources_, data_, out_;
    test::FakeConverter fake_;
    ConversionEnvironment environment_;
    RecordingReporter reporter_;
};

TEST_F(Run, ChecksBeforeAnythingIsConverted) {
    const std::string photo = source("pngsuite/basn6a08.png", "photo.png");
    const fs::path blocker = out_.path() / "file";
    test::writeText(blocker, "a file where a folder is asked for");
    fs::create_directories(out_.path() / "probed");
    test::writeText(out_.path() / "probed" / "chk.tmp", "");

    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::string destination;
        const char* warning;  // nullptr: the run goes on
    };
    const Case cases[] = {
        {"empty list",
         {},
         kSameFolderAsOriginal,
         "warning [WARNING]: [No image files have been added!] #0"},
        {"destination under a file",
         {photo},
         (blocker / "sub").string(),
         "warning [WARNING]: [Directory does not exist!] #1"},
        {"stale probe file",
         {photo},
         (out_.path() / "probed").string(),
         "warning [WARNING]: [Unable to write to directory!] #2"},
        {"missing folders are made", {photo}, (out_.path() / "new" / "deeper").string(), nullptr},
    };
    const Translator brackets = [](const std::string& text) { return "[" + text + "]"; };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<RunSummary> summary = run(c.files, to("PNG", c.destination), brackets);
        if (c.warning) {
            EXPECT_FALSE(summary.has_value());
            EXPECT_EQ(reporter_.events, std::vector<std::string>{c.warning});
        } else {
            ASSERT_TRUE(summary.has_value());
            EXPECT_EQ(entries(c.destination), std::vector<std::string>{"photo.png"});
        }
    }
    // The probe found its own "chk.tmp" there and left it alone; it never leaves one.
    EXPECT_EQ(entries(out_.path() / "probed"), std::vector<std::string>{"chk.tmp"});

    EXPECT_THROW(run({photo}, to("PNG", "")), RunError);
    EXPECT_THROW(run({photo}, to("png", kSameFolderAsOriginal)), std::invalid_argument);
    EXPECT_EQ(entries(sources_.path()), std::vector<std::string>{"photo.png"});
}

TEST_F(Run, FailedFileIsReportedAndTheRunGoesOn) {
    const std::vector<std::string> files = {
        source("photos/exif-orientation/f1-exif.jpg", "one.jpg"),
        source("pngsuite/basn6a08.png", "two.jpg"),  // a PNG named .jpg
        source("pngsuite/basn2c08.png", "three.png"),
    };
    const std::string dest = out_.path().string() + "/";
    const std::optional<RunSummary> summary = run(files, to("WEBP", dest));
    ASSERT_TRUE(summary.has_value());

    EXPECT_EQ(
        reporter_.events,
        (std::vector<std::string>{
            "status Converting " + files[0] + "...",
            "converted 0 " + files[0] + " -> " + dest + "one.webp",
            "status ",
            "status Converting " + files[1] + "...",
            "failed 1 " + files[1] + ": JPEG error #53\r\rUnknown file format, empty/damaged file!",
            "status ",
            "status Converting " + files[2] + "...",
            "converted 2 " + files[2] + " -> " + dest + "three.webp",
            "status ",
        }));
    EXPECT_EQ(summary->processed, "3");
    EXPECT_EQ(summary->fileCount, 3u);
    EXPECT_EQ(summary->listCount, 3u);
    EXPECT_FALSE(summary->stopped);
    EXPECT_EQ(summary->failedCount, 1u);
    expectProgressMatches(reporter_.progressSeen, *summary);
    ASSERT_EQ(reporter_.progressSeen.size(), 3u);
    EXPECT_EQ(reporter_.progressSeen[0].failed, 0u);
    EXPECT_EQ(reporter_.progressSeen[1].failed, 1u);
    EXPECT_EQ(reporter_.progressSeen[1].bytesOut, reporter_.progressSeen[0].bytesOut);
    // The failed file's source counts; it has no output.
    std::int64_t input = 0;
    for (const std::string& file : files) {
        input += static_cast<std::int64_t>(fs::file_size(file));
    }
    const std::int64_t output = static_cast<std::int64_t>(fs::file_size(dest + "one.webp") +
                                                          fs::file_size(dest + "three.webp"));
    EXPECT_EQ(summary->inputTotal, input);
    EXPECT_EQ(summary->outputTotal, output);
    EXPECT_EQ(summary->difference, input - output);
    const DiskSpaceText disk = diskSpaceText(input, output);
    EXPECT_EQ(summary->diskSpaceCaption, disk.caption);
    EXPECT_EQ(summary->diskSpaceValue, disk.value);
    EXPECT_EQ(summary->elapsed, TimeText(summary->elapsedMs));
    ASSERT_EQ(summary->files.size(), 3u);
    EXPECT_EQ(summary->files[1].output, "");
    EXPECT_EQ(entries(out_.path()), (std::vector<std::string>{"one.webp", "three.webp"}));
}

TEST_F(Run, OutputNamesNeverOverwrite) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> sources;  // corpus file, name
        const char* format;
        bool sameFolder;
        int runs;
        std::vector<std::string> expected;  // the folder's entries afterwards
    };
    const Case cases[] = {
        {"own format in its own folder",
         {{"pngsuite/basn6a08.png", "photo.png"}},
         "PNG",
         true,
         2,
         {"photo (2).png", "photo (3).png"}},
        {"same name from two sources, in list order",
         {{"photos/exif-orientation/f1-exif.jpg", "a.jpg"}, {"pngsuite/basn6a08.png", "a.png"}},
         "WEBP",
         false,
         1,
         {"a (2).webp", "a.webp"}},
        {"the same file twice",
         {{"pngsuite/basn2c08.png", "b.png"}, {"pngsuite/basn2c08.png", "b.png"}},
         "JPG",
         false,
         1,
         {"b (2).jpg", "b.jpg"}},
        {"jfif keeps its extension",
         {{"photos/exif-orientation/f3-exif.jpg", "c.jfif"}},
         "JFIF",
         true,
         1,
         {"c (2).jfif"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchDir folder;
        std::vector<std::string> files;
        for (const auto& [from, name] : c.sources) {
            files.push_back(folder.file(name));
            if (!fs::exists(files.back())) {
                fs::copy_file(corpusDir() / from, files.back());
            }
        }
        const std::string dest = c.sameFolder ? kSameFolderAsOriginal : out_.path().string();
        for (int i = 0; i < c.runs; ++i) {
            ASSERT_TRUE(run(files, to(c.format, dest)).has_value());
            for (const std::string& event : reporter_.events) {
                EXPECT_EQ(event.rfind("failed", 0), std::string::npos) << event;
            }
        }
        // The outputs: everything in the folder but the sources.
        std::vector<std::string> written = entries(c.sameFolder ? folder.path() : out_.path());
        std::erase_if(written, [&](const std::string& name) {
            return std::any_of(c.sources.begin(), c.sources.end(),
                               [&](const auto& s) { return name == s.second; });
        });
        EXPECT_EQ(written, c.expected);
        for (const auto& entry : fs::directory_iterator(out_.path())) {
            fs::remove(entry.path());
        }
    }
}

// Two runs at once into one folder, as two instances of the program may do:
// every output gets a name of its own and none replaces another. (Beside the
// sources: a destination folder would be probed by both runs at once, and the
// probe's fixed name fails one of them.)
TEST_F(Run, ConcurrentRunsClaimDistinctNames) {
    const std::string photo = source("pngsuite/basn6a08.png", "x.png");
    const std::vector<std::string> files(6, photo);
    std::optional<RunSummary> first, second;
    RecordingReporter otherReporter;
    std::thread other([&] {
        first =
            runConversion(files, to("PNG", kSameFolderAsOriginal), environment_, otherReporter, {});
    });
    second = run(files, to("PNG", kSameFolderAsOriginal));
    other.join();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->failedCount + second->failedCount, 0u);

    std::vector<std::string> expected = {"x.png"};
    for (int n = 2; n <= 13; ++n) {
        expected.push_back("x (" + std::to_string(n) + ").png");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(sources_.path()), expected);
    const std::vector<std::uint8_t> reference = test::readBytes(sources_.path() / "x (2).png");
    for (const std::string& name : expected) {
        if (name != "x.png") {
            EXPECT_EQ(test::readBytes(sources_.path() / name), reference) << name;
        }
    }
}

// A run killed with SIGKILL leaves its temporary files behind: the next run into
// the same folders (the destination, each source's folder, the data folder)
// removes them, and never the files of a run that goes on in another process.
TEST_F(Run, TemporariesOfEndedRunsAreRemovedThoseOfLiveRunsKept) {
    const std::string photo = source("pngsuite/basn6a08.png", "photo.png");
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    // Another run of this program, holding a temporary file in each folder.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t live = ::fork();
    ASSERT_GE(live, 0);
    if (live == 0) {
        {
            platform::TempFile a(out_.path().string(), "other", ".png");
            platform::TempFile b(data_.path().string(), "decode", ".png");
            platform::TempFile c(sources_.path().string(), "other", ".png");
            [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
            ::pause();
        }
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    auto temporaries = [](const fs::path& folder) {
        std::vector<std::string> names;
        for (const std::string& name : entries(folder)) {
            if (platform::tempFileTarget(name)) {
                names.push_back(name);
            }
        }
        return names;
    };
    const std::vector<std::string> liveOut = temporaries(out_.path());
    ASSERT_EQ(liveOut.size(), 1u);
    const std::string stale = ".photo." + std::to_string(ended) + "-3.imbrix-tmp.png";
    for (const fs::path& folder : {out_.path(), data_.path(), sources_.path()}) {
        test::writeText(folder / stale, "half");
    }

    ASSERT_TRUE(run({photo}, to("PNG", out_.path().string())).has_value());
    EXPECT_EQ(temporaries(out_.path()), liveOut);
    EXPECT_EQ(temporaries(data_.path()).size(), 1u);
    EXPECT_NE(temporaries(data_.path()).at(0), stale);
    // The source's folder is no folder of this run: nothing there is touched.
    EXPECT_EQ(temporaries(sources_.path()).size(), 2u);

    ASSERT_TRUE(run({photo}, to("JPG", kSameFolderAsOriginal)).has_value());
    EXPECT_EQ(temporaries(sources_.path()).size(), 1u);
    EXPECT_NE(temporaries(sources_.path()).at(0), stale);
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);
}

// What the converter leaves behind decides the outcome, never the previous file's
// picture, and no temporary file survives any way out.
TEST_F(Run, ConverterFailuresFailTheFileAndLeaveNothing) {
    // The fake converter renders "bad*" sources from this unreadable "PNG".
    test::writeText(fake_.folder() / "bad.png", "not a PNG at all");
    const std::string photo = source("photos/exif-orientation/f1-exif.jpg", "photo.jpg");
    const std::string heic = source("heic/derived/picosdeeuropa_q80.heic", "pic.heic");
    const std::string badHeic = source("heic/derived/picosdeeuropa_q80.heic", "bad.heic");
    const std::string dest = out_.path().string() + "/";
    const std::string dataFolder = environment_.dataFolder;

    struct Case {
        const char* name;
        const char* converterSwitch;  // "fail", "silent", "unreadable" or none
        bool converterInstalled;
        std::vector<std::string> files;
        const char* format;
        std::vector<std::string> messages;  // per file: "" for success, else its start
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"converter writes nothing",
         "silent",
         true,
         {photo},
         "PDF",
         {"File cannot be created: " + dest + "photo.pdf"},
         {}},
        {"converter fails after a partial write",
         "fail",
         true,
         {photo},
         "AVIF",
         {"File cannot be created: " + dest +
          "photo.avif\nmagick: no encode delegate for this image format"},
         {}},
        {"converter missing",
         nullptr,
         false,
         {photo, heic},
         "ICO",
         {"The converter program cannot be found: " + dataFolder + "magick",
          "The converter program cannot be found: " + dataFolder + "magick"},
         {}},
        {"decode gives no PNG after a good file",
         "silent",
         true,
         {photo, heic},
         "PNG",
         {"", "File cannot be read: " + heic},
         {"photo.png"}},
        {"converter cannot read the source it writes from",
         "unreadable",
         true,
         {photo},
         "AVIF",
         {"File cannot be read: " + photo + "\nthe file is truncated"},
         {}},
        {"converter cannot read the source it decodes",
         "unreadable",
         true,
         {heic},
         "PNG",
         {"File cannot be read: " + heic + "\nthe file is truncated"},
         {}},
        {"decoded PNG is unreadable",
         nullptr,
         true,
         {badHeic, heic},
         "TIFF",
         {"*", ""},
         {"pic.tiff"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* name : {"fail", "silent", "unreadable"}) {
            fake_.set(name, c.converterSwitch && std::string(name) == c.converterSwitch);
        }
        environment_.converterPath = c.converterInstalled ? fake_.path() : dataFolder + "magick";
        const std::optional<RunSummary> summary = run(c.files, to(c.format, dest));
        ASSERT_TRUE(summary.has_value());
        ASSERT_EQ(summary->files.size(), c.messages.size());
        for (std::size_t i = 0; i < c.messages.size(); ++i) {
            const std::string& error = summary->files[i].error;
            if (c.messages[i].empty()) {
                EXPECT_EQ(error, "") << i;
            } else if (c.messages[i] == "*") {  // the decoder's own message
                EXPECT_NE(error, "") << i;
                EXPECT_EQ(summary->files[i].output, "") << i;
            } else {
                EXPECT_EQ(error.rfind(c.messages[i], 0), 0u) << i << ": " << error;
                EXPECT_EQ(summary->files[i].output, "") << i;
                // No message names a file of the program's own.
                EXPECT_EQ(error.find(".imbrix-tmp"), std::string::npos) << error;
            }
        }
        std::vector<std::string> written = c.written;
        std::sort(written.begin(), written.end());
        EXPECT_EQ(entries(out_.path()), written);
        EXPECT_TRUE(fs::is_empty(data_.path()));
        if (!c.converterInstalled) {
            EXPECT_TRUE(reporter_.logs.empty());
        }
        for (const auto& entry : fs::directory_iterator(out_.path())) {
            fs::remove(entry.path());
        }
    }
}

TEST_F(Run, ConverterLogsComeInCallOrder) {
    const std::string psd = source("psd/psd.psd", "layers.psd");
    ASSERT_TRUE(run({psd}, to("GIF", out_.path().string())).has_value());
    ASSERT_EQ(reporter_.logs.size(), 2u);
    const std::string& decode = reporter_.logs[0];
    const std::string& output = reporter_.logs[1];
    EXPECT_EQ(decode.rfind("magick \"" + psd + "\" -flatten \"" + environment_.dataFolder, 0), 0u)
        << decode;
    // The output is written under a temporary name in the destination folder first.
    const std::string head =
        "magick \"" + psd + "\" -auto-orient -quality 80 \"" + out_.path().string() + "/";
    const std::string tail =
        ".gif\"\nCommencing processing...\nProcessing completed successfully.\n" +
        std::string(34, '*') + "\n\n";
    EXPECT_EQ(output.rfind(head, 0), 0u) << output;
    ASSERT_GE(output.size(), tail.size());
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail) << output;
    EXPECT_EQ(entries(out_.path()), std::vector<std::string>{"layers.gif"});
}

// Ten files through the converter, which dawdles after writing each: when the
// run ends early the workers are still busy with the files after the first.
class EarlyEnd : public Run {
protected:
    void SetUp() override {
        Run::SetUp();
        fake_.set("slow", true);
        environment_.jobs = 1;  // so at most 3 files are converted ahead of the named one
        for (int i = 0; i < 10; ++i) {
            files_.push_back(source("pngsuite/basn6a08.png", "f" + std::to_string(i) + ".png"));
        }
    }

    // The sources the converter was started for.
    std::set<std::string> started() const {
        std::set<std::string> sources;
        for (const auto& words : fake_.calls()) {
            if (!words.empty())
                sources.insert(words[0]);
        }
        return sources;
    }

    // Only the first file's output is in the destination, and nothing at all is
    // left in the data folder.
    void expectOnlyTheFirstOutput() const {
        EXPECT_EQ(entries(out_.path()), std::vector<std::string>{"f0.gif"});
        EXPECT_TRUE(fs::is_empty(data_.path()));
    }

    std::vector<std::string> files_;
};

TEST_F(EarlyEnd, AStopStartsNoFurtherFileAndReportsWhatWasDone) {
    struct Case {
        const char* name;
        std::string stopAt;             // the report during which the stop is requested
        std::vector<std::string> tail;  // the reports after the first file's
    };
    const std::string dest = out_.path().string() + "/";
    const Case cases[] = {
        {"after the first file is reported",
         "converted 0 " + files_[0] + " -> " + dest + "f0.gif",
         {}},
        // The run waits for the second file's converter when the stop comes.
        {"while the second file is awaited",
         "status Converting " + files_[1] + "...",
         {"status Converting " + files_[1] + "...", "status "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_.clearCalls();
        std::stop_source stop;
        RecordingReporter reporter;
        reporter.onEvent = [&](const std::string& event) {
            if (event == c.stopAt)
                stop.request_stop();
        };
        const std::optional<RunSummary> summary =
            runConversion(files_, to("GIF", dest), environment_, reporter, {}, stop.get_token());

        ASSERT_TRUE(summary.has_value());
        EXPECT_TRUE(summary->stopped);
        EXPECT_EQ(summary->fileCount, 1u);
        EXPECT_EQ(summary->processed, "1");
        EXPECT_EQ(summary->listCount, 10u);
        ASSERT_EQ(summary->files.size(), 1u);
        EXPECT_EQ(summary->files[0].output, dest + "f0.gif");
        EXPECT_EQ(summary->inputTotal, static_cast<std::int64_t>(fs::file_size(files_[0])));
        EXPECT_EQ(summary->outputTotal, static_cast<std::int64_t>(fs::file_size(dest + "f0.gif")));
        expectProgressMatches(reporter.progressSeen, *summary);
        std::vector<std::string> expected = {
            "status Converting " + files_[0] + "...",
            "converted 0 " + files_[0] + " -> " + dest + "f0.gif",
            "status ",
        };
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(reporter.events, expected);
        // The workers never went past the files ahead of the first one.
        const std::set<std::string> converted = started();
        EXPECT_LE(converted.size(), 4u);
        EXPECT_EQ(converted.count(files_[4]), 0u);
        EXPECT_EQ(converted.count(files_[9]), 0u);
        expectOnlyTheFirstOutput();
        fs::remove(dest + "f0.gif");
    }
}

TEST_F(EarlyEnd, AReporterThatThrowsEndsTheRunWithItsException) {
    struct Refused : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    RecordingReporter reporter;
    reporter.onEvent = [](const std::string& event) {
        if (event.rfind("converted 0 ", 0) == 0)
            throw Refused("the window is gone");
    };
    try {
        runConversion(files_, to("GIF", out_.path().string()), environment_, reporter, {});
        ADD_FAILURE() << "the run went on";
    } catch (const Refused& e) {
        EXPECT_STREQ(e.what(), "the window is gone");
    }
    // The workers were joined before the exception left the run: whatever they
    // had converted ahead is gone, and no converter is still writing.
    EXPECT_LE(started().size(), 4u);
    expectOnlyTheFirstOutput();
    EXPECT_TRUE(reporter.progressSeen.empty());
}

// Several workers give exactly what one gives: names, bytes, reports and their order.
TEST_F(Run, ParallelRunEqualsOneAtATime) {
    fake_.set("slow", true);  // converter calls finish late, out of step with the others
    std::vector<std::string> files = {
        source("photos/camera/mate_FreshFlower.jpg",
               "p/photo.jpg"),  // large: later ones finish first
        source("pngsuite/basn6a08.png", "p/photo.png"),
        source("broken/misc/truncated.jpg", "p/cut.jpg"),
        source("pngsuite/basn2c08.png", "p/fake.jpg"),
        source("heic/derived/picosdeeuropa_q80.heic", "p/photo.heic"),
        source("gif/still/not_kitty.gif", "p/kitty.gif"),
        source("webp/misc/not_kitty.webp", "p/kitty.webp"),
        source("tiff/misc/not_kitty.tiff", "p/kitty.tiff"),
        sources_.file("p/missing.png"),
        source("photos/exif-orientation/f6-exif.jpg", "p/photo.jfif"),
    };
    files.push_back(files[1]);
    files.push_back(files[0]);

    for (const char* format : {"WEBP", "PNG", "TIFF", "GIF"}) {
        SCOPED_TRACE(format);
        std::map<unsigned, std::vector<std::string>> events;
        std::map<unsigned, std::map<std::string, std::vector<std::uint8_t>>> outputs;
        for (unsigned jobs : {1u, 4u}) {
            test::ScratchDir dest;
            environment_.jobs = jobs;
            ASSERT_TRUE(run(files, to(format, dest.path().string())).has_value());
            for (std::string event : reporter_.events) {
                // The destination folder differs between the runs; nothing else may.
                const std::size_t at = event.find(dest.path().string());
                if (at != std::string::npos) {
                    event.replace(at, dest.path().string().size(), "<dest>");
                }
                events[jobs].push_back(event);
            }
            for (const std::string& name : entries(dest.path())) {
                outputs[jobs][name] = test::readBytes(dest.path() / name);
            }
        }
        EXPECT_EQ(events[1], events[4]);
        EXPECT_EQ(outputs[1], outputs[4]);
        std::size_t failures = 0;
        for (const std::string& event : events[1]) {
            failures += event.rfind("failed", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(failures, 3u);  // cut.jpg, fake.jpg, missing.png
        EXPECT_EQ(outputs[1].size(), files.size() - 3);
    }
}

}  // namespace
}  // namespace imbrix::convert
