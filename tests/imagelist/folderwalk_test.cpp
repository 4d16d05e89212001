// The folder walk: what it finds, in which shape, and that it always ends.
#include "imagelist/folderwalk.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testsupport.h"

namespace fs = std::filesystem;
using imbrix::test::ScratchDir;

namespace imbrix::imagelist {
namespace {

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    imbrix::test::writeText(path, "");
}

// A small tree with supported and other files, hidden entries and nesting:
//   a.png  B.JPG  notes.txt  .hidden.webp  noext
//   sub/c.gif  sub/d.pdf  sub/deeper/e.heic  sub/deeper/f.tiff
//   other.png/g.bmp   (a folder whose name looks like an image)
class WalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name :
             {"a.png", "B.JPG", "notes.txt", ".hidden.webp", "noext", "sub/c.gif", "sub/d.pdf",
              "sub/deeper/e.heic", "sub/deeper/f.tiff", "other.png/g.bmp"}) {
            touch(dir.path() / name);
        }
    }

    std::vector<std::string> walk(const std::string& folder, bool subfolders) {
        std::vector<std::string> found;
        const bool finished = AddAllFilesInDir(
            folder, [subfolders] { return subfolders; },
            [&](const std::string& path) {
                found.push_back(path);
                return true;
            });
        EXPECT_TRUE(finished);
        return found;
    }

    std::vector<std::string> sorted(std::vector<std::string> paths) {
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    std::string root() const { return dir.path().string(); }

    ScratchDir dir;
};

TEST_F(WalkTest, FindsSupportedFilesWithAndWithoutSubfolders) {
    const std::string r = root();
    EXPECT_EQ(sorted(walk(r, false)), sorted({r + "/.hidden.webp", r + "/B.JPG", r + "/a.png"}));
    EXPECT_EQ(sorted(walk(r, true)),
              sorted({r + "/.hidden.webp", r + "/B.JPG", r + "/a.png", r + "/sub/c.gif",
                      r + "/sub/deeper/e.heic", r + "/sub/deeper/f.tiff", r + "/other.png/g.bmp"}));
    // A folder given with its trailing '/' gets no second one.
    EXPECT_EQ(sorted(walk(r + "/", false)),
              sorted({r + "/.hidden.webp", r + "/B.JPG", r + "/a.png"}));
}

