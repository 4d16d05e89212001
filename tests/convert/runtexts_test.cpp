// The end report's texts and figures.
#include "convert/runtexts.h"

#include <gtest/gtest.h>

#include "convert/run.h"

namespace imbrix::convert {
namespace {

TEST(SizeToText, UnitsAndRounding) {
    struct Case {
        std::int64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 bytes"},
        {1, "1 bytes"},
        {1024, "1024 bytes"},
        {1025, "1 KB"},
        {1536, "1.5 KB"},
        {1029, "1 KB"},     // 1.0048828 rounds to 1.00: trailing zeros and separator dropped
        {1034, "1.01 KB"},  // 1.0097656
        {1048576, "1024 KB"},
        {1048577, "1 MB"},
        {1572864, "1.5 MB"},
        {1073741824, "1024 MB"},
        {1073741825, "1 GB"},
        {5368709120, "5 GB"},
        {1099511627776, "1024 GB"},
        // 1.125 KB is exactly half way: halves go away from zero.
        {1152, "1.13 KB"},
        // 1.995 KB and more round up into the next whole number.
        {2043, "2 KB"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SizeToText(c.bytes), c.text) << c.bytes;
    }
}

TEST(SizeToText, UsesTheLocaleSeparator) {
    EXPECT_EQ(SizeToText(1536, ","), "1,5 KB");
    EXPECT_EQ(SizeToText(2048, ","), "2 KB");
}

TEST(Percentage, RoundsHalvesToEven) {
    struct Case {
        std::int64_t difference, input;
        int percent;
    };
    const Case cases[] = {
        {25, 1000, 2},
        {35, 1000, 4},
        {-25, 1000, -2},
        {-35, 1000, -4},
        {15, 1000, 2},
        {5, 1000, 0},
        {0, 1000, 0},
        {374, 1000, 37},
        {-2000, 1000, -200},  // outputs three times
                              // the sources
        {10, 0, 0},
        {10, -5, 0},
        {1, 3, 33},
        {2, 3, 67},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(roundedPercentage(c.difference, c.input), c.percent)
            << c.difference << " of " << c.input;
    }
}

TEST(TimeText, ThreeDecimalsNeverMinutes) {
    EXPECT_EQ(TimeText(2047), "2.047 seconds");
    EXPECT_EQ(TimeText(0), "0.000 seconds");
    EXPECT_EQ(TimeText(5), "0.005 seconds");
    EXPECT_EQ(TimeText(65000), "65.000 seconds");
    EXPECT_EQ(TimeText(4294967295u), "4294967.295 seconds");
    EXPECT_EQ(TimeText(1250, ","), "1,250 seconds");
}

TEST(DiskSpaceText, CaptionSignAndPercentage) {
    DiskSpaceText saved = diskSpaceText(4096, 2560);
    EXPECT_EQ(saved.caption, "Saved Disk Space:");
    EXPECT_EQ(saved.value, "1.5 KB (38%)");  // 37.5 to the even neighbour

    DiskSpaceText same = diskSpaceText(5000, 5000);
    EXPECT_EQ(same.caption, "Saved Disk Space:");
    EXPECT_EQ(same.value, "0 bytes (0%)");

    DiskSpaceText grown = diskSpaceText(1000, 3000);
    EXPECT_EQ(grown.caption, "Increased Disk Space:");
    EXPECT_EQ(grown.value, "1.95 KB (200%)");

    DiskSpaceText nothingRead = diskSpaceText(0, 700);
    EXPECT_EQ(nothingRead.caption, "Increased Disk Space:");
    EXPECT_EQ(nothingRead.value, "700 bytes (0%)");
}

TEST(FailureMessage, JpegError53GetsTheExplanation) {
    EXPECT_EQ(failureMessage("JPEG error #53"),
              "JPEG error #53\r\rUnknown file format, empty/damaged file!");
    EXPECT_EQ(failureMessage("JPEG error #530"), "JPEG error #530");
    EXPECT_EQ(failureMessage("JPEG error #42"), "JPEG error #42");
    EXPECT_EQ(failureMessage(""), "");
}

// The failed files' list of the result window's details: each path, then its
// message indented line by line, whatever ends the lines.
TEST(FailedFilesText, ListsEachFailedFileWithItsMessageIndented) {
    EXPECT_EQ(failedFilesText({}), "");
    const auto outcome = [](std::string source, std::string output, std::string error,
                            bool skipped) {
        FileOutcome file;
        file.source = std::move(source);
        file.output = std::move(output);
        file.error = std::move(error);
        file.skipped = skipped;
        return file;
    };
    EXPECT_EQ(failedFilesText(
                  {outcome("/a.png", "/a.webp", "", false), outcome("/b.png", "/b.png", "", true)}),
              "")
        << "converted and skipped files are not listed";
    const std::vector<FileOutcome> files = {
        outcome("/in/x y.jpg", "", failureMessage("JPEG error #53"), false),
        outcome("/in/ok.png", "/out/ok.png", "", false),
        outcome("/in/two.tif", "", "first line\r\nsecond line\nthird\r", false),
    };
    EXPECT_EQ(failedFilesText(files),
              "/in/x y.jpg\n"
              "    JPEG error #53\n"
              "\n"
              "    Unknown file format, empty/damaged file!\n"
              "\n"
              "/in/two.tif\n"
              "    first line\n"
              "    second line\n"
              "    third\n"
              "\n");
}

}  // namespace
}  // namespace imbrix::convert
