// Files and folders: the write probe, name parts, unique names, temporary files.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/testsupport.h"
#include "platform/files_claim.h"

namespace fs = std::filesystem;
using imbrix::test::ScratchDir;

namespace imbrix::platform {
namespace {

std::string readText(const std::string& path) {
    const auto bytes = imbrix::test::readBytes(path);
    return {bytes.begin(), bytes.end()};
}

std::vector<std::string> folderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void writeFd(int fd, const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// --- the write probe ---------------------------------------------------------

TEST(FolderProbe, WritableFolderPassesAndKeepsNothing) {
    ScratchDir dir;
    EXPECT_TRUE(isFolderWritable(dir.path().string()));
    EXPECT_TRUE(isFolderWritable(dir.path().string() + "/"));
    EXPECT_TRUE(folderEntries(dir.path()).empty());
}

TEST(FolderProbe, StaleProbeFileFailsAndIsLeftAlone) {
    ScratchDir dir;
    imbrix::test::writeText(dir.file("chk.tmp"), "someone else's");
    EXPECT_FALSE(isFolderWritable(dir.path().string()));
    EXPECT_EQ(readText(dir.file("chk.tmp")), "someone else's");
}

TEST(FolderProbe, MissingFolderFails) {
    ScratchDir dir;
    EXPECT_FALSE(isFolderWritable(dir.file("missing")));
}

TEST(FolderProbe, ReadOnlyFolderFails) {
    ScratchDir dir;
    const std::string folder = dir.file("locked");
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    const std::string trial = folder + "/trial";
    const int fd = ::open(trial.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(trial.c_str());
        GTEST_SKIP() << "running with privileges that ignore folder permissions (root)";
    }
    EXPECT_FALSE(isFolderWritable(folder));
}

// --- name parts --------------------------------------------------------------

TEST(NameParts, SplitAtLastDotAfterLastSlash) {
    struct Case {
        std::string path, ext, name, folder, stripped;
    };
    const Case cases[] = {
        {"/a/photo.JPG", ".JPG", "photo.JPG", "/a/", "/a/photo"},
        {"/a/archive.png.bak", ".bak", "archive.png.bak", "/a/", "/a/archive.png"},
        {"/a.d/noext", "", "noext", "/a.d/", "/a.d/noext"},
        {"/a/trailing.", ".", "trailing.", "/a/", "/a/trailing"},
        {"plain.png", ".png", "plain.png", "", "plain"},
        {"/a/b/", "", "", "/a/b/", "/a/b/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(extractFileExt(c.path), c.ext);
        EXPECT_EQ(extractFileName(c.path), c.name);
        EXPECT_EQ(extractFilePath(c.path), c.folder);
        EXPECT_EQ(stripFileExt(c.path), c.stripped);
    }
    EXPECT_EQ(withTrailingSlash("/x"), "/x/");
    EXPECT_EQ(withTrailingSlash("/x/"), "/x/");
    // Only ASCII letters change: UTF-8 bytes of other letters stay as they are.
    EXPECT_EQ(asciiLower("PHOTO.JPG \xC3\x84"), "photo.jpg \xC3\x84");
}

TEST(FileQueries, FilesFoldersAndSizes) {
    ScratchDir dir;
    imbrix::test::writeText(dir.file("five.png"), "12345");
    fs::create_directory(dir.file("folder.png"));
    fs::create_symlink(dir.file("five.png"), dir.file("link.png"));

    EXPECT_TRUE(fileExists(dir.file("five.png")));
    EXPECT_TRUE(fileExists(dir.file("link.png")));
    EXPECT_FALSE(fileExists(dir.file("folder.png")));
    EXPECT_FALSE(fileExists(dir.file("missing.png")));
    EXPECT_TRUE(folderExists(dir.file("folder.png")));
    EXPECT_FALSE(folderExists(dir.file("five.png")));

    EXPECT_EQ(fileSizeBytes(dir.file("five.png")), 5);
    EXPECT_EQ(fileSizeBytes(dir.file("missing.png")), -1);
    EXPECT_EQ(fileSizeBytes(dir.file("folder.png")), -1);

    EXPECT_TRUE(createFolders(dir.file("x/y/z")));
    EXPECT_TRUE(folderExists(dir.file("x/y/z")));
    EXPECT_TRUE(createFolders(dir.file("x/y/z")));  // already there
    EXPECT_FALSE(createFolders(dir.file("five.png/sub")));
}

// --- unique names ------------------------------------------------------------

// The look-only rule: " (n)" from 2, only files count.
TEST(UniqueFileName, FirstNameWithoutAFile) {
    ScratchDir dir;
    const std::string photo = dir.file("photo.png");
    EXPECT_EQ(uniqueFileName(photo), photo);

    imbrix::test::writeText(photo, "");
    EXPECT_EQ(uniqueFileName(photo), dir.file("photo (2).png"));
    imbrix::test::writeText(dir.file("photo (2).png"), "");
    imbrix::test::writeText(dir.file("photo (4).png"), "");
    EXPECT_EQ(uniqueFileName(photo), dir.file("photo (3).png"));

    fs::create_directory(dir.file("folder.png"));
    EXPECT_EQ(uniqueFileName(dir.file("folder.png")), dir.file("folder.png"));

    imbrix::test::writeText(dir.file("noext"), "");
    EXPECT_EQ(uniqueFileName(dir.file("noext")), dir.file("noext (2)"));
    imbrix::test::writeText(dir.file("a.b.jpeg"), "");
    EXPECT_EQ(uniqueFileName(dir.file("a.b.jpeg")), dir.file("a.b (2).jpeg"));
}

class PublishUnique : public ::testing::TestWithParam<ClaimMethod> {
protected:
    // A finished temporary file with `content`, claimed under `candidate`.
    std::string publish(const std::string& content, const std::string& candidate) {
        TempFile temp(dir.path().string(), "out", ".png");
        writeFd(temp.fd(), content);
        temp.close();
        const std::string tempPath = temp.path();
        std::string claimed;
        if (GetParam() == ClaimMethod::kRenameNoReplace) {
            claimed = temp.publishUnique(candidate);
        } else {
            claimed = claimUniqueName(tempPath, candidate, GetParam());
            temp.remove();  // the temporary name is gone already; nothing to remove
        }
        EXPECT_FALSE(fs::exists(tempPath)) << "temporary name left behind";
        return claimed;
    }

    ScratchDir dir;
};

TEST_P(PublishUnique, ClaimsFirstFreeNameWithoutReplacing) {
    const std::string photo = dir.file("photo.png");
    EXPECT_EQ(publish("first", photo), photo);
    EXPECT_EQ(publish("second", photo), dir.file("photo (2).png"));
    EXPECT_EQ(publish("third", photo), dir.file("photo (3).png"));
    EXPECT_EQ(readText(photo), "first");
    EXPECT_EQ(readText(dir.file("photo (2).png")), "second");
    EXPECT_EQ(readText(dir.file("photo (3).png")), "third");

    // A folder holds its name just as a file does.
    fs::create_directory(dir.file("taken.png"));
    EXPECT_EQ(publish("beside a folder", dir.file("taken.png")), dir.file("taken (2).png"));
    EXPECT_TRUE(fs::is_directory(dir.file("taken.png")));

    // So does a link, even one that leads nowhere.
    fs::create_symlink(dir.file("nowhere"), dir.file("dangling.png"));
    EXPECT_EQ(publish("beside a link", dir.file("dangling.png")), dir.file("dangling (2).png"));
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
}

// Many workers finishing the same output name at once: every one gets its own
// name and every file arrives whole.
TEST_P(PublishUnique, ParallelPublishersGetDistinctNames) {
    constexpr int kThreads = 8;
    constexpr int kFilesEach = 20;
    const std::string candidate = dir.file("same.webp");
    std::vector<std::vector<std::string>> claimed(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFilesEach; ++i) {
                claimed[t].push_back(
                    publish("t" + std::to_string(t) + "-" + std::to_string(i), candidate));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> names;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kFilesEach; ++i) {
            const std::string& name = claimed[t][i];
            EXPECT_TRUE(names.insert(name).second) << name << " claimed twice";
            EXPECT_EQ(readText(name), "t" + std::to_string(t) + "-" + std::to_string(i));
        }
    }
    EXPECT_EQ(folderEntries(dir.path()).size(), static_cast<std::size_t>(kThreads * kFilesEach));
    // The names are the first ones of the sequence, without gaps.
    EXPECT_TRUE(names.count(candidate));
    EXPECT_TRUE(names.count(dir.file("same (" + std::to_string(kThreads * kFilesEach) + ").webp")));
}

INSTANTIATE_TEST_SUITE_P(Methods, PublishUnique,
                         ::testing::Values(ClaimMethod::kRenameNoReplace, ClaimMethod::kLink,
                                           ClaimMethod::kPlaceholder),
                         [](const auto& param) {
                             switch (param.param) {
                                 case ClaimMethod::kRenameNoReplace:
                                     return "RenameNoReplace";
                                 case ClaimMethod::kLink:
                                     return "Link";
                                 default:
                                     return "Placeholder";
                             }
                         });

// NFS answers a link() whose reply was lost, and which is sent again, with
// "exists": the name leads to our own file then, and is ours, not taken.
TEST(PublishUnique, LinkAnsweredExistsForOurOwnFileIsClaimed) {
    ScratchDir dir;
    const std::string from = dir.file(".out.1-1.imbrix-tmp.png");
    imbrix::test::writeText(from, "ours");
    const std::string target = dir.file("photo.png");
    ASSERT_EQ(::link(from.c_str(), target.c_str()), 0);  // the first try, done but unanswered
    EXPECT_EQ(claimUniqueName(from, target, ClaimMethod::kLink), target);
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"photo.png"});
    EXPECT_EQ(readText(target), "ours");

