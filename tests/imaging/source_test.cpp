// FileBytes: a file's bytes, or a message naming it; its descriptor never stays open.
#include "imaging/source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "decode_testutil.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

// Files that cannot be read: each message names the file and the reason, and
// whatever was opened on the way is closed again.
TEST(FileBytes, UnreadableFilesAreReportedAndLeaveNothingOpen) {
    ScratchDir dir;
    struct Case {
        std::string path;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {dir.file("missing.jpg"), "No such file or directory"},
        {dir.path().string(), "Is a directory"},
        {"/dev/null", "Not a regular file (a device)"},
    };
    const std::size_t before = openDescriptors();
    for (const Case& c : cases) {
        EXPECT_EQ(errorMessage([&] { imaging::FileBytes bytes(c.path); }),
                  "Cannot open file \"" + c.path + "\". " + c.reason);
        EXPECT_EQ(openDescriptors(), before) << c.path;
    }
}

TEST(FileBytes, ReadsTheWholeFileAndClosesIt) {
    ScratchDir dir;
    const std::string empty = dir.file("empty.png");
    writeText(empty, "");
    const fs::path photo = corpusFile("photos/jpeg-variants/Bush-dog.jpg");
    const std::vector<std::uint8_t> expected = readBytes(photo);

    const std::size_t before = openDescriptors();
    {
        const imaging::FileBytes file(photo.string());
        EXPECT_EQ(openDescriptors(), before) << "the mapping needs no open descriptor";
        const imaging::Bytes bytes = file.bytes();
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), expected);
        EXPECT_TRUE(imaging::FileBytes(empty).bytes().empty());
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace imbrix::test
