// Starting programs: arguments, output, exit status, start failures.
#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/testsupport.h"

using imbrix::test::ScratchDir;

namespace imbrix::platform {
namespace {

struct Captured {
    ProcessResult result;
    std::string output;
    int chunks = 0;
};

Captured run(const std::vector<std::string>& argv, const std::string& folder = {}) {
    Captured r;
    r.result = runProcess(argv, folder, [&](std::string_view chunk) {
        r.output.append(chunk);
        ++r.chunks;
    });
    return r;
}

TEST(RunProcess, CapturesStdoutAndStderrInOneStream) {
    const Captured r = run({"/bin/sh", "-c", "echo out; echo err >&2; echo again"});
    ASSERT_TRUE(r.result.started) << r.result.startError;
    EXPECT_EQ(r.result.exitCode, 0);
    EXPECT_EQ(r.output, "out\nerr\nagain\n");
}

TEST(RunProcess, ExitCodesAndSignals) {
    struct Case {
        const char* script;
        int exitCode;
    };
    const Case cases[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -TERM $$", 128 + 15},
        {"kill -KILL $$", 128 + 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const Captured r = run({"/bin/sh", "-c", c.script});
        EXPECT_TRUE(r.result.started);
        EXPECT_EQ(r.result.exitCode, c.exitCode);
    }
}

TEST(RunProcess, MissingProgramIsAStartError) {
    const Captured r = run({"/nonexistent/magick", "in.png", "out.png"});
    EXPECT_FALSE(r.result.started);
    EXPECT_EQ(r.result.startError, "cannot start /nonexistent/magick: No such file or directory");
    EXPECT_TRUE(r.output.empty());

    // argv[0] is a path: a bare name is not looked up in PATH.
    const Captured bare = run({"sh", "-c", "exit 0"});
    EXPECT_FALSE(bare.result.started);

    ScratchDir dir;
    const Captured badFolder = run({"/bin/true"}, dir.file("missing"));
    EXPECT_FALSE(badFolder.result.started);
    EXPECT_NE(badFolder.result.startError.find("No such file or directory"), std::string::npos);
}

// Each argument reaches the program as one word, never read by a shell.
TEST(RunProcess, ArgumentsAreNeverInterpreted) {
    ScratchDir dir;
    const std::string marker = dir.file("pwned");
    const std::vector<std::string> awkward = {
        "my photo.jpg",
        "quote\"d 'name'.png",
        "$(touch " + marker + ").png",
        "a; touch " + marker + "; b.png",
        "`touch " + marker + "`",
        "back\\slash|pipe>redir<in&amp*.png",
        "",
        "new\nline.png",
        "\xC3\xBC\xFFraw.png",
    };
    std::vector<std::string> argv = {"/usr/bin/printf", "[%s]"};
    argv.insert(argv.end(), awkward.begin(), awkward.end());
    const Captured r = run(argv);
    ASSERT_TRUE(r.result.started) << r.result.startError;
    std::string expected;
    for (const std::string& arg : awkward) {
        expected += "[" + arg + "]";
    }
    EXPECT_EQ(r.output, expected);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(RunProcess, WorkingFolderAndEmptyStdin) {
    ScratchDir dir;
    const std::string folder = dir.file("with space");
    std::filesystem::create_directory(folder);
    const std::string canonical = std::filesystem::canonical(folder).string();
    const Captured pwd = run({"/bin/pwd"}, folder);
    EXPECT_EQ(pwd.output, canonical + "\n");

    // Standard input is /dev/null: a program that reads it ends at once.
    const Captured cat = run({"/bin/cat"});
    EXPECT_EQ(cat.result.exitCode, 0);
    EXPECT_TRUE(cat.output.empty());
}

TEST(RunProcess, LargeOutputArrivesWholeInChunks) {
    const Captured r = run({"/usr/bin/head", "-c", "1000000", "/dev/zero"});
    EXPECT_EQ(r.result.exitCode, 0);
    EXPECT_EQ(r.output.size(), 1000000u);
    EXPECT_GT(r.chunks, 1);
}

// Descriptors of the parent, even ones opened without close-on-exec, stay out of
// the child: the shell (its test is a builtin) finds nothing open above 2.
TEST(RunProcess, ChildInheritsOnlyStandardDescriptors) {
    const int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 0);
    const Captured r = run({"/bin/sh", "-c",
                            "i=0; while [ $i -lt 256 ]; do [ -e /proc/self/fd/$i ] && echo $i; "
                            "i=$((i+1)); done; true"});
    ::close(leaky);
    EXPECT_EQ(r.output, "0\n1\n2\n") << "leaky descriptor was " << leaky;
}

TEST(RunProcess, ThrowingOutputHandlerEndsTheChild) {
    EXPECT_THROW(runProcess({"/bin/sh", "-c", "echo x; exec sleep 30"}, {},
                            [](std::string_view) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
}

TEST(RunProcess, SeveralThreadsAtOnce) {
    constexpr int kThreads = 6;
    std::vector<Captured> runs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            runs[t] =
                run({"/bin/sh", "-c", "echo " + std::to_string(t) + "; exit " + std::to_string(t)});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(runs[t].output, std::to_string(t) + "\n");
        EXPECT_EQ(runs[t].result.exitCode, t);
    }
}

}  // namespace
}  // namespace imbrix::platform