    // Someone else's file of that name is a taken name, as ever.
    imbrix::test::writeText(from, "second");
    EXPECT_EQ(claimUniqueName(from, target, ClaimMethod::kLink), dir.file("photo (2).png"));
    EXPECT_EQ(readText(target), "ours");
}

TEST(PublishUniqueErrors, UnwritableTargetThrowsAndKeepsTemporaryFile) {
    ScratchDir dir;
    TempFile temp(dir.path().string(), "out", ".png");
    EXPECT_THROW(temp.publishUnique(dir.file("missing/photo.png")), std::system_error);
    EXPECT_TRUE(fs::exists(temp.path()));
    const std::string tempPath = temp.path();
    temp.remove();
    EXPECT_FALSE(fs::exists(tempPath));
    EXPECT_THROW(temp.publishUnique(dir.file("photo.png")), std::system_error);
}

// --- publishing under one exact name ------------------------------------------

class PublishExact : public ::testing::TestWithParam<ClaimMethod> {
protected:
    // A finished temporary file with `content`, published as `target` itself.
    // Whether it took the name; when it did not, its temporary file is still there.
    bool publish(const std::string& content, const std::string& target) {
        TempFile temp(dir.path().string(), "out", ".png");
        writeFd(temp.fd(), content);
        temp.close();
        const std::string tempPath = temp.path();
        bool claimed = false;
        if (GetParam() == ClaimMethod::kRenameNoReplace) {
            claimed = temp.publishExact(target);
        } else {
            claimed = claimExactName(tempPath, target, GetParam());
            if (claimed) {
                temp.remove();  // the temporary name is gone already
            }
        }
        EXPECT_EQ(fs::exists(tempPath), !claimed) << tempPath;
        return claimed;
    }

