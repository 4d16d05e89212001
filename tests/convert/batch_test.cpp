// The run's batch options: the folder tree kept under the destination, outputs
// that exist skipped, and the sources' file dates on the outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "convert/convertfile.h"
#include "convert/fakeconverter.h"
#include "convert/run.h"
#include "platform/files.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;
using test::corpusDir;

TEST(OutputFolder, KeepsTheTreeBelowTheBaseLexically) {
    struct Case {
        const char* path;
        const char* base;
        const char* destination;
        bool keep;
        const char* expected;
    };
    const Case cases[] = {
        {"/in/2023/x.jpg", "/in", "/out", true, "/out/2023/"},
        {"/in/x.jpg", "/in", "/out", true, "/out/"},
        {"/in/a/b/x.jpg", "/in/", "/out/", true, "/out/a/b/"},
        {"/in//a/./b/x.jpg", "/in/.", "/out", true, "/out/a/b/"},
        {"in/2023/x.jpg", "in", "/out", true, "/out/2023/"},
        {"./2023/x.jpg", ".", "/out", true, "/out/2023/"},
        {"/a/x.jpg", "/", "/out", true, "/out/a/"},
        // A link below the base is a folder name like any other: never resolved.
        {"/in/link-to-elsewhere/x.jpg", "/in", "/out", true, "/out/link-to-elsewhere/"},
        // Outside the base, or climbing out of it: the destination itself.
        {"/elsewhere/x.jpg", "/in", "/out", true, "/out/"},
        {"/input/x.jpg", "/in", "/out", true, "/out/"},
        {"/in/../etc/x.jpg", "/in", "/out", true, "/out/"},
        {"/in/a/../../x.jpg", "/in", "/out", true, "/out/"},
        {"/in/2023/x.jpg", "in", "/out", true, "/out/"},
        {"in/2023/x.jpg", "/in", "/out", true, "/out/"},
        {"/in/x.jpg", "/in/2023", "/out", true, "/out/"},
        // A file added on its own, the option off, or no destination folder.
        {"/in/2023/x.jpg", "", "/out", true, "/out/"},
        {"/in/2023/x.jpg", "/in", "/out", false, "/out/"},
        {"/in/2023/x.jpg", "/in", kSameFolderAsOriginal, true, "/in/2023/"},
    };
    for (const Case& c : cases) {
        ConversionOptions options;
        options.destination = c.destination;
        options.keepFolderStructure = c.keep;
        EXPECT_EQ(outputFolderFor(SourceFile{c.path, c.base}, options), c.expected)
            << c.path << " below " << c.base << " to " << c.destination;
    }
}

class RecordingReporter : public RunReporter {
public:
    void fileFailed(std::size_t index, const std::string& source,
                    const std::string& message) override {
        events.push_back("failed " + std::to_string(index) + " " + source + ": " + message);
    }
    void fileConverted(std::size_t index, const std::string& source,
                       const std::string& output) override {
        events.push_back("converted " + std::to_string(index) + " " + source + " -> " + output);
    }
    void fileSkipped(std::size_t index, const std::string& source,
                     const std::string& existing) override {
        events.push_back("skipped " + std::to_string(index) + " " + source + " -> " + existing);
    }
    void progress(const RunProgress& figures) override { progressSeen.push_back(figures); }

    std::vector<std::string> events;
    std::vector<RunProgress> progressSeen;
};

