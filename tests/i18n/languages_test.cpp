// The language files that ship with the program.
#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "common/testsupport.h"
#include "i18n/i18n.h"
#include "i18n/texts.h"

namespace imbrix::i18n {
namespace {

namespace fs = std::filesystem;

fs::path shippedFolder() {
    return test::sourceDir() / "Languages";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> shippedLanguageFiles() {
    std::vector<std::string> names;
    FindLanguageFiles(shippedFolder().string(), names);
    return names;
}

bool isValidUtf8(std::string_view text) {
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    while (i < length) {
        UChar32 c;
        U8_NEXT(text.data(), i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

std::size_t count(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A translation with a blank at either end shows as a misplaced gap in a window.
std::string_view trimmedForCheck(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string_view::npos ? std::string_view()
                                           : text.substr(first, last - first + 1);
}

TEST(ShippedLanguages, TheTenLanguagesAreThere) {
    const auto names = shippedLanguageFiles();
    for (const char* expected :
         {"German.lang.txt", "French.lang.txt", "Spanish.lang.txt", "Italian.lang.txt",
          "Portuguese (Brazil).lang.txt", "Turkish.lang.txt", "Polish.lang.txt", "Russian.lang.txt",
          "Japanese.lang.txt", "Chinese (Simplified).lang.txt"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
}

TEST(ShippedLanguages, EveryFileTranslatesEveryTextOnce) {
    const auto names = shippedLanguageFiles();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string text = readFile(shippedFolder() / name);
        EXPECT_TRUE(isValidUtf8(text));
        const Catalogue catalogue = Catalogue::fromText(text, name);

        std::set<std::string> keys;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("{")) {
                const std::string key = line.substr(0, line.find('}') + 1);
                // A second line would never be read: an edit there would be lost.
                EXPECT_TRUE(keys.insert(key).second) << "repeated " << key;
                const std::string_view source(key.data() + 1, key.size() - 2);
                EXPECT_NE(std::find(kTranslatedTexts.begin(), kTranslatedTexts.end(), source),
                          kTranslatedTexts.end())
                    << "not a text the program looks up: " << key;
            }
        }
        for (std::string_view source : kTranslatedTexts) {
            const std::string translation = catalogue.translate(source);
            EXPECT_NE(keys.count("{" + std::string(source) + "}"), 0u) << "missing " << source;
            EXPECT_EQ(translation, std::string(trimmedForCheck(translation))) << source;
            // Formats keep their placeholder and gain no other; accelerators stay.
            EXPECT_EQ(count(translation, "%s"), count(source, "%s")) << source;
            EXPECT_EQ(count(translation, "%"), count(source, "%")) << source;
            EXPECT_EQ(count(translation, "&"), count(source, "&")) << source;
        }
    }
}

TEST(ShippedLanguages, CodeTableNamesOnlyShippedFilesAndReachesEach) {
    const auto names = shippedLanguageFiles();
    const std::string table = readFile(shippedFolder() / "LanguageCodes.csv");
    ASSERT_FALSE(table.empty());
    std::set<std::string> reached;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) {
            continue;
        }
        const std::string id = line.substr(0, comma);
        const std::string file = line.substr(comma + 1);
        SCOPED_TRACE(line);
        // Plain decimal, as the lookup compares it.
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
        EXPECT_NE(id[0], '0');
        // Named with the case it has on disk, and the line is the identifier's first.
        EXPECT_NE(std::find(names.begin(), names.end(), file), names.end());
        EXPECT_EQ(lookUpLanguageCode(table, static_cast<std::uint16_t>(std::stoul(id))), file);
        reached.insert(file);
    }
    EXPECT_EQ(reached, std::set<std::string>(names.begin(), names.end()));
}

// From the user's locale to a translated text, through the folder beside the
// built program.
TEST(ShippedLanguages, LocaleReachesItsLanguageBesideTheBuiltProgram) {
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE.UTF-8", "Ja"},
        {"de_CH.UTF-8", "Ja"},
        {"fr_FR.UTF-8", "Oui"},
        {"fr_CA.UTF-8", "Oui"},
        {"es_ES.UTF-8", "S\xC3\xAD"},
        {"es_MX.UTF-8", "S\xC3\xAD"},
        {"it_IT.UTF-8", "S\xC3\xAC"},
        {"pt_BR.UTF-8", "Sim"},
        {"tr_TR.UTF-8", "Evet"},
        {"pl_PL.UTF-8", "Tak"},
        {"ru_RU.UTF-8", "\xD0\x94\xD0\xB0"},
        {"ja_JP.UTF-8", "\xE3\x81\xAF\xE3\x81\x84"},
        {"zh_CN.UTF-8", "\xE6\x98\xAF"},
        {"en_US.UTF-8", "Yes"},
        {"C", "Yes"},
    };
    for (const auto& [locale, yes] : cases) {
        const Catalogue catalogue =
            Catalogue::load(test::binDir().string(), languageIdForLocale(locale));
        EXPECT_EQ(catalogue.translate("Yes"), yes) << locale;
    }
}

}  // namespace
}  // namespace imbrix::i18n