    ScratchDir dir;
};

TEST_P(PublishExact, TakesTheFreeNameAndNeverAnother) {
    const std::string photo = dir.file("photo.png");
    EXPECT_TRUE(publish("first", photo));
    EXPECT_FALSE(publish("second", photo));
    EXPECT_EQ(readText(photo), "first");

    fs::create_directory(dir.file("folder.png"));
    EXPECT_FALSE(publish("over a folder", dir.file("folder.png")));
    EXPECT_TRUE(fs::is_directory(dir.file("folder.png")));

    fs::create_symlink(dir.file("nowhere"), dir.file("dangling.png"));
    EXPECT_FALSE(publish("through a link", dir.file("dangling.png")));
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
    // Nothing else was made: no numbered name, no temporary file left.
    EXPECT_EQ(folderEntries(dir.path()),
              (std::vector<std::string>{"dangling.png", "folder.png", "photo.png"}));
}

// Many workers publishing under one name at once: exactly one gets it, whole.
TEST_P(PublishExact, OneOfManyParallelPublishersWins) {
    constexpr int kThreads = 8;
    const std::string target = dir.file("same.webp");
    std::vector<int> won(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { won[t] = publish("t" + std::to_string(t), target) ? 1 : 0; });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto winner = std::find(won.begin(), won.end(), 1);
    ASSERT_NE(winner, won.end());
    EXPECT_EQ(std::count(won.begin(), won.end(), 1), 1);
    EXPECT_EQ(readText(target), "t" + std::to_string(winner - won.begin()));
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"same.webp"});
}