// Every entry found carries the folder that was walked, as it was given, so that
// the run can put it at the same place below the destination; the same walk,
// the same order, and a stop ends it as it ends the plain walk.
TEST_F(WalkTest, EntriesCarryTheWalkedFolderAsTheirBase) {
    for (const std::string& base : {root(), root() + "/", root() + "/sub"}) {
        SCOPED_TRACE(base);
        std::vector<TMyRecord> entries;
        EXPECT_TRUE(AddFolderEntries(
            base, [] { return true; },
            [&](TMyRecord entry) {
                entries.push_back(std::move(entry));
                return true;
            }));
        std::vector<std::string> paths;
        for (const TMyRecord& entry : entries) {
            EXPECT_EQ(entry.BaseFolder, base) << entry.FName;
            EXPECT_EQ(entry.FImageIndex, 0);
            paths.push_back(entry.FName);
        }
        EXPECT_EQ(paths, walk(base, true));
    }
    int calls = 0;
    EXPECT_FALSE(AddFolderEntries(
        root(), [] { return true; }, [&](TMyRecord) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

// One interleaved depth-first pass: all files under a subfolder come in one run,
// without files of its parent in between.
TEST_F(WalkTest, SubfoldersAreWalkedInPlace) {
    const std::vector<std::string> found = walk(root(), true);
    for (const std::string& folder :
         {root() + "/sub/", root() + "/sub/deeper/", root() + "/other.png/"}) {
        std::vector<std::size_t> positions;
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (found[i].rfind(folder, 0) == 0) {
                positions.push_back(i);
            }
        }
        ASSERT_FALSE(positions.empty()) << folder;
        EXPECT_EQ(positions.back() - positions.front() + 1, positions.size()) << folder;
    }
}

// The subfolder switch is asked each time a subfolder is met, so turning it off
// in the middle of a walk takes effect at once.
TEST_F(WalkTest, SubfolderSwitchIsAskedAtThatMoment) {
    int asked = 0;
    std::vector<std::string> found;
    AddAllFilesInDir(
        root(), [&] { return ++asked == 1; },
        [&](const std::string& path) {
            found.push_back(path);
            return true;
        });
    // Only the first subfolder met at the top is walked, and its own subfolders
    // are then refused: at most one level below the top appears.
    EXPECT_GE(asked, 2);
    for (const std::string& path : found) {
        EXPECT_EQ(path.find("/deeper/"), std::string::npos) << path;
    }
}

TEST_F(WalkTest, StopsWhenAskedTo) {
    int calls = 0;
    EXPECT_FALSE(AddAllFilesInDir(
        root(), [] { return true; }, [&](const std::string&) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3);

    std::stop_source source;
    calls = 0;
    EXPECT_FALSE(AddAllFilesInDir(
        root(), [] { return true; },
        [&](const std::string&) {
            ++calls;
            source.request_stop();
            return true;
        },
        source.get_token()));
    EXPECT_EQ(calls, 1);
}

TEST_F(WalkTest, LinkLoopsEndAndOtherLinksAreFollowed) {
    const std::string r = root();
    fs::create_directory_symlink(r, r + "/sub/deeper/back-to-top");
    fs::create_directory_symlink(".", r + "/sub/self");
    ScratchDir outside;
    touch(outside.path() / "x.png");
    fs::create_directory_symlink(outside.path(), r + "/elsewhere");
    fs::create_symlink(outside.path() / "x.png", r + "/linked.png");
    fs::create_symlink(r + "/missing.png", r + "/dangling.png");

    const std::vector<std::string> found = walk(r, true);
    EXPECT_EQ(sorted(found),
              sorted({r + "/.hidden.webp", r + "/B.JPG", r + "/a.png", r + "/sub/c.gif",
                      r + "/sub/deeper/e.heic", r + "/sub/deeper/f.tiff", r + "/other.png/g.bmp",
                      r + "/elsewhere/x.png", r + "/linked.png", r + "/dangling.png"}));
}

// Folders that link twice to the next one, ten levels deep: 1,024 paths lead to
// the deepest folder, yet each real folder is walked once and each file listed
// once, under the first path (in name order) that reaches it.
TEST(WalkLinks, FanOutLinksListEachFileOnce) {
    ScratchDir dir;
    constexpr int kLevels = 10;
    std::vector<std::string> expected;
    std::string firstPath = dir.path().string();
    for (int level = 0; level <= kLevels; ++level) {
        const fs::path folder = dir.path() / ("d" + std::to_string(level));
        touch(folder / ("f" + std::to_string(level) + ".png"));
        if (level < kLevels) {
            for (const char* link : {"a", "b"}) {
                fs::create_directory_symlink("../d" + std::to_string(level + 1), folder / link);
            }
        }
    }
    std::vector<std::string> found;
    ASSERT_TRUE(AddAllFilesInDir((dir.path() / "d0").string(), [] { return true; },
                                 [&](const std::string& path) {
                                     found.push_back(path);
                                     return true;
                                 }));
    std::string path = (dir.path() / "d0").string();
    for (int level = 0; level <= kLevels; ++level) {
        expected.push_back(path + "/f" + std::to_string(level) + ".png");
        path += "/a";
    }
    std::reverse(expected.begin(), expected.end());  // "a" comes before "f<n>.png"
    EXPECT_EQ(found, expected);
}

// The temporary files of a conversion (a killed run's, or one going on) are never
// taken as sources; hidden files that only look alike still are.
TEST_F(WalkTest, TemporaryFilesOfTheProgramAreNotAdded) {
    for (const char* name : {".a.123-4.imbrix-tmp.png", ".photo.jpg.99-1-12345.imbrix-tmp.webp",
                             ".decode.7-2.imbrix-tmp.png"}) {
        touch(dir.path() / name);
    }
    touch(dir.path() / ".b.12x-3.imbrix-tmp.png");  // no process tag: a user's file
    EXPECT_EQ(sorted(walk(root(), false)),
              sorted({root() + "/.b.12x-3.imbrix-tmp.png", root() + "/.hidden.webp",
                      root() + "/B.JPG", root() + "/a.png"}));
}

TEST_F(WalkTest, SpecialFilesAreNotAdded) {
    ASSERT_EQ(::mkfifo((root() + "/pipe.png").c_str(), 0600), 0);
    const std::vector<std::string> found = walk(root(), false);
    EXPECT_EQ(std::count(found.begin(), found.end(), root() + "/pipe.png"), 0);
    EXPECT_EQ(found.size(), 3u);
}

TEST_F(WalkTest, NoFolderAddsNothingQuietly) {
    EXPECT_TRUE(walk(root() + "/missing", true).empty());
    EXPECT_TRUE(walk(root() + "/a.png", true).empty());  // a file, not a folder
}

TEST_F(WalkTest, UnreadableSubfolderIsSkipped) {
    const std::string locked = root() + "/sub";
    fs::permissions(locked, fs::perms::none);
    if (DIR* probe = ::opendir(locked.c_str())) {
        ::closedir(probe);
        fs::permissions(locked, fs::perms::owner_all);
        GTEST_SKIP() << "running with privileges that ignore folder permissions (root)";
    }
    const std::vector<std::string> found = walk(root(), true);
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(sorted(found), sorted({root() + "/.hidden.webp", root() + "/B.JPG", root() + "/a.png",
                                     root() + "/other.png/g.bmp"}));
}

// The process's open descriptors, as the system lists them.
std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

// A callback that throws deep in the tree (out of memory, say) ends the walk,
// and every folder it had open is closed again.
TEST_F(WalkTest, ThrowingCallbackLeavesNoFolderOpen) {
    const std::size_t before = openDescriptors();
    EXPECT_THROW(AddAllFilesInDir(
                     root(), [] { return true; },
                     [](const std::string& path) {
                         if (path.find("/deeper/") != std::string::npos) {
                             throw std::runtime_error("stop");
                         }
                         return true;
                     }),
                 std::runtime_error);
    EXPECT_EQ(openDescriptors(), before);
}

// Names in the order a user sees them listed, whatever order the file system
// keeps them in: created here in a scrambled order, in mixed case, with
// subfolders between the files.
TEST(WalkOrder, EachFolderIsWalkedInNameOrder) {
    ScratchDir dir;
    const std::string r = dir.path().string();
    for (const char* name : {"delta.png", "Bravo/z.gif", "charlie.JPG", "bravo.webp", "Alpha.png",
                             "echo/B.png", "echo/a.png", "a_z.png", "aa.png", "Bravo/Y.gif",
                             "img10.png", "img9.png", "Bravo/x.gif"}) {
        touch(dir.path() / name);
    }
    std::vector<std::string> found;
    EXPECT_TRUE(AddAllFilesInDir(
        r, [] { return true; },
        [&](const std::string& path) {
            found.push_back(path.substr(r.size() + 1));
            return true;
        }));
    const std::vector<std::string> expected = {
        "aa.png",      "Alpha.png",  "a_z.png",     "Bravo/x.gif", "Bravo/Y.gif",
        "Bravo/z.gif", "bravo.webp", "charlie.JPG", "delta.png",   "echo/a.png",
        "echo/B.png",  "img10.png",  "img9.png"};
    EXPECT_EQ(found, expected);
}

TEST(WalkOrder, FolderNameOrderRules) {
    const std::string invalid = "caf\xe9.png";  // Latin-1 bytes, not UTF-8
    struct Case {
        std::string first;
        std::string second;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"Alpha.png", "bravo.png", "case is ignored"},
        {"alpha.png", "Bravo.png", "case is ignored"},
        {"A.png", "a.png", "names equal but for case go by their bytes"},
        {"aab.png", "a_b.png", "letters compare upper-cased, so '_' follows them"},
        {"a.png", "a.png.bak", "the shorter name first"},
        {"img10.png", "img9.png", "digits are plain characters"},
        {"zulu.png", "\u00e9t\u00e9.png", "other letters after the ASCII ones"},
        {"\u00e9a.png", "\u00c9b.png", "accented letters are upper-cased too"},
        {"\u00c9t\u00e9.png", "\u00e9t\u00e9.png", "accented ties go by their bytes"},
        {"caf\u00e9.png", invalid, "a byte that is not UTF-8 after every character"},
        {"caf\U0001F600.png", invalid, "a byte that is not UTF-8 after every character"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(FolderNameLess(c.first, c.second))
            << c.first << " < " << c.second << ": " << c.why;
        EXPECT_FALSE(FolderNameLess(c.second, c.first))
            << c.second << " < " << c.first << ": " << c.why;
    }
    EXPECT_FALSE(FolderNameLess("same.png", "same.png"));
    EXPECT_FALSE(FolderNameLess(invalid, invalid));
}

TEST(WalkLarge, TenThousandFiles) {
    ScratchDir dir;
    for (int i = 0; i < 10000; ++i) {
        touch(dir.path() / ("sub" + std::to_string(i % 10)) /
              ("img" + std::to_string(i) + (i % 2 == 0 ? ".jpg" : ".png")));
    }
    touch(dir.path() / "readme.txt");
    std::size_t count = 0;
    EXPECT_TRUE(AddAllFilesInDir(
        dir.path().string(), [] { return true; },
        [&](const std::string&) {
            ++count;
            return true;
        }));
    EXPECT_EQ(count, 10000u);
}

}  // namespace
}  // namespace imbrix::imagelist
