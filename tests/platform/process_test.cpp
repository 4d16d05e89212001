// Starting programs: arguments, output, exit status, start failures.
#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
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

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The first line a script printed, read as the pid of a program it started.
pid_t firstLinePid(const std::string& output) {
    return static_cast<pid_t>(std::stol(output.substr(0, output.find('\n'))));
}

bool endsSoon(pid_t pid) {
    return imbrix::test::endsWithin(pid, 2s);
}

// A program with limits leads a group of its own (its group id is its pid); one
// without stays in ours, so that it ends along with a group we belong to.
TEST(RunProcessLimits, OwnProcessGroupOnlyWithLimits) {
    auto groupOf = [](const ProcessLimits& limits) {
        std::string output;
        runProcess(
            {"/bin/sh", "-c", "echo $$; cut -d' ' -f5 /proc/$$/stat"}, {},
            [&](std::string_view chunk) { output.append(chunk); }, limits);
        const std::size_t split = output.find('\n');
        return std::pair{std::stol(output.substr(0, split)), std::stol(output.substr(split + 1))};
    };
    ProcessLimits deadline;
    deadline.deadline = 60s;
    const auto [pid, group] = groupOf(deadline);
    EXPECT_EQ(group, pid);

    std::stop_source stop;
    ProcessLimits stoppable;
    stoppable.stop = stop.get_token();
    const auto [stoppablePid, stoppableGroup] = groupOf(stoppable);
    EXPECT_EQ(stoppableGroup, stoppablePid);

    const auto [plainPid, plainGroup] = groupOf({});
    EXPECT_NE(plainGroup, plainPid);
    EXPECT_EQ(plainGroup, ::getpgrp());
}

// A hung program that started another hung program: the deadline ends both.
// The started one ignores SIGTERM, so only SIGKILL to the group ends it; when
// the program itself ignores SIGTERM too, it lasts the grace period.
TEST(RunProcessLimits, DeadlineEndsTheProgramAndWhatItStarted) {
    struct Case {
        const char* name;
        const char* script;
        int exitCode;
        bool waitsGrace;
    };
    const std::string grandchild = "(trap '' TERM; exec sleep 300) & echo $!; ";
    const Case cases[] = {
        {"ends on SIGTERM", "sleep 300", 128 + SIGTERM, false},
        {"ignores SIGTERM", "trap '' TERM; sleep 300", 128 + SIGKILL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessLimits limits;
        limits.deadline = 300ms;
        limits.grace = 700ms;
        std::string output;
        const auto start = Clock::now();
        const ProcessResult r = runProcess(
            {"/bin/sh", "-c", grandchild + c.script}, {},
            [&](std::string_view chunk) { output.append(chunk); }, limits);
        const auto elapsed = Clock::now() - start;
        ASSERT_TRUE(r.started) << r.startError;
        EXPECT_EQ(r.end, ProcessEnd::TimedOut);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_GE(elapsed, limits.deadline);
        EXPECT_LT(elapsed, limits.deadline + limits.grace + 1500ms);
        if (c.waitsGrace) {
            EXPECT_GE(elapsed, limits.deadline + limits.grace);
        }
        ASSERT_FALSE(output.empty());
        EXPECT_TRUE(endsSoon(firstLinePid(output))) << output;
    }
}

TEST(RunProcessLimits, StopRequestFromAnotherThreadEndsTheGroup) {
    std::stop_source stop;
    std::promise<void> printed;
    std::future<void> printedOnce = printed.get_future();
    bool told = false;
    std::thread stopper([&] {
        printedOnce.wait();
        stop.request_stop();
    });
    ProcessLimits limits;
    limits.stop = stop.get_token();
    limits.grace = 500ms;
    std::string output;
    const auto start = Clock::now();
    const ProcessResult r = runProcess(
        {"/bin/sh", "-c", "sleep 300 & echo $!; sleep 300"}, {},
        [&](std::string_view chunk) {
            output.append(chunk);
            if (!told && output.find('\n') != std::string::npos) {
                told = true;
                printed.set_value();
            }
        },
        limits);
    const auto elapsed = Clock::now() - start;
    if (!told) {
        printed.set_value();
    }
    stopper.join();
    ASSERT_TRUE(r.started) << r.startError;
    EXPECT_EQ(r.end, ProcessEnd::Stopped);
    EXPECT_EQ(r.exitCode, 128 + SIGTERM);
    EXPECT_LT(elapsed, 5s);
    ASSERT_TRUE(told);
    EXPECT_TRUE(endsSoon(firstLinePid(output))) << output;

    // A stop requested before the start ends the program at once.
    const ProcessResult early = runProcess({"/bin/sleep", "300"}, {}, {}, limits);
    EXPECT_EQ(early.end, ProcessEnd::Stopped);
}

// The program ends but leaves behind one that holds the output open: the call
// returns with the program's own status and what it printed.
TEST(RunProcessLimits, OutputHeldOpenByAStartedProgramDoesNotBlock) {
    std::string output;
    const auto start = Clock::now();
    const ProcessResult r = runProcess({"/bin/sh", "-c", "sleep 300 & echo $!; echo done; exit 4"},
                                       {}, [&](std::string_view chunk) { output.append(chunk); });
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(r.started) << r.startError;
    ASSERT_NE(output.find('\n'), std::string::npos);
    const pid_t left = firstLinePid(output);
    ::kill(left, SIGKILL);  // ours to clean up: the program ended by itself
    EXPECT_EQ(r.end, ProcessEnd::Finished);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(output, std::to_string(left) + "\ndone\n");
    EXPECT_LT(elapsed, 5s);
}

// Bytes fed to standard input: a program that echoes them while they are still
// being written (more than any pipe buffer holds, so both directions must move
// at once), and programs that read none or part of them, which must not raise
// SIGPIPE here or keep the call waiting.
TEST(RunProcessLimits, InputBytesReachTheProgram) {
    std::vector<std::uint8_t> bytes(3 * 1024 * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 4099);
    }
    const std::span<const std::uint8_t> all(bytes);

    std::string echoed;
    const ProcessResult cat = runProcess(
        {"/bin/cat"}, {}, [&](std::string_view chunk) { echoed.append(chunk); }, {}, all);
    EXPECT_EQ(cat.exitCode, 0);
    ASSERT_EQ(echoed.size(), bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), echoed.begin(), [](std::uint8_t a, char b) {
        return a == static_cast<std::uint8_t>(b);
    }));

    struct Case {
        const char* script;
        std::string output;
        int exitCode;
    };
    const Case cases[] = {
        {"exit 5", "", 5},
        {"head -c 10 >/dev/null; echo read", "read\n", 0},
        {"wc -c", std::to_string(bytes.size()) + "\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        std::string output;
        const ProcessResult r = runProcess(
            {"/bin/sh", "-c", c.script}, {}, [&](std::string_view chunk) { output.append(chunk); },
            {}, all);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(output, c.output);
    }

    // With a deadline, the input and output go on all the same.
    ProcessLimits limits;
    limits.deadline = 60s;
    echoed.clear();
    const ProcessResult limited = runProcess(
        {"/bin/cat"}, {}, [&](std::string_view chunk) { echoed.append(chunk); }, limits, all);
    EXPECT_EQ(limited.exitCode, 0);
    EXPECT_EQ(echoed.size(), bytes.size());

    // Empty input is an input that ends at once.
    const ProcessResult empty =
        runProcess({"/bin/cat"}, {}, {}, {}, std::span<const std::uint8_t>());
    EXPECT_EQ(empty.exitCode, 0);
}