INSTANTIATE_TEST_SUITE_P(Methods, PublishExact,
                         ::testing::Values(ClaimMethod::kRenameNoReplace, ClaimMethod::kLink,
                                           ClaimMethod::kPlaceholder),
                         [](const auto& param) {
                             switch (param.param) {
                                 case ClaimMethod::kRenameNoReplace:
                                     return "RenameNoReplace";
                                 case ClaimMethod::kLink:
                                     return "Link";
                                 default:
                                     return "Placeholder";
                             }
                         });

TEST(PublishExactErrors, MissingFolderThrowsAndKeepsTemporaryFile) {
    ScratchDir dir;
    TempFile temp(dir.path().string(), "out", ".png");
    EXPECT_THROW(temp.publishExact(dir.file("missing/photo.png")), std::system_error);
    EXPECT_TRUE(fs::exists(temp.path()));
}

// --- modification times and folders ---------------------------------------------

TEST(ModificationTime, SetAndReadToTheNanosecond) {
    ScratchDir dir;
    const std::string file = dir.file("a.png");
    imbrix::test::writeText(file, "x");
    const FileTime times[] = {{1'234'567'890, 123'456'789}, {0, 1}, {4'102'444'800, 999'999'999}};
    for (const FileTime& time : times) {
        setModificationTime(file, time);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, time.seconds);
        EXPECT_EQ(st.st_mtim.tv_nsec, time.nanoseconds);
        EXPECT_EQ(modificationTime(file), time);
    }
    EXPECT_EQ(modificationTime(dir.file("missing.png")), std::nullopt);
    EXPECT_THROW(setModificationTime(dir.file("missing.png"), {1, 0}), std::system_error);
    EXPECT_THROW(setModificationTime(file, {1, 1'000'000'000}), std::system_error);
}

TEST(CreateFolders, MakesParentsAndSaysWhyItFailed) {
    ScratchDir dir;
    std::error_code error;
    EXPECT_TRUE(createFolders(dir.file("a/b/c"), error));
    EXPECT_FALSE(error);
    EXPECT_TRUE(fs::is_directory(dir.file("a/b/c")));
    EXPECT_TRUE(createFolders(dir.file("a/b/c"), error));  // there already

    imbrix::test::writeText(dir.file("file"), "");
    EXPECT_FALSE(createFolders(dir.file("file/sub"), error));
    EXPECT_TRUE(error) << "no reason given";
    EXPECT_FALSE(createFolders(dir.file("file"), error));
    EXPECT_TRUE(error) << "no reason given";
    EXPECT_FALSE(createFolders("", error));
    EXPECT_TRUE(error);
}

// --- temporary files ---------------------------------------------------------

// --- whole-file replacement ---------------------------------------------------

TEST(ReplaceFileContents, NewFileGetsTheModeAnExistingOneKeepsItsOwn) {
    ScratchDir dir;
    const std::string path = dir.file("values");
    replaceFileContents(path, "first\n", 0600);
    EXPECT_EQ(readText(path), "first\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    replaceFileContents(path, "second, longer\n", 0600);
    EXPECT_EQ(readText(path), "second, longer\n");
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"values"});
}

TEST(ReplaceFileContents, FailureKeepsTheOldFileAndLeavesNoTemporary) {
    ScratchDir dir;
    // A folder where the file should be: the rename over it fails.
    const std::string path = dir.file("taken");
    fs::create_directory(path);
    EXPECT_THROW(replaceFileContents(path, "text"), std::system_error);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"taken"});
    // A missing folder: nothing to write into.
    EXPECT_THROW(replaceFileContents(dir.file("missing/file"), "text"), std::system_error);
}

