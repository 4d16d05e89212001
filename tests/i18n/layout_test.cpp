// The "Languages" folder travels with the program: the build keeps a copy beside
// the built program, and installing puts it beside the installed one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "common/testsupport.h"

namespace imbrix::i18n {
namespace {

namespace fs = std::filesystem;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// `copy` holds every file of the source "Languages" folder, byte for byte.
void expectSameLanguagesFolder(const fs::path& copy) {
    const fs::path source = test::sourceDir() / "Languages";
    ASSERT_TRUE(fs::is_directory(copy)) << copy;
    const std::set<std::string> names = namesIn(source);
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::is_regular_file(copy / name));
        EXPECT_EQ(test::readBytes(copy / name), test::readBytes(source / name));
    }
}

TEST(LanguagesFolder, BesideTheBuiltProgramAndUpToDate) {
    expectSameLanguagesFolder(test::binDir() / "Languages");
}

TEST(LanguagesFolder, InstalledBesideTheProgram) {
    // The build folder is the parent of the built program's folder; its i18n
    // install script is the one `cmake --install` runs for this folder.
    const fs::path script = test::binDir().parent_path() / "i18n" / "cmake_install.cmake";
    ASSERT_TRUE(fs::is_regular_file(script)) << script;
    test::ScratchDir prefix;
    ::unsetenv("DESTDIR");  // would move the whole tree under another root
    std::string output;
    const int status =
        test::runCommand({IMBRIX_CMAKE_COMMAND, "-DCMAKE_INSTALL_PREFIX=" + prefix.path().string(),
                          "-P", script.string()},
                         &output);
    ASSERT_EQ(status, 0) << output;
    // The installed program and its converter front live in <prefix>/lib/imbrix.
    expectSameLanguagesFolder(prefix.path() / "lib" / "imbrix" / "Languages");
}

}  // namespace
}  // namespace imbrix::i18n
