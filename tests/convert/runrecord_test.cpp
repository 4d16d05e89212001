// The JSON record of a run: every name comes back exactly, through Python's
// json and base64 modules, and the failed files are read back from it.
#include "convert/runrecord.h"

#include <gtest/gtest.h>

#include "common/recordrows.h"
#include "common/testsupport.h"

namespace imbrix::convert {
namespace {

FileOutcome converted(const std::string& source, const std::string& output) {
    FileOutcome outcome;
    outcome.source = source;
    outcome.output = output;
    outcome.bytesIn = 1234;
    outcome.bytesOut = 567;
    outcome.elapsedMs = 89;
    return outcome;
}

// Names as file systems hold them: quotes, backslashes, control characters,
// every length of UTF-8, and bytes that are no UTF-8 at all.
TEST(RunRecord, EveryNameComesBackExactly) {
    const std::vector<std::string> names = {
        "plain.jpg",
        "quote\"back\\slash.png",
        "control\x01\x1f\x7f.png",
        "tab\tline\nfeed\rreturn.png",
        "\xC3\xA9t\xC3\xA9 \xE5\x9B\xBE\xE7\x89\x87 \xF0\x9F\x93\xB7.jpg",
        "latin1 caf\xE9.jpg",           // a lone byte from an older system
        "overlong \xC0\xAF.png",        // '/' in two bytes
        "surrogate \xED\xA0\x80.png",   // UTF-16 half
        "beyond \xF4\x90\x80\x80.png",  // above U+10FFFF
        "cut \xE2\x82.png",             // a sequence that stops short
        "\xFF\xFE",
        "\xE2\x80\xA8separator.png",  // U+2028: valid, passed as it is
    };
    test::ScratchDir dir;
    std::string record;
    for (const std::string& name : names) {
        FileOutcome outcome = converted("/in/" + name, "/out/" + name + ".webp");
        outcome.baseFolder = "/in/\xFF";
        record += recordLine(outcome);
    }
    test::writeText(dir.path() / "record.jsonl", record);
    const std::vector<test::RecordRow> rows = test::readRecord(dir.path() / "record.jsonl");
    ASSERT_EQ(rows.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].status, "converted");
        EXPECT_EQ(rows[i].source, "/in/" + names[i]);
        EXPECT_EQ(rows[i].output, "/out/" + names[i] + ".webp");
        EXPECT_EQ(rows[i].baseFolder, "/in/\xFF");
        EXPECT_EQ(rows[i].bytesIn, 1234);
        EXPECT_EQ(rows[i].bytesOut, 567);
        EXPECT_EQ(rows[i].ms, 89);
    }
    // One line each: no raw control character inside a line.
    for (char c : record) {
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
    }
}

TEST(RunRecord, StatusesAndTheirFields) {
    FileOutcome failed;
    failed.source = "gone.jpg";
    failed.error = "JPEG error #53\r\rUnknown file format, empty/damaged file!";
    FileOutcome skipped = converted("a.png", "out/a.webp");
    skipped.skipped = true;
    skipped.bytesOut = 0;
    test::ScratchDir dir;
    test::writeText(dir.path() / "record.jsonl", recordLine(converted("a.png", "out/a (2).webp")) +
                                                     recordLine(failed) + recordLine(skipped));
    const std::vector<test::RecordRow> rows = test::readRecord(dir.path() / "record.jsonl");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].status, "converted");
    EXPECT_EQ(rows[0].output, "out/a (2).webp");
    EXPECT_FALSE(rows[0].baseFolder);
    EXPECT_EQ(rows[1].status, "failed");
    EXPECT_EQ(rows[1].error, failed.error);
    EXPECT_FALSE(rows[1].output);
    EXPECT_FALSE(rows[1].bytesIn);  // null: the source was not found
    EXPECT_EQ(rows[2].status, "skipped");
    EXPECT_EQ(rows[2].output, "out/a.webp");
}

TEST(RunRecord, Utf8Validity) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"ascii", true},
        {"\xC2\x80", true},
        {"\xDF\xBF", true},
        {"\xE0\xA0\x80", true},
        {"\xED\x9F\xBF", true},
        {"\xEE\x80\x80", true},
        {"\xF0\x90\x80\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\x80", false},
        {"\xC1\xBF", false},
        {"\xE0\x9F\xBF", false},
        {"\xED\xA0\x80", false},
        {"\xF0\x8F\xBF\xBF", false},
        {"\xF4\x90\x80\x80", false},
        {"\xF5\x80\x80\x80", false},
        {"\xE2\x82", false},
        {"\xE2\x82x", false},
        {"\xC3", false},
    };
    for (const auto& [text, valid] : cases) {
        std::string shown;
        for (unsigned char c : text) {
            shown += std::to_string(c) + " ";
        }
        EXPECT_EQ(isValidUtf8(text), valid) << shown;
    }
}

TEST(RunRecord, Base64) {
    for (const std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
    }
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");  // RFC 4648's vectors
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("\xFF\xFE"), "//4=");
    for (const char* bad : {"Zm8", "Zm=8", "Z===", "Zm9v!mFy", "Zg==Zg==", "===="}) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

// The failed files of a record, in its order, with exact names and base
// folders; lines that are no record's are reported and passed over.
TEST(RunRecord, FailedFilesAreReadBack) {
    FileOutcome first;
    first.source = "in/sub/bad \xFF.jpg";
    first.baseFolder = "in";
    first.error = "failed";
    FileOutcome second;
    second.source = "-dash.png";
    second.error = "failed too";
    FileOutcome skipped = converted("c.png", "out/c.webp");
    skipped.skipped = true;

    test::ScratchDir dir;
    const std::string record = dir.file("record.jsonl");
    test::writeText(record, recordLine(converted("a.png", "out/a.webp")) + recordLine(first) +
                                "\n" + "not json\n" + recordLine(skipped) +
                                R"({"source":"x.png"})" + "\n" +
                                R"({"status":"failed","source_bytes":"@@"})" + "\n" +
                                R"({"status":"failed"})" + "\n" + recordLine(second) + "[1,2]\n");
    FailedFilesReader reader(record);
    std::vector<SourceFile> files;
    std::vector<std::string> problems;
    while (std::optional<FailedFilesReader::Entry> entry = reader.next()) {
        if (entry->problem.empty()) {
            files.push_back(entry->file);
        } else {
            problems.push_back(entry->problem);
        }
    }
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path, first.source);
    EXPECT_EQ(files[0].baseFolder, "in");
    EXPECT_EQ(files[1].path, "-dash.png");
    EXPECT_EQ(files[1].baseFolder, "");
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "line 4 of " + record + " is no JSON object",
                            "line 6 of " + record + " has no \"status\"",
                            "line 7 of " + record + ": \"source_bytes\" is not base64",
                            "line 8 of " + record + " has no \"source\"",
                            "line 10 of " + record + " is no JSON object",
                        }));

    EXPECT_THROW(FailedFilesReader(dir.file("missing.jsonl")), PathListError);
}

}  // namespace
}  // namespace imbrix::convert