TEST(TempFileTest, HiddenUniqueAndRemovedOnDestruction) {
    ScratchDir dir;
    std::set<std::string> paths;
    {
        std::vector<TempFile> temps;
        for (int i = 0; i < 50; ++i) {
            temps.emplace_back(dir.path().string(), "photo", ".bmp");
            paths.insert(temps.back().path());
        }
        EXPECT_EQ(paths.size(), 50u);
        const std::string name = extractFileName(*paths.begin());
        EXPECT_EQ(name.rfind(".photo." + std::to_string(::getpid()) + "-", 0), 0u) << name;
        EXPECT_EQ(extractFileExt(name), ".bmp");
        EXPECT_EQ(folderEntries(dir.path()).size(), 50u);
    }
    EXPECT_TRUE(folderEntries(dir.path()).empty());
}

TEST(TempFileTest, RemovedWhenAnExceptionLeavesTheScope) {
    ScratchDir dir;
    std::string path;
    try {
        TempFile temp(dir.path().string(), "photo", ".png");
        path = temp.path();
        writeFd(temp.fd(), "partial");
        throw std::runtime_error("decoder failed");
    } catch (const std::runtime_error&) {
    }
    ASSERT_FALSE(path.empty());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(folderEntries(dir.path()).empty());
}

TEST(TempFileTest, MoveHandsOverOwnership) {
    ScratchDir dir;
    TempFile outer(dir.path().string(), "a", ".png");
    const std::string outerPath = outer.path();
    {
        TempFile moved(std::move(outer));
        EXPECT_EQ(moved.path(), outerPath);
        TempFile other(dir.path().string(), "b", ".png");
        const std::string otherPath = other.path();
        other = std::move(moved);  // the file `other` held goes away
        EXPECT_FALSE(fs::exists(otherPath));
        EXPECT_TRUE(fs::exists(outerPath));
    }
    EXPECT_FALSE(fs::exists(outerPath));
}

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