// Every file below `folder`, as paths relative to it, sorted.
std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_directory()) {
            names.push_back(fs::relative(entry.path(), folder).string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

platform::FileTime mtimeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        environment_.programFolder = "/nonexistent/";
        environment_.dataFolder = data_.path().string() + "/";
        environment_.converterPath = fake_.path();
        environment_.jobs = 2;
    }

    // A copy of a corpus file under the sources folder, as `name`.
    std::string source(const std::string& corpusFile, const std::string& name) {
        const fs::path target = sources_.path() / name;
        fs::create_directories(target.parent_path());
        fs::copy_file(corpusDir() / corpusFile, target);
        return target.string();
    }

    std::optional<RunSummary> run(const std::vector<SourceFile>& files,
                                  const ConversionOptions& options) {
        reporter_ = RecordingReporter();
        return runConversion(files, options, environment_, reporter_, {});
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

// Files of an added folder land in the same subfolders under the destination,
// made as needed; a name clash inside one subfolder is numbered there; files
// added alone or found outside their base go to the destination itself.
TEST_F(Batch, KeepsTheFolderTree) {
    const std::string in = sources_.file("in");
    const std::vector<SourceFile> files = {
        {source("photos/exif-orientation/f1-exif.jpg", "in/top.jpg"), in},
        {source("photos/exif-orientation/f6-exif.jpg", "in/2023/a.jpg"), in},
        {source("pngsuite/basn6a08.png", "in/2023/a.png"), in},
        {source("photos/camera/kde_Kite.jpg", "in/2023/deep/b.jpg"), in},
        {source("pngsuite/basn2c08.png", "alone.png"), ""},
        {source("pngsuite/basn2c08.png", "other/c.png"), in},
    };
    const fs::path dest = out_.path() / "tree";
    ConversionOptions options = to("WEBP", dest.string());
    options.keepFolderStructure = true;
    const std::optional<RunSummary> summary = run(files, options);
    ASSERT_TRUE(summary.has_value());
    const std::string d = dest.string() + "/";
    EXPECT_EQ(reporter_.events,
              (std::vector<std::string>{
                  "converted 0 " + files[0].path + " -> " + d + "top.webp",
                  "converted 1 " + files[1].path + " -> " + d + "2023/a.webp",
                  "converted 2 " + files[2].path + " -> " + d + "2023/a (2).webp",
                  "converted 3 " + files[3].path + " -> " + d + "2023/deep/b.webp",
                  "converted 4 " + files[4].path + " -> " + d + "alone.webp",
                  "converted 5 " + files[5].path + " -> " + d + "c.webp",
              }));
    // Nothing else: no temporary file in any of the folders.
    EXPECT_EQ(filesBelow(dest),
              (std::vector<std::string>{"2023/a (2).webp", "2023/a.webp", "2023/deep/b.webp",
                                        "alone.webp", "c.webp", "top.webp"}));
    // The subfolder's outputs are the right pictures: the sideways photo shown upright.
    for (const auto& [name, expected] :
         {std::pair{"2023/a.webp", "40 80"}, std::pair{"2023/a (2).webp", "32 32"}}) {
        std::string size;
        ASSERT_EQ(test::runCommand({"identify", "-format", "%w %h", d + name}, &size), 0) << size;
        EXPECT_EQ(size, expected) << name;
    }
}

// A subfolder that cannot be made fails its files, naming the folder; the run goes on.
TEST_F(Batch, SubfolderThatCannotBeMadeFailsItsFile) {
    const std::string in = sources_.file("in");
    const std::vector<SourceFile> files = {
        {source("pngsuite/basn2c08.png", "in/blocked/x.png"), in},
        {source("pngsuite/basn6a08.png", "in/fine/y.png"), in},
    };
    fs::create_directories(out_.path());
    test::writeText(out_.path() / "blocked", "a file where the subfolder would go");
    ConversionOptions options = to("JPG", out_.path().string());
    options.keepFolderStructure = true;
    const std::optional<RunSummary> summary = run(files, options);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->failedCount, 1u);
    ASSERT_EQ(reporter_.events.size(), 2u);
    const std::string d = out_.path().string() + "/";
    const std::string expected = "failed 0 " + files[0].path + ": File cannot be created: " + d +
                                 "blocked/x.jpg\nThe folder " + d + "blocked/ cannot be created: ";
    EXPECT_EQ(reporter_.events[0].substr(0, expected.size()), expected) << reporter_.events[0];
    EXPECT_GT(reporter_.events[0].size(), expected.size()) << "the system's reason is missing";
    EXPECT_EQ(reporter_.events[1], "converted 1 " + files[1].path + " -> " + d + "fine/y.jpg");
    EXPECT_EQ(filesBelow(out_.path()), (std::vector<std::string>{"blocked", "fine/y.jpg"}));
}

// Temporary files of a killed run are cleared from the subfolders the run writes
// to, and from no other folder.
TEST_F(Batch, StaleTemporariesOfTheSubfoldersWrittenTo) {
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    const std::string stale = ".x." + std::to_string(ended) + "-1.imbrix-tmp.png";
    for (const char* folder : {"2023", "untouched"}) {
        fs::create_directories(out_.path() / folder);
        test::writeText(out_.path() / folder / stale, "half");
    }
    const std::string in = sources_.file("in");
    ConversionOptions options = to("PNG", out_.path().string());
    options.keepFolderStructure = true;
    ASSERT_TRUE(run({{source("pngsuite/basn2c08.png", "in/2023/x.png"), in}}, options));
    EXPECT_EQ(filesBelow(out_.path()),
              (std::vector<std::string>{"2023/x.png", "untouched/" + stale}));
}

// Skip: a file whose output exists is not converted (not even read: a damaged
// source is skipped, not failed), is reported and counted as skipped, and adds
// nothing to the disk space figures. A second run writes nothing. AddNumber
// goes on numbering as before.
TEST_F(Batch, SkipExistingConvertsOnlyWhatIsMissing) {
    const std::vector<SourceFile> files = {
        {source("photos/exif-orientation/f1-exif.jpg", "a.jpg"), ""},
        {source("pngsuite/basn2c08.png", "b.png"), ""},
        {sources_.file("c.jpg"), ""},
    };
    test::writeText(files[2].path, "not a JPEG at all");
    const std::string d = out_.path().string() + "/";
    test::writeText(d + "c.webp", "OLD");
    ConversionOptions options = to("WEBP", out_.path().string());
    options.existingOutput = ExistingOutput::Skip;

    std::optional<RunSummary> summary = run(files, options);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(reporter_.events, (std::vector<std::string>{
                                    "converted 0 " + files[0].path + " -> " + d + "a.webp",
                                    "converted 1 " + files[1].path + " -> " + d + "b.webp",
                                    "skipped 2 " + files[2].path + " -> " + d + "c.webp",
                                }));
    EXPECT_EQ(summary->fileCount, 3u);
    EXPECT_EQ(summary->skippedCount, 1u);
    EXPECT_EQ(summary->failedCount, 0u);
    ASSERT_EQ(summary->files.size(), 3u);
    EXPECT_TRUE(summary->files[2].skipped);
    EXPECT_EQ(summary->files[2].output, d + "c.webp");
    EXPECT_EQ(summary->files[2].error, "");
    EXPECT_FALSE(summary->files[0].skipped);
    EXPECT_EQ(summary->inputTotal, static_cast<std::int64_t>(fs::file_size(files[0].path) +
                                                             fs::file_size(files[1].path)));
    EXPECT_EQ(summary->outputTotal,
              static_cast<std::int64_t>(fs::file_size(d + "a.webp") + fs::file_size(d + "b.webp")));
    ASSERT_EQ(reporter_.progressSeen.size(), 3u);
    EXPECT_EQ(reporter_.progressSeen[1].skipped, 0u);
    EXPECT_EQ(reporter_.progressSeen[2].skipped, 1u);
    EXPECT_EQ(reporter_.progressSeen[2].bytesIn, summary->inputTotal);

    const std::vector<std::uint8_t> a = test::readBytes(d + "a.webp");
    const platform::FileTime aTime = mtimeOf(d + "a.webp");
    summary = run(files, options);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->skippedCount, 3u);
    EXPECT_EQ(summary->failedCount, 0u);
    EXPECT_EQ(summary->processed, "3");
    EXPECT_EQ(summary->inputTotal, 0);
    EXPECT_EQ(summary->outputTotal, 0);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reporter_.events.at(i).rfind("skipped " + std::to_string(i), 0), 0u)
            << reporter_.events.at(i);
    }
    EXPECT_EQ(test::readBytes(d + "a.webp"), a);
    EXPECT_EQ(mtimeOf(d + "a.webp"), aTime);
    EXPECT_EQ(test::readBytes(d + "c.webp"), (std::vector<std::uint8_t>{'O', 'L', 'D'}));
    EXPECT_EQ(filesBelow(out_.path()), (std::vector<std::string>{"a.webp", "b.webp", "c.webp"}));

    options.existingOutput = ExistingOutput::AddNumber;
    summary = run(files, options);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->skippedCount, 0u);
    EXPECT_EQ(summary->failedCount, 1u);  // the damaged source, read this time
    EXPECT_EQ(filesBelow(out_.path()),
              (std::vector<std::string>{"a (2).webp", "a.webp", "b (2).webp", "b.webp", "c.webp"}));
}

