// FileBytes: a file's bytes, or a message naming it; its descriptor never stays open.
#include "imaging/source.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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
// whatever was opened on the way is closed again. A named pipe without a
// writer would block open() and read() for good: each case runs in a child
// process with a deadline, so a regression fails here instead of hanging.
TEST(FileBytes, UnreadableFilesAreReportedAndLeaveNothingOpen) {
    ScratchDir dir;
    const std::string fifo = dir.file("pipe.jpg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = dir.file("socket.png");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    // A sparse file one byte over the limit: refused before anything is read.
    const std::string huge = dir.file("huge.bmp");
    { std::ofstream{huge}; }
    fs::resize_file(huge, imaging::kMaxFileBytes + 1);

    struct Case {
        std::string path;
        std::string message;  // after "Cannot open file \"<path>\". "
    };
    const std::vector<Case> cases = {
        {dir.file("missing.jpg"), "No such file or directory"},
        {dir.path().string(), "Is a directory"},
        {"/dev/null", "Not a regular file (a device)"},
        {fifo, "Not a regular file (a named pipe)"},
        {socketPath, "Not a regular file (a socket)"},
        {huge, "The file is too large (2147483649 bytes, at most 2147483648)"},
    };
    for (const Case& c : cases) {
        const ChildResult result = runInChild(
            [&c] {
                const std::size_t before = openDescriptors();
                std::string text = errorMessage([&] { imaging::FileBytes bytes(c.path); });
                if (openDescriptors() != before) {
                    text += " (a descriptor was left open)";
                }
                return text;
            },
            10);
        EXPECT_TRUE(result.finished)
            << c.path << ": hung or crashed (signal " << result.signal << ")";
        EXPECT_EQ(result.text, "Cannot open file \"" + c.path + "\". " + c.message);
    }
    ::close(sock);
}

// A file whose length is not what fstat said when it was opened: kernel files
// are the ones that do it every time (a sysfs file says 4096 bytes and holds
// fewer, a /proc file says 0 and holds some). No partial file is decoded.
TEST(FileBytes, FileOfAnotherSizeThanItSaidFails) {
    for (const std::string path :
         {"/sys/kernel/mm/transparent_hugepage/enabled", "/proc/self/status"}) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;  // not on this system
        }
        EXPECT_EQ(errorMessage([&] { imaging::FileBytes bytes(path); }),
                  "Cannot read file \"" + path + "\". The file changed while it was read");
    }
}

// The bytes belong to FileBytes: the file cut to nothing while its picture is
// decoded changes nothing (a mapping would have killed the process with
// SIGBUS). Run in a child so that such a regression fails only this test.
TEST(FileBytes, FileTruncatedDuringTheDecodeCannotHurtIt) {
    ScratchDir dir;
    const std::string path = dir.file("photo.jpg");
    writeBytes(path, readBytes(corpusFile("photos/jpeg-variants/Bush-dog.jpg")));
    const ChildResult result = runInChild(
        [&path] {
            const imaging::FileBytes file(path);
            fs::resize_file(path, 0);
            const imaging::Raster picture = imaging::decodeWithPictureLoader("jpg", file.bytes());
            return std::to_string(picture.width()) + "x" + std::to_string(picture.height());
        },
        30);
    EXPECT_TRUE(result.finished) << "signal " << result.signal;
    EXPECT_EQ(result.text, "400x398");
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
        EXPECT_EQ(openDescriptors(), before) << "the descriptor is closed once the file is read";
        const imaging::Bytes bytes = file.bytes();
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), expected);
        EXPECT_TRUE(imaging::FileBytes(empty).bytes().empty());
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace imbrix::test