// Each temporary file holds one descriptor, handed over by a move and closed
// once: by close(), which reports what the system says, or at the end.
TEST(TempFileTest, DescriptorIsClosedOnceAndCloseErrorsAreReported) {
    ScratchDir dir;
    const std::size_t before = openDescriptors();
    {
        TempFile first(dir.path().string(), "a", ".png");
        TempFile second(dir.path().string(), "b", ".png");
        EXPECT_EQ(openDescriptors(), before + 2);
        second = std::move(first);
        EXPECT_EQ(openDescriptors(), before + 1);
        EXPECT_EQ(first.fd(), -1);
        second.close();
        EXPECT_EQ(second.fd(), -1);
        EXPECT_EQ(openDescriptors(), before);
        second.close();  // nothing left to close
    }
    EXPECT_EQ(openDescriptors(), before);

    // A descriptor the system no longer knows: close() says so, naming the file.
    TempFile temp(dir.path().string(), "c", ".png");
    ASSERT_EQ(::close(temp.fd()), 0);
    try {
        temp.close();
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EBADF);
        EXPECT_NE(std::string(e.what()).find(temp.path()), std::string::npos) << e.what();
    }
    EXPECT_EQ(temp.fd(), -1);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(TempFileTest, AwkwardStemsStayInTheFolder) {
    ScratchDir dir;
    const std::string longStem(300, 'x');
    TempFile longName(dir.path().string(), longStem, ".png");
    EXPECT_LE(extractFileName(longName.path()).size(), 255u);
    EXPECT_EQ(extractFileExt(longName.path()), ".png");

    // A long stem of two-byte letters is cut between letters, not inside one.
    std::string umlauts;
    for (int i = 0; i < 200; ++i) {
        umlauts += "\xC3\xA4";
    }
    TempFile utf8(dir.path().string(), umlauts, ".png");
    const std::string name = extractFileName(utf8.path());
    const std::size_t stemEnd = name.find('.', 1);
    EXPECT_EQ((stemEnd - 1) % 2, 0u) << name;

    TempFile slashes(dir.path().string(), "../escape/x", ".png");
    EXPECT_EQ(extractFilePath(slashes.path()), withTrailingSlash(dir.path().string()));
    EXPECT_EQ(folderEntries(dir.path()).size(), 3u);
}

