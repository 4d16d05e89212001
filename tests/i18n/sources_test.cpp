// Every English text the program's sources hand to the lookup is one the language
// files translate: a new message added to a window without a translation shows
// up here, not as an English word in a German window.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "common/testsupport.h"
#include "i18n/texts.h"

namespace imbrix::i18n {
namespace {

namespace fs = std::filesystem;

// The lookup under the names the windows and services give it: Translate()
// itself and the small wrappers around it (Tr, tr, a translate callback). Only a
// literal is caught; a text held in a variable is left to the reviewers.
const std::regex& lookupCall() {
    static const std::regex call(
        R"re(\b(?:Translate|Tr|tr|translate)\s*\(\s*"((?:[^"\\]|\\.)*)"\s*\))re");
    return call;
}

std::vector<std::string> literalsPassedToLookup(const std::string& source) {
    std::vector<std::string> texts;
    for (std::sregex_iterator it(source.begin(), source.end(), lookupCall()), end; it != end;
         ++it) {
        texts.push_back((*it)[1].str());
    }
    return texts;
}

TEST(TranslatedSources, FinderCatchesEveryWrapper) {
    const std::string sample =
        "box.setText(Tr(\"Send\"));\n"
        "reporter.warning(tr(\"WARNING\"), tr( \"Directory does not exist!\" ));\n"
        "caption = env_.translate(\"IMPORTANT\");\n"
        "QString t = Translate(\"About %s\").arg(name);\n"
        "i18n::Translate(\"Say \\\"hi\\\"\");\n"
        "Translate(text);\n"          // a variable: not a literal
        "Retranslate(\"Other\");\n"   // another function
        "Translate(\"a\" \"b\");\n";  // a joined literal is not one text
    EXPECT_EQ(literalsPassedToLookup(sample),
              (std::vector<std::string>{"Send", "WARNING", "Directory does not exist!", "IMPORTANT",
                                        "About %s", "Say \\\"hi\\\""}));
}

TEST(TranslatedSources, EveryLookedUpLiteralIsInTheList) {
    const std::set<std::string> listed(kTranslatedTexts.begin(), kTranslatedTexts.end());
    std::set<std::string> found;
    for (const char* folder :
         {"app", "about", "convert", "imagelist", "imaging", "online", "platform", "settings"}) {
        const fs::path root = test::sourceDir() / folder;
        if (!fs::is_directory(root)) {
            continue;
        }
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            for (const std::string& literal : literalsPassedToLookup(text.str())) {
                EXPECT_TRUE(listed.count(literal))
                    << entry.path().string() << " looks up \"" << literal
                    << "\", which no language file translates";
                found.insert(literal);
            }
        }
    }
    // The scan reads the real sources: the conversion run's warnings go through
    // the lookup, so finding none means the scan itself is broken.
    EXPECT_TRUE(found.count("No image files have been added!"));
}

}  // namespace
}  // namespace imbrix::i18n