// Reads the pids a script wrote to `file` (one a line), waiting until `count`
// are there.
std::vector<pid_t> waitForPids(const std::string& file, std::size_t count) {
    const auto until = Clock::now() + 10s;
    for (;;) {
        std::vector<pid_t> pids;
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line) && !line.empty()) {
            pids.push_back(static_cast<pid_t>(std::stol(line)));
        }
        if (pids.size() >= count || Clock::now() > until) {
            return pids;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// The caller is killed with SIGKILL while its program runs: nothing of what it
// started runs on. A program with limits leads its own group, and everything in
// the group ends, what it started in turn by plain fork included; one without
// limits (a helper of the converter front) ends with its caller.
TEST(RunProcessLimits, NothingOutlivesACallerKilledWithSigkill) {
    struct Case {
        const char* name;
        bool limited;
        const char* script;  // writes the pids that must end to "$1"
        std::size_t pids;
    };
    const Case cases[] = {
        {"own group", true, "echo $$ >> \"$1\"; sleep 300 & echo $! >> \"$1\"; wait", 2},
        {"caller's group", false, "echo $$ >> \"$1\"; exec sleep 300", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        const std::string pidFile = scratch.file("pids");
        const pid_t caller = ::fork();
        ASSERT_GE(caller, 0);
        if (caller == 0) {
            ProcessLimits limits;
            if (c.limited) {
                limits.deadline = 300s;
            }
            runProcess({"/bin/sh", "-c", c.script, "sh", pidFile}, {}, {}, limits);
            ::_exit(0);
        }
        const std::vector<pid_t> pids = waitForPids(pidFile, c.pids);
        ::kill(caller, SIGKILL);
        ::waitpid(caller, nullptr, 0);
        ASSERT_EQ(pids.size(), c.pids);
        for (pid_t pid : pids) {
            EXPECT_TRUE(endsSoon(pid)) << pid;
            ::kill(pid, SIGKILL);  // a failure above leaves nothing behind either
        }
    }
}

// A program with limits that ends by itself leaves nothing of its group running:
// by the time the call returns, the rest of the group has been sent SIGKILL.
TEST(RunProcessLimits, WhatTheProgramStartedEndsWithTheCall) {
    ProcessLimits limits;
    limits.deadline = 60s;
    std::string output;
    const ProcessResult r = runProcess(
        {"/bin/sh", "-c", "sleep 300 & echo $!; exit 6"}, {},
        [&](std::string_view chunk) { output.append(chunk); }, limits);
    ASSERT_TRUE(r.started) << r.startError;
    EXPECT_EQ(r.end, ProcessEnd::Finished);
    EXPECT_EQ(r.exitCode, 6);
    ASSERT_NE(output.find('\n'), std::string::npos);
    EXPECT_TRUE(endsSoon(firstLinePid(output))) << output;
}

}  // namespace
}  // namespace imbrix::platform