TEST(TempFileTest, ModeHonoursUmask) {
    ScratchDir dir;
    const mode_t old = ::umask(027);
    TempFile temp(dir.path().string(), "m", ".png");
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(temp.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(TempFileTest, MissingFolderThrows) {
    ScratchDir dir;
    try {
        TempFile temp(dir.file("missing"), "x", ".png");
        FAIL() << "created " << temp.path();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_NE(std::string(e.what()).find(dir.file("missing")), std::string::npos) << e.what();
    }
}

// The name a temporary file stands in for comes back from its path, whatever the
// stem holds: dots, parentheses, other scripts, the marker itself, nothing at all.
TEST(TempFileTarget, RecoversStemAndSuffix) {
    ScratchDir dir;
    const std::vector<std::pair<std::string, std::string>> cases{
        {"photo", ".pdf"},
        {"Holiday (2)", ".pdf"},
        {"Z\xC3\xBCrich \xE5\x9B\xBE\xE7\x89\x87", ".pdf"},
        {"a.b.c", ".psd"},
        {"scan.12-3", ".pdf"},
        {"copy.imbrix-tmp", ".pdf"},
        {"", ".pdf"},
        {"settings", ""},
    };
    for (const auto& [stem, suffix] : cases) {
        TempFile temp(dir.path().string(), stem, suffix);
        EXPECT_EQ(tempFileTarget(temp.path()), stem + suffix) << temp.path();
    }
    // A name left by an earlier process with the same pid gets a random part.
    EXPECT_EQ(tempFileTarget("/dest/.photo.12-3-998877.imbrix-tmp.pdf"), "photo.pdf");
    // Names carry the machine; those of older versions do not.
    EXPECT_EQ(tempFileTarget("/dest/.photo.12-3-h0123456789abcdef.imbrix-tmp.pdf"), "photo.pdf");
    EXPECT_EQ(tempFileTarget("/dest/.photo.12-3-9-h0123456789abcdef.imbrix-tmp.pdf"), "photo.pdf");
    TempFile temp(dir.path().string(), "photo", ".png");
    const std::string name = extractFileName(temp.path());
    const std::string prefix = ".photo." + std::to_string(::getpid()) + "-";
    ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
    const std::size_t machine = name.find("-h", prefix.size());
    ASSERT_NE(machine, std::string::npos) << name;
    EXPECT_EQ(name.substr(machine + 18), ".imbrix-tmp.png") << name;
}

TEST(TempFileTarget, OtherNamesAreNotTemporary) {
    for (const std::string path :
         {"/dest/photo.pdf", "/dest/.photo.pdf", "/dest/.imbrix-tmp.pdf",
          "/dest/.12-3.imbrix-tmp.pdf", "/dest/.photo.12.imbrix-tmp.pdf",
          "/dest/.photo.12-x.imbrix-tmp.pdf", "/dest/.photo.-3.imbrix-tmp.pdf",
          "/dest/.photo.1-2-3-4.imbrix-tmp.pdf", "/dest/photo.12-3.imbrix-tmp.pdf",
          "/dest/.photo.12-3-h0123.imbrix-tmp.pdf",
          "/dest/.photo.12-3-h0123456789abcdeX.imbrix-tmp.pdf",
          "/dest/.photo.12-h0123456789abcdef.imbrix-tmp.pdf",
          "/dest/.photo.h0123456789abcdef-12-3.imbrix-tmp.pdf", "/.dest.12-3.imbrix-tmp/photo.pdf",
          ""}) {
        EXPECT_EQ(tempFileTarget(path), std::nullopt) << path;
    }
}

// A run removes the temporary files that no run will finish, and only those.
TEST(StaleTempFiles, OnlyFilesOfEndedRunsAreRemoved) {
    ScratchDir dir;
    auto name = [](pid_t pid, const char* rest) {
        return ".photo." + std::to_string(pid) + rest + ".imbrix-tmp.png";
    };
    auto write = [&](const std::string& file) {
        imbrix::test::writeText(dir.path() / file, "x");
        return file;
    };

    // A process that has ended.
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    // A process of this program that runs on: a copy of this test program.
    const pid_t sibling = ::fork();
    ASSERT_GE(sibling, 0);
    if (sibling == 0) {
        ::pause();
        ::_exit(0);
    }
    // A process of another program.
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        ::execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // sleep has replaced the copy

    const std::string ours = write(name(::getpid(), "-1"));
    const std::string endedRun = write(name(ended, "-2"));
    const std::string endedRandom = write(name(ended, "-3-98765"));
    const std::string siblingRun = write(name(sibling, "-4"));
    const std::string otherProgram = write(name(other, "-5"));
    // A live run's file that was given its source's modification time (keep
    // the dates), long before the run started: still the run's.
    const std::string keptDates = write(name(::getpid(), "-6"));
    const timespec longAgo[2] = {{::time(nullptr) - 86400, 0}, {::time(nullptr) - 86400, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir.path() / keptDates).c_str(), longAgo, 0), 0);
    // Another machine's files: its process ids mean nothing here.
    const std::string otherMachine = write(name(ended, "-9-h0123456789abcdef"));
    // This machine's, by the tag a new temporary file gets.
    std::string machineTag;
    {
        const std::string made = extractFileName(TempFile(dir.path().string(), "x", "").path());
        const std::size_t at = made.find("-h");
        ASSERT_NE(at, std::string::npos) << made;
        machineTag = made.substr(at, 18);
    }
    const std::string thisMachine = write(name(ended, ("-10" + machineTag).c_str()));
    // Left alone: not temporary files, or not plain files.
    const std::string userFile = write(".photo.png");
    const std::string lookalike = write(".photo.12x-1.imbrix-tmp.png");
    fs::create_directory(dir.path() / name(ended, "-7"));
    fs::create_symlink(dir.path() / userFile, dir.path() / name(ended, "-8"));

    EXPECT_EQ(removeStaleTempFiles(dir.path().string()), 4u);
    std::vector<std::string> kept = {ours,      siblingRun,        userFile,          keptDates,
                                     lookalike, name(ended, "-7"), name(ended, "-8"), otherMachine};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(folderEntries(dir.path()), kept);
    EXPECT_FALSE(fs::exists(dir.path() / thisMachine));

    // Another machine's file goes once it has not changed for the age given.
    EXPECT_EQ(removeStaleTempFiles(dir.path().string(), std::chrono::seconds(0)), 1u);
    EXPECT_FALSE(fs::exists(dir.path() / otherMachine));
    ::kill(sibling, SIGKILL);
    ::kill(other, SIGKILL);
    ::waitpid(sibling, nullptr, 0);
    ::waitpid(other, nullptr, 0);
    EXPECT_EQ(removeStaleTempFiles((dir.path() / "missing").string()), 0u);
}

// A pid that a new process of this program got after the file was written: the
// file's own run has ended. The new process is given the old pid on purpose
// (clone3 with set_tid, which needs CAP_SYS_ADMIN), and starts a good while
// after the file last changed: the process start time is known to a second.
TEST(StaleTempFiles, PidUsedAgainByALaterRunIsNoOwner) {
    ScratchDir dir;
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    const std::string file = ".photo." + std::to_string(ended) + "-1.imbrix-tmp.png";
    imbrix::test::writeText(dir.path() / file, "x");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));

    clone_args args{};
    pid_t wanted = ended;
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<std::uintptr_t>(&wanted);
    args.set_tid_size = 1;
    const long again = ::syscall(SYS_clone3, &args, sizeof args);
    if (again == 0) {
        ::pause();  // a copy of this program, with the old pid
        ::_exit(0);
    }
    if (again < 0) {
        GTEST_SKIP() << "cannot give a process a chosen pid here: " << std::strerror(errno);
    }
    ASSERT_EQ(again, ended);
    EXPECT_EQ(removeStaleTempFiles(dir.path().string()), 1u);
    EXPECT_FALSE(fs::exists(dir.path() / file));
    ::kill(ended, SIGKILL);
    ::waitpid(ended, nullptr, 0);
}

