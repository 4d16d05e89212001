// Starting programs: arguments, output, exit status, start failures.
#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <stop_token>
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

// True while `pid` is a live process (a zombie no longer counts).
bool isRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

pid_t readPid(const std::filesystem::path& file) {
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

// A program that hangs, with a program of its own that hangs too (and ignores
// SIGTERM): the deadline or a stop ends both, promptly, and says which.
TEST(RunProcess, DeadlineAndStopEndTheWholeGroup) {
    const ScratchDir dir;
    const std::string pidFile = dir.file("grandchild.pid");
    const std::string script =
        "sh -c 'trap \"\" TERM; sleep 300' & echo $! > '" + pidFile + "'; echo started; sleep 300";
    for (const bool byStop : {false, true}) {
        SCOPED_TRACE(byStop ? "stop" : "deadline");
        std::filesystem::remove(pidFile);
        std::stop_source stop;
        ProcessLimits limits;
        limits.grace = std::chrono::milliseconds(300);
        if (byStop) {
            limits.stop = stop.get_token();
        } else {
            limits.deadline = std::chrono::milliseconds(400);
        }
        std::jthread stopper([&stop, byStop] {
            if (byStop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                stop.request_stop();
            }
        });
        std::string output;
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult result = runProcess(
            {"/bin/sh", "-c", script}, {}, [&](std::string_view chunk) { output.append(chunk); },
            limits);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.timedOut, !byStop);
        EXPECT_EQ(result.stopped, byStop);
        EXPECT_NE(result.exitCode, 0);
        EXPECT_EQ(output, "started\n");
        EXPECT_LT(took, std::chrono::seconds(10));
        const pid_t grandchild = readPid(pidFile);
        ASSERT_GT(grandchild, 0);
        for (int i = 0; i < 100 && isRunning(grandchild); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_FALSE(isRunning(grandchild));
    }
}

// A program that ends while a program it started still holds the output pipe:
// the call returns with its exit status, not when the other one ends.
TEST(RunProcess, EndsWithTheProgramNotWithThePipe) {
    const ScratchDir dir;
    const std::string pidFile = dir.file("left.pid");
    const auto start = std::chrono::steady_clock::now();
    const Captured r =
        run({"/bin/sh", "-c", "sleep 300 & echo $! > '" + pidFile + "'; echo done; exit 3"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.result.exitCode, 3);
    EXPECT_EQ(r.output, "done\n");
    EXPECT_FALSE(r.result.timedOut);
    ::kill(readPid(pidFile), SIGKILL);
}

}  // namespace
}  // namespace imbrix::platform
