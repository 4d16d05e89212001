// The user's interface language, from the message locale to a Windows identifier.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "i18n/i18n.h"

namespace imbrix::i18n {
namespace {

TEST(LanguageIdForLocale, PosixNamesToWindowsIdentifiers) {
    const std::pair<const char*, std::uint16_t> cases[] = {
        {"de_DE", 1031},
        {"en_US", 1033},
        {"tr_TR", 1055},
        {"pt_BR", 1046},
        {"zh_CN", 2052},
        {"de_DE.UTF-8", 1031},       // codeset ignored
        {"de_DE.UTF-8@euro", 1031},  // so is a modifier ICU has no use for
        {"de_AT.UTF-8", 3079},
        {"pt_PT", 2070},
        {"zh_TW", 1028},
        {"ja_JP.eucJP", 1041},
        {"de", 1031},  // a bare language takes its main country
        {"zh", 2052},
        {"sr_RS@latin", 9242},
        {"sr_RS@cyrillic", 10266},
        {"C", 1033},  // no locale: the built-in English
        {"C.UTF-8", 1033},
        {"POSIX", 1033},
        {"", 1033},
        {"xx_YY", 1033},  // unknown to ICU
    };
    for (const auto& [locale, id] : cases) {
        EXPECT_EQ(languageIdForLocale(locale), id) << locale;
    }
}

// A fake environment for userInterfaceLanguage().
std::map<std::string, std::string> fakeEnvironment;
const char* fakeGetenv(const char* name) {
    const auto it = fakeEnvironment.find(name);
    return it == fakeEnvironment.end() ? nullptr : it->second.c_str();
}

TEST(UserInterfaceLanguage, FollowsGettextPrecedence) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> environment;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"unset", {}, 1033},
        {"LANG", {{"LANG", "de_DE.UTF-8"}}, 1031},
        {"LC_MESSAGES over LANG", {{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, 1036},
        {"LC_ALL over LC_MESSAGES",
         {{"LC_ALL", "ja_JP.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}, {"LANG", "de_DE"}},
         1041},
        {"empty LC_ALL is unset", {{"LC_ALL", ""}, {"LANG", "pl_PL.UTF-8"}}, 1045},
        {"LANGUAGE's first entry over the locale",
         {{"LANGUAGE", "pt_BR:pt:en"}, {"LANG", "en_US.UTF-8"}},
         1046},
        {"LANGUAGE ignored under the C locale", {{"LANGUAGE", "de"}, {"LANG", "C"}}, 1033},
        {"LANGUAGE ignored without a locale", {{"LANGUAGE", "de"}}, 1033},
        {"POSIX", {{"LC_ALL", "POSIX"}}, 1033},
    };
    for (const Case& c : cases) {
        fakeEnvironment = c.environment;
        EXPECT_EQ(userInterfaceLanguage(fakeGetenv), c.expected) << c.name;
    }
    fakeEnvironment.clear();
}

}  // namespace
}  // namespace imbrix::i18n