// Work folders of a process that has ended go, with what they hold; those of
// a live process, and anything that is not a real folder of that naming, stay.
TEST(StaleWorkFolders, OnlyFoldersOfEndedProcessesAreRemoved) {
    ScratchDir dir;
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    const std::string prefix = "work-";
    auto folder = [&](pid_t pid, const char* rest) {
        const std::string name = prefix + std::to_string(pid) + rest;
        fs::create_directories(dir.path() / name / "inner");
        imbrix::test::writeText(dir.path() / name / "inner" / "mid.png", "x");
        return name;
    };
    const std::string endedOne = folder(ended, "-a1B2c3");
    const std::string ours = folder(::getpid(), "-d4E5f6");
    const std::string otherPrefix = "other-" + std::to_string(ended) + "-x";
    fs::create_directory(dir.path() / otherPrefix);
    const std::string noPid = folder(0, "x");  // "work-0x": no dash after the number
    const std::string fileNamed = prefix + std::to_string(ended) + "-file";
    imbrix::test::writeText(dir.path() / fileNamed, "x");
    const std::string linkNamed = prefix + std::to_string(ended) + "-link";
    fs::create_directory_symlink(dir.path() / ours, dir.path() / linkNamed);

    EXPECT_EQ(removeStaleWorkFolders(dir.path().string(), prefix), 1u);
    std::vector<std::string> kept = {ours, otherPrefix, noPid, fileNamed, linkNamed};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(folderEntries(dir.path()), kept);
    EXPECT_TRUE(fs::exists(dir.path() / ours / "inner" / "mid.png"));
    EXPECT_EQ(removeStaleWorkFolders((dir.path() / "missing").string(), prefix), 0u);
}

}  // namespace
}  // namespace imbrix::platform