// Two entries with one output name: the first takes it, the later one is
// skipped at the claim (in list order, however the workers finish), its output
// dropped and its source not counted.
TEST_F(Batch, SkipLaterEntryWithTheSameOutputName) {
    const std::vector<SourceFile> files = {
        {source("photos/exif-orientation/f1-exif.jpg", "x.jpg"), ""},
        {source("pngsuite/basn6a08.png", "x.png"), ""},
        {source("pngsuite/basn2c08.png", "sub/x.png"), ""},
    };
    const std::string d = out_.path().string() + "/";
    ConversionOptions options = to("PNG", out_.path().string());
    options.existingOutput = ExistingOutput::Skip;
    const std::optional<RunSummary> summary = run(files, options);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(reporter_.events, (std::vector<std::string>{
                                    "converted 0 " + files[0].path + " -> " + d + "x.png",
                                    "skipped 1 " + files[1].path + " -> " + d + "x.png",
                                    "skipped 2 " + files[2].path + " -> " + d + "x.png",
                                }));
    EXPECT_EQ(summary->skippedCount, 2u);
    EXPECT_EQ(summary->inputTotal, static_cast<std::int64_t>(fs::file_size(files[0].path)));
    EXPECT_EQ(summary->outputTotal, static_cast<std::int64_t>(fs::file_size(d + "x.png")));
    EXPECT_EQ(filesBelow(out_.path()), std::vector<std::string>{"x.png"});
    std::string size;
    ASSERT_EQ(test::runCommand({"identify", "-format", "%w %h", d + "x.png"}, &size), 0);
    EXPECT_EQ(size, "40 80");  // the first entry's picture

    // Both prepared before either is named: the claim decides.
    test::ScratchDir out;
    FileSettings settings;
    settings.format = "PNG";
    settings.existingOutput = ExistingOutput::Skip;
    settings.dataFolder = environment_.dataFolder;
    settings.converterPath = fake_.path();
    const std::string folder = out.path().string() + "/";
    PreparedFile first = prepareFile(files[0].path, folder, settings);
    PreparedFile second = prepareFile(files[1].path, folder, settings);
    ASSERT_TRUE(first.output && second.output);
    const FileOutcome named = finishFile(first);
    const FileOutcome dropped = finishFile(second);
    EXPECT_EQ(named.output, folder + "x.png");
    EXPECT_FALSE(named.skipped);
    EXPECT_TRUE(dropped.skipped);
    EXPECT_EQ(dropped.output, folder + "x.png");
    EXPECT_EQ(dropped.error, "");
    EXPECT_EQ(filesBelow(out.path()), std::vector<std::string>{"x.png"});  // no temporary left
}

