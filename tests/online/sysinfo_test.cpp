// Field values and reply reading of the service requests.
#include "online/sysinfo.h"

#include <gtest/gtest.h>

#include <regex>

#include "common/testsupport.h"

namespace imbrix::online {
namespace {

TEST(MD5Hex, KnownDigestsInUpperCase) {
    // RFC 1321 test suite.
    const std::pair<const char*, const char*> cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& [text, digest] : cases) {
        EXPECT_EQ(MD5Hex(text), digest) << text;
    }
}

TEST(MD5Hex, CharactersOutsideAsciiCountAsQuestionMarks) {
    EXPECT_EQ(MD5Hex("caf\xC3\xA9"), MD5Hex("caf?"));  // two-byte character
    EXPECT_EQ(MD5Hex("\xE2\x82\xAC"
                     "1"),
              MD5Hex("?1"));  // three-byte character
    EXPECT_NE(MD5Hex("KELVANE - Imbrix"), MD5Hex("KELVANE - imbrix"));
}

TEST(TagValue, WholeLineElementsOnly) {
    struct Case {
        const char* line;
        const char* tag;
        const char* value;
    };
    const Case cases[] = {
        {"<version>2.4</version>", "version", "2.4"},
        {"<version>2.4</version>", "VERSION", "2.4"},  // the tag name is lower-cased
        {"<url>https://a.example/d?x=1</url>", "url", "https://a.example/d?x=1"},
        {"<important> spaced </important>", "important", " spaced "},
        {" <version>2.4</version>", "version", ""},  // blank in front
        {"<version>2.4</version> ", "version", ""},  // blank behind
        {"<version>2.4", "version", ""},             // no closing tag
        {"<VERSION>2.4</VERSION>", "version", ""},   // the line is not lower-cased
        {"<version></version>", "version", ""},
        {"<version>", "version", ""},  // shorter than both tags
        {"<version a=\"1\">2.4</version>", "version", ""},
        {"", "version", ""},
        {"<version>2.4</version>", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TagValue(c.line, c.tag), c.value) << c.line << " / " << c.tag;
    }
}

TEST(SplitLines, CrLfAndCrLfAllEndALine) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(SplitLines(""), Lines{});
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLines("a\n\nb\r\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(SplitLines("\r\n\r\n"), (Lines{"", ""}));
    EXPECT_EQ(SplitLines("a\n\r"), (Lines{"a", ""}));  // LF then CR: two line ends
}

TEST(TrimBlanks, RemovesBlanksAndControlCharactersAtBothEnds) {
    EXPECT_EQ(TrimBlanks(" \t\r\n OK \r\n\x01"), "OK");
    EXPECT_EQ(TrimBlanks("a b"), "a b");
    EXPECT_EQ(TrimBlanks(" \r\n "), "");
}

class MachineGuid : public ::testing::Test {
protected:
    test::ScratchDir dir;
    std::string idFile = dir.file("machine-id");
};

TEST_F(MachineGuid, DerivedFromTheMachineIdNeverTheIdItself) {
    const std::string rawId = "4c4c4544003a4b10805ab4c04f4d3132";
    test::writeText(idFile, rawId + "\n");
    const std::string guid = GetMachineGuid(idFile);
    EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                                  "[0-9a-f]{12}")))
        << guid;
    std::string digits = guid;
    std::erase(digits, '-');
    EXPECT_NE(digits, rawId);
    EXPECT_EQ(rawId.find(digits.substr(0, 8)), std::string::npos);

    // Stable, also when the file is written in capitals or without a line break.
    EXPECT_EQ(GetMachineGuid(idFile), guid);
    test::writeText(idFile, "4C4C4544003A4B10805AB4C04F4D3132");
    EXPECT_EQ(GetMachineGuid(idFile), guid);
    // Another machine, another identifier.
    test::writeText(idFile, "4c4c4544003a4b10805ab4c04f4d3133\n");
    EXPECT_NE(GetMachineGuid(idFile), guid);
}

TEST_F(MachineGuid, MissingOrEmptyGivesNothingDamagedRaises) {
    EXPECT_EQ(GetMachineGuid(dir.file("absent")), "");
    test::writeText(idFile, "\n");
    EXPECT_EQ(GetMachineGuid(idFile), "");
    for (const char* damaged : {"not a machine id", "4c4c4544003a4b10805ab4c04f4d31",
                                "4c4c4544003a4b10805ab4c04f4d3132extra"}) {
        test::writeText(idFile, damaged);
        EXPECT_THROW(GetMachineGuid(idFile), std::runtime_error) << damaged;
    }
    EXPECT_THROW(GetMachineGuid(dir.path().string()), std::runtime_error);  // a folder
}

TEST(LocaleCode, PosixLocaleNamesGiveLanguageAndCountry) {
    const std::pair<const char*, const char*> cases[] = {
        {"tr_TR.UTF-8", "tr-TR"}, {"en_US", "en-US"},    {"de_DE.UTF-8@euro", "de-DE"},
        {"pt_BR.utf8", "pt-BR"},  {"de", "de-DE"},       {"C", "xx"},
        {"C.UTF-8", "xx"},        {"POSIX", "xx"},       {"", "xx"},
        {"qq_ZZ", "xx"},          {"en_QQ.UTF-8", "xx"},
    };
    for (const auto& [name, code] : cases) {
        EXPECT_EQ(LocaleCodeFor(name), code) << name;
    }
}

TEST(OsDescription, TextFormFromNameReleaseAndMachine) {
    EXPECT_EQ(FormatOsDescription("Debian GNU/Linux 12 (bookworm)", "6.1.0-18-amd64", "x86_64"),
              "Debian GNU/Linux 12 (bookworm) (Version 6.1, Build 0, 64-bit Edition)");
    EXPECT_EQ(FormatOsDescription("Linux", "5.15.123+rpt-rpi-v7", "armv7l"),
              "Linux (Version 5.15, Build 123, 32-bit Edition)");
    EXPECT_EQ(FormatOsDescription("X", "", "aarch64"), "X (Version 0.0, Build 0, 64-bit Edition)");

    test::ScratchDir dir;
    test::writeText(
        dir.path() / "os-release",
        "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian \\\"Test\\\" 12\"\nID=debian\n");
    EXPECT_TRUE(OsDescription(dir.file("os-release")).starts_with("Debian \"Test\" 12 (Version "));
    EXPECT_TRUE(OsDescription(dir.file("absent")).starts_with("Linux (Version "));
}

TEST(ShortDateText, SameDaySameTextOtherDayOtherText) {
    using namespace std::chrono;
    // A minute apart at 10:00 UTC: the same day in every time zone.
    const auto morning = sys_days{2025y / March / 4} + 10h;
    const auto later = morning + 1min;
    const auto nextDay = morning + days{1};
    EXPECT_FALSE(ShortDateText(morning).empty());
    EXPECT_EQ(ShortDateText(morning), ShortDateText(later));
    EXPECT_NE(ShortDateText(morning), ShortDateText(nextDay));
}

}  // namespace
}  // namespace imbrix::online
