// The running program, the data folder rule, the clock, the named lock.
#include "platform/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "common/testsupport.h"
#include "platform/files.h"

namespace fs = std::filesystem;
using imbrix::test::ScratchDir;

namespace imbrix::platform {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> old_;
};

TEST(ProgramPath, NamesTheRunningTestProgram) {
    const std::string path = programPath();
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(extractFileName(path), "imbrix_platform_tests");
    EXPECT_EQ(programFolder(), extractFilePath(path));
    EXPECT_EQ(programFolder().back(), '/');
}

TEST(UserConfigFolder, FollowsXdgThenHome) {
    ScratchDir dir;
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().string() + "/");
        EXPECT_EQ(userConfigFolder(), dir.path().string());
    }
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(userConfigFolder(), "/home/someone/.config");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/ignored");
        EXPECT_EQ(userConfigFolder(), "/home/someone/.config");
    }
}

class DataFolder : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string program = dir.file("program");
    std::string config = dir.file("config");
    ScopedEnv xdg{"XDG_CONFIG_HOME", config};
    void SetUp() override { fs::create_directory(program); }
};

TEST_F(DataFolder, WritableProgramFolderIsUsedAndNothingElseMade) {
    EXPECT_EQ(chooseDataFolder(program, "KELVANE", "Imbrix"), program + "/");
    EXPECT_EQ(chooseDataFolder(program + "/", "KELVANE", "Imbrix"), program + "/");
    EXPECT_FALSE(fs::exists(config));
    EXPECT_TRUE(fs::is_empty(program));  // no chk.tmp left behind
}

TEST_F(DataFolder, StaleProbeFileSendsDataToConfigFolder) {
    imbrix::test::writeText(program + "/chk.tmp", "");
    EXPECT_EQ(chooseDataFolder(program, "KELVANE", "Imbrix"), config + "/KELVANE/Imbrix/");
    EXPECT_TRUE(fs::is_directory(config + "/KELVANE/Imbrix"));
    EXPECT_TRUE(fs::exists(program + "/chk.tmp"));
}

TEST_F(DataFolder, UnusableProgramFolderCreatesBothFolders) {
    // A program folder that does not exist stands for one that cannot be written,
    // also for root, whom folder permissions do not stop.
    EXPECT_EQ(chooseDataFolder(dir.file("gone"), "KELVANE", "Imbrix"), config + "/KELVANE/Imbrix/");
    EXPECT_TRUE(fs::is_directory(config + "/KELVANE/Imbrix"));
    EXPECT_EQ(fs::status(config).permissions() & fs::perms::all, fs::perms::owner_all);

    // Existing folders are fine, and the answer is the same.
    EXPECT_EQ(chooseDataFolder(dir.file("gone"), "KELVANE", "Imbrix"), config + "/KELVANE/Imbrix/");
}

TEST_F(DataFolder, InstalledUnderUsrGoesToConfigFolderEvenWhenWritable) {
    // An installed program run by root could write beside itself, and would
    // leave its settings behind in /usr when its package is removed. /usr/lib is
    // writable for root and not for anyone else: either way nothing is probed
    // or written there.
    for (const std::string folder : {"/usr/lib", "/usr/lib/", "/usr/local/lib/"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(chooseDataFolder(folder, "KELVANE", "Imbrix"), config + "/KELVANE/Imbrix/");
        EXPECT_FALSE(fs::exists(folder + "/chk.tmp"));
    }
    EXPECT_TRUE(fs::is_directory(config + "/KELVANE/Imbrix"));
}

TEST(TickCount, AdvancesInMilliseconds) {
    const std::uint32_t before = tickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t elapsed =
        tickCount() - before;  // wraps like any 32-bit millisecond counter
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(NamedLock, HeldInRuntimeFolderAndNeverBlocksASecondHolder) {
    ScratchDir dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().string());
    holdNamedLock("KELVANE_Imbrix");
    const std::string path = dir.file("KELVANE_Imbrix");
    ASSERT_TRUE(fs::exists(path));

    const int other = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), -1) << "the lock is not held";
    EXPECT_EQ(errno, EWOULDBLOCK);
    ::close(other);

    holdNamedLock("KELVANE_Imbrix");  // a second instance: returns normally
}

}  // namespace
}  // namespace imbrix::platform
