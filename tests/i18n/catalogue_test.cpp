// The language catalogue: choosing a file through the code table, and the lookup.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/testsupport.h"
#include "i18n/i18n.h"

namespace imbrix::i18n {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;
using test::writeText;

TEST(Translate, LineRules) {
    const Catalogue catalogue = Catalogue::fromText(
        "\xEF\xBB\xBF{Yes}Ja\r\n"
        "{OK}\n"
        "{Send} Senden \r"
        "{No}Nein\n"
        "{No}Nee\n"
        "{warning}warnung\n"
        " {Info}Information\n"
        "note: {Failure}Fehler\n"
        "{About %s}Über %s\n"
        "{Yes, really}Ja, wirklich");
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"Yes", "Ja"},                    // after a byte-order mark, CR LF line
        {"OK", "OK"},                     // nothing after the brace: untranslated
        {"Send", " Senden "},             // blanks at both ends kept; CR line end
        {"No", "Nein"},                   // first of two lines wins
        {"WARNING", "WARNING"},           // key differs in case: no match
        {"Info", "Info"},                 // indented line never matches
        {"Failure", "Failure"},           // key not in the first column
        {"About %s", "Über %s"},          // placeholder kept
        {"Yes, really", "Ja, wirklich"},  // last line without a line end
        {"Thank you!", "Thank you!"},     // no line at all
        {"Ye", "Ye"},                     // a prefix of a key is not the key
    };
    for (const Case& c : cases) {
        EXPECT_EQ(catalogue.translate(c.text), c.expected) << c.text;
    }
}

TEST(Translate, NothingLoadedReturnsText) {
    const Catalogue empty;
    EXPECT_FALSE(empty.isLoaded());
    EXPECT_EQ(empty.translate("Yes"), "Yes");
    EXPECT_EQ(empty.translate(""), "");
}

TEST(CodeTable, ChoosesFirstMatchingLine) {
    struct Case {
        const char* name;
        std::string table;
        std::uint16_t id;
        const char* expected;
    };
    const Case cases[] = {
        {"plain", "1031,German.lang.txt\n", 1031, "German.lang.txt"},
        {"blanks and tabs trimmed", "  1031 \t,\t German.lang.txt  \r\n", 1031, "German.lang.txt"},
        {"leading zero never matches", "01031,German.lang.txt\n", 1031, ""},
        {"line without comma skipped", "1031 German.lang.txt\n1031,B.lang.txt\n", 1031,
         "B.lang.txt"},
        {"first of two lines counts", "1031,A.lang.txt\r1031,B.lang.txt\r", 1031, "A.lang.txt"},
        {"further comma part of the name", "1031,a,b.lang.txt\n", 1031, "a,b.lang.txt"},
        {"header line never matches", "LANGID,File\n1036,French.lang.txt", 1036, "French.lang.txt"},
        {"other identifier", "1031,German.lang.txt\n", 1036, ""},
        {"utf-8 mark",
         "\xEF\xBB\xBF"
         "1031,German.lang.txt\n",
         1031, "German.lang.txt"},
        {"utf-16 little endian",
         std::string("\xFF\xFE"
                     "1\0"
                     "0\0"
                     "3\0"
                     "1\0"
                     ",\0"
                     "\xE4\0"
                     "\n\0",
                     16),
         1031, "\xC3\xA4"},
        {"utf-16 big endian",
         std::string("\xFE\xFF"
                     "\0"
                     "7"
                     "\0,"
                     "\0x",
                     8),
         7, "x"},
        {"empty", "", 1031, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lookUpLanguageCode(c.table, c.id), c.expected) << c.name;
    }
}

// A program folder with a "Languages" folder in it.
class LoadLanguageTest : public ::testing::Test {
protected:
    LoadLanguageTest() { fs::create_directory(languages()); }
    fs::path languages() const { return dir_.path() / "Languages"; }
    void write(const std::string& name, const std::string& text) const {
        writeText(languages() / name, text);
    }
    Catalogue load(std::uint16_t id) const { return Catalogue::load(dir_.path().string(), id); }

    ScratchDir dir_;
};

TEST_F(LoadLanguageTest, LoadsFileNamedByCodeTable) {
    write("LanguageCodes.csv", "1031,German.lang.txt\n");
    write("German.lang.txt", "{Yes}Ja\n");
    write("French.lang.txt", "{Yes}Oui\n");
    write("notes.txt", "{Yes}nope\n");
    fs::create_directory(languages() / "Folder.lang.txt");

    const Catalogue catalogue = load(1031);
    EXPECT_EQ(catalogue.languagesFolder(), (dir_.path() / "Languages").string());
    EXPECT_EQ(catalogue.languageFiles(),
              (std::vector<std::string>{"French.lang.txt", "German.lang.txt"}));
    EXPECT_EQ(catalogue.languageName(), "German");
    EXPECT_EQ(catalogue.languageFile(), (languages() / "German.lang.txt").string());
    EXPECT_EQ(catalogue.translate("Yes"), "Ja");
}

