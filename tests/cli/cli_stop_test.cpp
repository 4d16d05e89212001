// imbrix-cli ended from outside (signals), given what is no picture file (a FIFO),
// and given names that look like options: nothing hangs, nothing runs on,
// nothing is left behind that a later run would not clear.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/testsupport.h"
#include "platform/files.h"

extern char** environ;

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string readAll(const fs::path& file) {
    const std::vector<std::uint8_t> bytes = readBytes(file);
    return {bytes.begin(), bytes.end()};
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool endsSoon(pid_t pid) {
    return imbrix::test::endsWithin(pid, 5s);
}

// The exit status as a shell shows it: 128 + the signal for a killed program.
int waitStatus(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class CliStop : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(scratch_.path() / "in");
        fs::create_directories(scratch_.path() / "out");
        fs::create_directories(scratch_.path() / "tmp");
        fs::copy_file(corpusDir() / "pngsuite/basn2c08.png", scratch_.path() / "in" / "x.png");
        // ImageMagick's place, as the converter front starts it: slow, and it
        // starts a program of its own by plain fork. Both write their pids.
        writeText(convert(), "#!/bin/sh\necho $$ >> '" + pids() + "'\nsleep 300 &\necho $! >> '" +
                                 pids() + "'\nwait\n");
        fs::permissions(convert(), fs::perms::owner_all);
    }

    std::string convert() const { return scratch_.file("convert"); }
    std::string pids() const { return scratch_.file("pids"); }
    fs::path out() const { return scratch_.path() / "out"; }

    // Starts imbrix-cli in `folder` with the slow ImageMagick when asked, its
    // temporary folder in the scratch folder, its output into "output".
    pid_t start(std::vector<std::string> args, bool slow, const std::string& folder = {}) {
        args.insert(args.begin(), (binDir() / "imbrix-cli").string());
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            env.emplace_back(*e);
        }
        env.push_back("TMPDIR=" + scratch_.file("tmp"));
        if (slow) {
            // The helpers' route, where the slow ImageMagick writes the picture.
            env.push_back("IMBRIX_MAGICK_CONVERT=" + convert());
            env.push_back("IMBRIX_MAGICK_IN_PROCESS=0");
        }
        std::vector<char*> argv, envp;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string output = scratch_.file("output");
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (!folder.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        }
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        return pid;
    }

    // Runs imbrix-cli to its end, at most `limit` long (then it is killed and the
    // test fails). Returns its status.
    int runToEnd(std::vector<std::string> args, const std::string& folder = {},
                 std::chrono::seconds limit = 60s) {
        const pid_t pid = start(std::move(args), false, folder);
        const auto until = Clock::now() + limit;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > until) {
                ::kill(pid, SIGKILL);
                ADD_FAILURE() << "imbrix-cli did not end: " << readAll(scratch_.file("output"));
                return waitStatus(pid);
            }
            std::this_thread::sleep_for(20ms);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The pids the slow ImageMagick wrote: itself and its own program.
    std::vector<pid_t> waitForConverter() {
        const auto until = Clock::now() + 30s;
        while (Clock::now() < until) {
            std::vector<pid_t> found;
            std::ifstream in(pids());
            pid_t pid = 0;
            while (in >> pid) {
                found.push_back(pid);
            }
            if (found.size() >= 2) {
                return found;
            }
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }

    std::vector<std::string> names(const fs::path& folder) const {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(folder)) {
            result.push_back(entry.path().filename().string());
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    ScratchDir scratch_;
};

// SIGTERM, SIGINT or SIGHUP mid-run stops the run: the converter and what it
// started end, no temporary file stays, the report is printed and the status
// says which signal it was.
TEST_F(CliStop, SignalStopsTheRunAndLeavesNothing) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        fs::remove(pids());
        const pid_t cli =
            start({"-f", "bmp", "-d", out().string(), "--", scratch_.file("in")}, true);
        const std::vector<pid_t> started = waitForConverter();
        ASSERT_EQ(started.size(), 2u) << readAll(scratch_.file("output"));
        ASSERT_EQ(::kill(cli, sig), 0);
        EXPECT_EQ(waitStatus(cli), 128 + sig);
        const std::string output = readAll(scratch_.file("output"));
        EXPECT_TRUE(contains(output, "Processed Image Files: 0")) << output;
        EXPECT_TRUE(contains(output, "Stopped by signal " + std::to_string(sig))) << output;
        for (pid_t pid : started) {
            EXPECT_TRUE(endsSoon(pid)) << pid;
            ::kill(pid, SIGKILL);
        }
        EXPECT_TRUE(names(out()).empty());
        EXPECT_TRUE(names(scratch_.path() / "tmp").empty());
    }
}

// SIGKILL gives no time to clean up: still nothing of the run's processes runs
// on, and the next run into the same folder removes the temporary file the
// killed one left, and takes it for no source.
TEST_F(CliStop, KilledRunLeavesNoProcessAndTheNextRunClearsItsFiles) {
    const pid_t cli = start({"-f", "bmp", "-d", out().string(), "--", scratch_.file("in")}, true);
    const std::vector<pid_t> started = waitForConverter();
    ASSERT_EQ(started.size(), 2u) << readAll(scratch_.file("output"));
    ASSERT_EQ(::kill(cli, SIGKILL), 0);
    EXPECT_EQ(waitStatus(cli), 128 + SIGKILL);
    for (pid_t pid : started) {
        EXPECT_TRUE(endsSoon(pid)) << pid;
        ::kill(pid, SIGKILL);
    }
    const std::vector<std::string> left = names(out());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(platform::tempFileTarget(left[0])) << left[0];

    EXPECT_EQ(
        runToEnd({"-f", "png", "-d", out().string(), "--", out().string(), scratch_.file("in")}), 0)
        << readAll(scratch_.file("output"));
    EXPECT_EQ(names(out()), std::vector<std::string>{"x.png"});
}

// A FIFO named on the command line is reported and skipped, never opened (an
// open would wait for a writer for ever); the other files are converted.
TEST_F(CliStop, FifoIsReportedAndSkipped) {
    const std::string fifo = scratch_.file("in/pipe.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int status = runToEnd(
        {"-d", out().string(), "--", fifo, scratch_.file("in/x.png"), "/dev/null"}, {}, 30s);
    const std::string output = readAll(scratch_.file("output"));
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(contains(output, "Skipped (not a regular file): " + fifo)) << output;
    EXPECT_TRUE(contains(output, "Skipped (not a regular file): /dev/null")) << output;
    EXPECT_EQ(names(out()), std::vector<std::string>{"x.png"});
}

// `imbrix-cli -- *` in a folder holding "-dhijack.png": after "--" the name is a
// file to convert, not the option -d with "hijack.png".
TEST_F(CliStop, NamesAfterDoubleDashAreFiles) {
    fs::copy_file(scratch_.path() / "in" / "x.png", scratch_.path() / "in" / "-dhijack.png");
    const int status = runToEnd({"-f", "jpg", "--", "-dhijack.png", "x.png"}, scratch_.file("in"));
    EXPECT_EQ(status, 0) << readAll(scratch_.file("output"));
    EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "in" / "-dhijack.jpg"));
    EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "in" / "x.jpg"));
    EXPECT_FALSE(fs::exists(scratch_.path() / "in" / "hijack.png"));
}

}  // namespace
}  // namespace imbrix::test