// The outputs get their sources' modification times to the nanosecond, on our
// own encoders' routes and where the converter writes the output; without the
// option they keep the time they were written.
TEST_F(Batch, KeepFileDatesGivesOutputsTheSourcesTimes) {
    const std::vector<SourceFile> files = {
        {source("photos/exif-orientation/f1-exif.jpg", "a.jpg"), ""},
        {source("pngsuite/basn6a08.png", "b.png"), ""},
    };
    const platform::FileTime times[] = {{1'000'000'000, 123'456'789}, {1'500'000'000, 987'654'321}};
    for (std::size_t i = 0; i < files.size(); ++i) {
        const timespec set[2] = {{0, UTIME_OMIT},
                                 {static_cast<time_t>(times[i].seconds), times[i].nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, files[i].path.c_str(), set, 0), 0);
    }
    for (const char* format : {"PNG", "BMP"}) {  // BMP: the converter writes it
        SCOPED_TRACE(format);
        test::ScratchDir out;
        ConversionOptions options = to(format, out.path().string());
        options.keepFileDates = true;
        std::optional<RunSummary> summary = run(files, options);
        ASSERT_TRUE(summary.has_value());
        ASSERT_EQ(summary->failedCount, 0u) << reporter_.events.front();
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(mtimeOf(summary->files[i].output), times[i]) << summary->files[i].output;
        }
        options.keepFileDates = false;
        summary = run(files, options);
        ASSERT_TRUE(summary.has_value());
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_GT(mtimeOf(summary->files[i].output).seconds, times[1].seconds)
                << summary->files[i].output;
        }
    }
}

}  // namespace
}  // namespace imbrix::convert