TEST_F(LoadLanguageTest, FileNameMatchedWithoutRegardToCase) {
    write("LanguageCodes.csv", "1055,TURKISH.LANG.TXT\n");
    write("turkish.lang.txt", "{Yes}Evet\n");
    const Catalogue catalogue = load(1055);
    EXPECT_EQ(catalogue.languageName(), "turkish");
    EXPECT_EQ(catalogue.languageFile(), (languages() / "turkish.lang.txt").string());
    EXPECT_EQ(catalogue.translate("Yes"), "Evet");
}

TEST_F(LoadLanguageTest, NameWithoutDotIsLoadedWithoutLanguageName) {
    write("LanguageCodes.csv", "1031,Germanlang.txt\n");
    write("Germanlang.txt", "{Yes}Ja\n");
    const Catalogue catalogue = load(1031);
    EXPECT_TRUE(catalogue.isLoaded());
    EXPECT_EQ(catalogue.languageName(), "");
    EXPECT_EQ(catalogue.translate("Yes"), "Ja");
}

TEST_F(LoadLanguageTest, MissesLoadNothing) {
    struct Case {
        const char* name;
        const char* codeTable;  // nullptr: no table
        std::uint16_t id;
    };
    const Case cases[] = {
        {"no code table", nullptr, 1031},
        {"identifier not listed", "1036,German.lang.txt\n", 1031},
        {"listed file not in the folder", "1031,Deutsch.lang.txt\n", 1031},
        {"listed name not a language file", "1031,German.txt\n", 1031},
        {"empty name", "1031,\n", 1031},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        fs::create_directory(dir.path() / "Languages");
        writeText(dir.path() / "Languages" / "German.lang.txt", "{Yes}Ja\n");
        writeText(dir.path() / "Languages" / "German.txt", "{Yes}Ja\n");
        if (c.codeTable) {
            writeText(dir.path() / "Languages" / "LanguageCodes.csv", c.codeTable);
        }
        const Catalogue catalogue = Catalogue::load(dir.path().string() + "/", c.id);
        EXPECT_FALSE(catalogue.isLoaded()) << c.name;
        EXPECT_EQ(catalogue.languageName(), "") << c.name;
        EXPECT_EQ(catalogue.languageFiles(), std::vector<std::string>{"German.lang.txt"}) << c.name;
        EXPECT_EQ(catalogue.translate("Yes"), "Yes") << c.name;
    }
}

TEST(LoadLanguage, NoLanguagesFolder) {
    ScratchDir dir;
    writeText(dir.path() / "Languages", "a file, not a folder");
    const Catalogue catalogue = Catalogue::load(dir.path().string(), 1031);
    EXPECT_FALSE(catalogue.isLoaded());
    EXPECT_TRUE(catalogue.languageFiles().empty());
    EXPECT_EQ(catalogue.languagesFolder(), (dir.path() / "Languages").string());
}

TEST_F(LoadLanguageTest, UnreadableLanguageFileIsAnError) {
    write("LanguageCodes.csv", "1031,German.lang.txt\n");
    // Far beyond any language file; made sparse, so it costs no disk.
    write("German.lang.txt", "");
    fs::resize_file(languages() / "German.lang.txt", std::uintmax_t{1} << 30);
    try {
        load(1031);
        FAIL() << "no error";
    } catch (const LanguageError& e) {
        EXPECT_NE(std::string(e.what()).find("German.lang.txt"), std::string::npos) << e.what();
    }
}

TEST(ProcessCatalogue, InstalledOnceAndReadByTranslate) {
    EXPECT_EQ(Translate("Yes"), "Yes");  // before loading
    ASSERT_TRUE(
        installCatalogue(std::make_unique<const Catalogue>(Catalogue::fromText("{Yes}Ja\n"))));
    EXPECT_FALSE(
        installCatalogue(std::make_unique<const Catalogue>(Catalogue::fromText("{Yes}Oui\n"))));
    LoadLanguage();  // already loaded: changes nothing
    EXPECT_EQ(Translate("Yes"), "Ja");
    EXPECT_EQ(Translate("No"), "No");
}

}  // namespace
}  // namespace imbrix::i18n
