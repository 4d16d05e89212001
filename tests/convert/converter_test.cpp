// The external converter: its command lines, how it is started, its log.
#include "convert/converter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/testsupport.h"
#include "convert/fakeconverter.h"

namespace imbrix::convert {
namespace {

using Words = std::vector<std::string>;

TEST(ConverterCommands, WordsAndLoggedLine) {
    struct Case {
        const char* name;
        ConverterCommand command;
        Words argv;
        std::string logLine;
    };
    const std::string cwd = std::filesystem::current_path().string() + "/";
    const std::string magick = "/opt/imbrix/imagemagick/magick";
    const Case cases[] = {
        {"decode",
         ImageMagickIleDonustur(magick, "/p/a b.avif", "/d/t.png"),
         {magick, "/p/a b.avif", "/d/t.png"},
         R"(magick "/p/a b.avif" "/d/t.png")"},
        {"decode psd flattens",
         ImageMagickIleDonustur(magick, "/p/layers.PSD", "/d/t.png"),
         {magick, "/p/layers.PSD", "-flatten", "/d/t.png"},
         R"(magick "/p/layers.PSD" -flatten "/d/t.png")"},
        {"output",
         ImageMagickIleAVIFDonustur(magick, "/p/x.psd", "/o/x.avif", {80, false, false, {}}),
         {magick, "/p/x.psd", "-auto-orient", "-quality", "80", "/o/x.avif"},
         R"(magick "/p/x.psd" -auto-orient -quality 80 "/o/x.avif")"},
        {"output gray",
         ImageMagickIleAVIFDonustur(magick, "/p/x.jpg", "/o/x.pdf", {7, true, false, {}}),
         {magick, "/p/x.jpg", "-auto-orient", "-colorspace", "Gray", "-quality", "7", "/o/x.pdf"},
         R"(magick "/p/x.jpg" -auto-orient -colorspace Gray -quality 7 "/o/x.pdf")"},
        {"gif",
         ImageMagickIleGIFDonustur(magick, "/p/a.gif", "/o/a.webp", {}),
         {magick, "/p/a.gif", "-auto-orient", "-coalesce", "/o/a.webp"},
         R"(magick "/p/a.gif" -auto-orient -coalesce "/o/a.webp")"},
        {"gif gray",
         ImageMagickIleGIFDonustur(magick, "/p/a.gif", "/o/a.webp", {100, true, false, {}}),
         {magick, "-colorspace", "Gray", "/p/a.gif", "-auto-orient", "-coalesce", "/o/a.webp"},
         R"(magick -colorspace Gray "/p/a.gif" -auto-orient -coalesce "/o/a.webp")"},
        // Without metadata: ImageMagick's "remove every profile but the colour one"
        // right before the output.
        {"output strip",
         ImageMagickIleAVIFDonustur(magick, "/p/x.jpg", "/o/x.jxl", {90, true, true, {}}),
         {magick, "/p/x.jpg", "-auto-orient", "-colorspace", "Gray", "-quality", "90", "+profile",
          "!icc,*", "/o/x.jxl"},
         R"(magick "/p/x.jpg" -auto-orient -colorspace Gray -quality 90 +profile "!icc,*" "/o/x.jxl")"},
        {"gif strip",
         ImageMagickIleGIFDonustur(magick, "/p/a.gif", "/o/a.webp", {100, false, true, {}}),
         {magick, "/p/a.gif", "-auto-orient", "-coalesce", "+profile", "!icc,*", "/o/a.webp"},
         R"(magick "/p/a.gif" -auto-orient -coalesce +profile "!icc,*" "/o/a.webp")"},
        // A resize works on the upright picture (every frame of an animation);
        // the log quotes the geometry, whose '>' a shell would take.
        {"output resize",
         ImageMagickIleAVIFDonustur(
             magick, "/p/x.jpg", "/o/x.avif",
             {80, true, false, {imaging::ResizeMode::Fit, 1024, 768, 0, 0, false}}),
         {magick, "/p/x.jpg", "-auto-orient", "-resize", "1024x768>", "-colorspace", "Gray",
          "-quality", "80", "/o/x.avif"},
         R"(magick "/p/x.jpg" -auto-orient -resize "1024x768>" -colorspace Gray -quality 80 "/o/x.avif")"},
        {"gif resize",
         ImageMagickIleGIFDonustur(
             magick, "/p/a.gif", "/o/a.webp",
             {100, false, true, {imaging::ResizeMode::Percent, 0, 0, 0, 150, true}}),
         {magick, "/p/a.gif", "-auto-orient", "-coalesce", "-resize", "150%", "+profile", "!icc,*",
          "/o/a.webp"},
         R"(magick "/p/a.gif" -auto-orient -coalesce -resize "150%" +profile "!icc,*" "/o/a.webp")"},
        // The converter runs in its own folder: a relative name is made absolute,
        // which also keeps one that looks like an option or a "format:" prefix a file name.
        {"relative",
         ImageMagickIleAVIFDonustur(magick, "-x.jpg", "msl:o.gif", {5, false, false, {}}),
         {magick, cwd + "-x.jpg", "-auto-orient", "-quality", "5", cwd + "msl:o.gif"},
         "magick \"" + cwd + "-x.jpg\" -auto-orient -quality 5 \"" + cwd + "msl:o.gif\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.command.argv, c.argv) << c.name;
        EXPECT_EQ(c.command.logLine, c.logLine) << c.name;
    }
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

TEST(RunConsoleCommand, LogOfAQuietConverter) {
    test::ScratchDir dir;
    const std::string tool = dir.file("magick");
    test::writeText(tool, "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);

    const ConsoleResult result =
        RunConsoleCommand(ImageMagickIleDonustur(tool, "/p/a.tga", "/d/t.png"), dir.path());
    EXPECT_TRUE(result.ran);
    EXPECT_TRUE(result.succeeded);
    EXPECT_EQ(lines(result.log),
              (Words{R"(magick "/p/a.tga" "/d/t.png")", "Commencing processing...",
                     "Processing completed successfully.", std::string(34, '*'), ""}));
    EXPECT_EQ(result.lastErrorLine, "");
}

TEST(RunConsoleCommand, OutputGoesIntoTheLogAndTheLastLineExplainsAFailure) {
    test::ScratchDir dir;
    const std::string tool = dir.file("magick");
    // Prints without a final line break, on both streams; exits with an error.
    test::writeText(tool,
                    "#!/bin/sh\necho working\necho 'magick: improper image header' >&2\n"
                    "printf '  \\n'\nexit 1\n");
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);

    const ConsoleResult result =
        RunConsoleCommand(ImageMagickIleDonustur(tool, "/p/a.tga", "/d/t.png"), dir.path());
    EXPECT_TRUE(result.ran);
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.lastErrorLine, "magick: improper image header");
    const Words logLines = lines(result.log);
    ASSERT_GE(logLines.size(), 7u);
    EXPECT_EQ(logLines[1], "Commencing processing...");
    EXPECT_EQ(logLines[2], "working");
    EXPECT_EQ(logLines[logLines.size() - 3], "Processing completed successfully.");
}

TEST(RunConsoleCommand, MissingConverterDoesNothing) {
    test::ScratchDir dir;
    const ConsoleResult result =
        RunConsoleCommand(ImageMagickIleAVIFDonustur(dir.file("magick"), "/p/a.jpg",
                                                     dir.file("a.pdf"), {80, false, false, {}}),
                          dir.path());
    EXPECT_FALSE(result.ran);
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.log, "");
    EXPECT_EQ(result.lastErrorLine, "The converter program cannot be found: " + dir.file("magick"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.pdf")));
}

// How a failure reads, by the converter's exit status: 3 says the source cannot
// be read (the reason alone is kept), any other the last line as it is; a
// converter that cannot be started is named, with the reason.
TEST(RunConsoleCommand, FailuresSayWhatFailed) {
    struct Case {
        const char* name;
        std::string script;  // empty: a converter that is there but cannot be run
        bool sourceUnreadable;
        std::string lastErrorLine;
    };
    const Case cases[] = {
        {"source unreadable",
         "echo 'magick: cannot read '\"$1\"': the file is truncated' >&2; exit 3", true,
         "the file is truncated"},
        {"unreadable, relative path made absolute",
         "echo \"magick: cannot read $1: not a regular file\" >&2; exit 3", true,
         "not a regular file"},
        {"unreadable, another path", "echo 'magick: cannot read /x.png: empty' >&2; exit 3", true,
         "magick: cannot read /x.png: empty"},
        {"conversion failed", "echo 'magick: cannot read /p: no' >&2; exit 1", false,
         "magick: cannot read /p: no"},
        {"cannot be started", "", false, "The converter program cannot be started: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchDir dir;
        const std::string tool = dir.file("magick");
        test::writeText(tool, "#!/bin/sh\n" + c.script + "\n");
        if (!c.script.empty()) {
            std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
        }
        const ConsoleResult result = RunConsoleCommand(
            ImageMagickIleDonustur(tool, "in dir/a b.tga", dir.file("t.png")), dir.path());
        EXPECT_EQ(result.ran, true);
        EXPECT_EQ(result.started, !c.script.empty());
        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(result.sourceUnreadable, c.sourceUnreadable);
        if (c.script.empty()) {
            EXPECT_EQ(result.lastErrorLine, c.lastErrorLine + tool + "\nPermission denied");
        } else {
            EXPECT_EQ(result.lastErrorLine, c.lastErrorLine);
        }
    }
}

TEST(RunConsoleCommand, FileNamesReachTheConverterAsTheyAreAndRunNothing) {
    test::FakeConverter fake;
    test::ScratchDir dir;
    const std::string hostile =
        dir.file("it's \"$(touch PWNED)\" `touch PWNED2`; touch PWNED3.gif");
    const std::string output = dir.file("out $(touch PWNED4).webp");
    const ConsoleResult result = RunConsoleCommand(
        ImageMagickIleGIFDonustur(fake.path(), hostile, output, {}), fake.folder());
    EXPECT_TRUE(result.succeeded);
    ASSERT_EQ(fake.calls().size(), 1u);
    EXPECT_EQ(fake.calls()[0], (Words{hostile, "-auto-orient", "-coalesce", output}));
    EXPECT_TRUE(std::filesystem::exists(output));
    for (const auto& folder : {dir.path(), fake.folder(), std::filesystem::current_path()}) {
        for (const char* name : {"PWNED", "PWNED2", "PWNED3", "PWNED3.gif", "PWNED4"}) {
            EXPECT_FALSE(std::filesystem::exists(folder / name)) << folder / name;
        }
    }
}

// Gone, or a zombie nobody has reaped yet: either way it runs no more. A killed
// process is gone a moment after kill() returns, so this looks for a while.
bool endsSoon(pid_t pid) {
    using namespace std::chrono_literals;
    const auto until = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            return true;
        }
        const std::size_t close = line.rfind(')');
        if (close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z') {
            return true;
        }
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// A converter that hangs after starting a helper that hangs too: the deadline
// or a stop request ends both, and the last error line says which.
TEST(RunConsoleCommand, HungConverterIsEndedWithItsHelpers) {
    using namespace std::chrono_literals;
    struct Case {
        const char* name;
        std::chrono::milliseconds deadline;
        bool stop;
        std::string lastErrorLine;
    };
    const Case cases[] = {
        {"deadline", 1000ms, false, "The converter did not finish within 1 second"},
        {"stop", 0ms, true, "The conversion was stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchDir dir;
        const std::string tool = dir.file("magick");
        test::writeText(tool, "#!/bin/sh\nsleep 300 &\necho $! > \"" + dir.file("helper.pid") +
                                  "\"\necho working\nsleep 300\n");
        std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
        std::stop_source stop;
        if (c.stop) {
            stop.request_stop();
        }
        const auto start = std::chrono::steady_clock::now();
        const ConsoleResult result =
            RunConsoleCommand(ImageMagickIleDonustur(tool, "/p/a.tga", "/d/t.png"), dir.path(),
                              ConverterLimits{c.deadline, stop.get_token()});
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(result.ran);
        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(result.timedOut, !c.stop);
        EXPECT_EQ(result.stopped, c.stop);
        EXPECT_EQ(result.lastErrorLine, c.lastErrorLine);
        EXPECT_LT(elapsed, c.deadline + 2s + 1500ms);
        const Words logLines = lines(result.log);
        ASSERT_GE(logLines.size(), 2u);
        EXPECT_EQ(logLines[0], R"(magick "/p/a.tga" "/d/t.png")");
        EXPECT_EQ(logLines[1], "Commencing processing...");
        if (!c.stop) {
            // Everything printed before the deadline is in the log; the helper's
            // pid was written before that line.
            ASSERT_GE(logLines.size(), 3u);
            EXPECT_EQ(logLines[2], "working");
            std::ifstream pidFile(dir.file("helper.pid"));
            pid_t helper = 0;
            ASSERT_TRUE(pidFile >> helper);
            EXPECT_TRUE(endsSoon(helper));
        }
    }
}

}  // namespace
}  // namespace imbrix::convert
