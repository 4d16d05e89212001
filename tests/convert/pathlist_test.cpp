// Lists of paths read as a stream: one per line or NUL-separated, awkward
// names as they are, problems reported per entry, a list never held whole.
#include "convert/pathlist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "common/testsupport.h"

namespace imbrix::convert {
namespace {

using Separator = PathListReader::Separator;

struct Read {
    std::vector<std::string> paths;
    std::vector<std::string> problems;
    std::vector<std::size_t> numbers;
};

Read readAll(PathListReader& reader) {
    Read read;
    while (std::optional<PathListReader::Entry> entry = reader.next()) {
        if (entry->problem.empty()) {
            read.paths.push_back(entry->path);
            read.numbers.push_back(entry->number);
        } else {
            read.problems.push_back(entry->problem);
        }
    }
    return read;
}

Read readText(const std::string& text, Separator separator) {
    test::ScratchDir dir;
    const std::string list = dir.file("list");
    test::writeText(list, text);
    PathListReader reader(list, separator);
    return readAll(reader);
}

TEST(PathList, LinesKeepEveryByteOfTheirNames) {
    const Read read = readText(
        "a.jpg\n"
        "with blanks  .png\n"
        "\n"
        "-dhijack.png\n"
        "--help\n"
        " leading blank.tif\r\n"
        "Z\xC3\xBCrich/\xFF.jpg\n"
        "last without end.webp",
        Separator::Newline);
    EXPECT_EQ(read.paths,
              (std::vector<std::string>{"a.jpg", "with blanks  .png", "-dhijack.png", "--help",
                                        " leading blank.tif\r", "Z\xC3\xBCrich/\xFF.jpg",
                                        "last without end.webp"}));
    // The empty line counts: numbers are line numbers.
    EXPECT_EQ(read.numbers, (std::vector<std::size_t>{1, 2, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(read.problems.empty());
}

TEST(PathList, NulSeparatedNamesMayHoldLineBreaks) {
    const char text[] = "one\ntwo.png\0\0-x.jpg\0tab\there.png\0";
    const Read read = readText(std::string(text, sizeof text - 1), Separator::Nul);
    EXPECT_EQ(read.paths, (std::vector<std::string>{"one\ntwo.png", "-x.jpg", "tab\there.png"}));
    EXPECT_TRUE(read.problems.empty());
}

// The usual mistake, find -print0 without --null, and an entry longer than a
// path can be: each is reported once, and the entries after it are read.
TEST(PathList, BadEntriesAreReportedAndReadingGoesOn) {
    const char nul[] = "a.png\0b.png\nc.png\n";
    Read read = readText(std::string(nul, sizeof nul - 1), Separator::Newline);
    EXPECT_EQ(read.paths, std::vector<std::string>{"c.png"});
    ASSERT_EQ(read.problems.size(), 1u);
    EXPECT_NE(read.problems[0].find("line 1 of the list"), std::string::npos) << read.problems[0];
    EXPECT_NE(read.problems[0].find("holds a zero byte"), std::string::npos);
    EXPECT_NE(read.problems[0].find("needs --null"), std::string::npos);

    // Longer than the block read at once, too: the rest of it is passed over.
    const std::string huge(200'000, 'x');
    read = readText("first.png\n" + huge + "\nafter.png\n" + std::string(4095, 'y') + "\n",
                    Separator::Newline);
    EXPECT_EQ(read.paths,
              (std::vector<std::string>{"first.png", "after.png", std::string(4095, 'y')}));
    ASSERT_EQ(read.problems.size(), 1u);
    EXPECT_NE(read.problems[0].find("line 2 of the list"), std::string::npos) << read.problems[0];
    EXPECT_NE(read.problems[0].find("is longer than 4095 bytes"), std::string::npos);

    read = readText(std::string(4096, 'z'), Separator::Nul);
    EXPECT_TRUE(read.paths.empty());
    ASSERT_EQ(read.problems.size(), 1u);
    EXPECT_NE(read.problems[0].find("entry 1 of the list"), std::string::npos) << read.problems[0];
}

TEST(PathList, ListThatCannotBeOpenedSaysWhy) {
    test::ScratchDir dir;
    const struct {
        std::string name;
        const char* reason;
    } cases[] = {{dir.file("missing"), "No such file or directory"},
                 {dir.path().string(), "Is a directory"}};
    for (const auto& c : cases) {
        try {
            PathListReader reader(c.name, Separator::Newline);
            ADD_FAILURE() << "opened " << c.name;
        } catch (const PathListError& e) {
            EXPECT_EQ(std::string(e.what()), "cannot read the list " + c.name + ": " + c.reason);
        }
    }
}

// A list is read as it comes: the first path is there while its writer (a
// find that is still walking) has not finished.
TEST(PathList, PathsComeBeforeTheListEnds) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    PathListReader reader("/proc/self/fd/" + std::to_string(fds[0]), Separator::Newline);
    ::close(fds[0]);  // the reader opened its own
    ASSERT_EQ(::write(fds[1], "first.png\nsecond", 16), 16);
    std::optional<PathListReader::Entry> entry = reader.next();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->path, "first.png");

    std::thread writer([fd = fds[1]] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(::write(fd, ".png\n", 5), 5);
        ::close(fd);
    });
    entry = reader.next();  // waits for the rest of the line
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->path, "second.png");
    EXPECT_FALSE(reader.next());
    writer.join();
}

}  // namespace
}  // namespace imbrix::convert
