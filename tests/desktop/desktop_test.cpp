// The installed program's place on the desktop and in a terminal: the menu entry,
// the icon, the AppStream data, the manual pages and the bash completion, each
// checked as installed (`cmake --install` into a scratch prefix) by the tools
// desktops and distributions check them with; and the Debian package's version
// and licence against the project's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "common/testsupport.h"
#include "imaging/fileformats.h"

extern char** environ;

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

struct Output {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program found on $PATH (no shell), its standard output and error apart.
Output run(const std::vector<std::string>& argv) {
    const ScratchDir dir;
    const std::string outFile = dir.file("out"), errFile = dir.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    Output output;
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return output;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    output.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto text = [](const std::string& file) {
        const std::vector<std::uint8_t> bytes = readBytes(file);
        return std::string(bytes.begin(), bytes.end());
    };
    output.out = text(outFile);
    output.err = text(errFile);
    return output;
}

bool onPath(const std::string& program) {
    return run({"sh", "-c", "command -v \"$0\" >/dev/null", program}).status == 0;
}

#define SKIP_WITHOUT(program, package)                                    \
    if (!onPath(program)) {                                               \
        GTEST_SKIP() << program " is missing (Debian package " package    \
                                "; scripts/install-deps.sh installs it)"; \
    }

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// The options a program's --help lists: "-f", "--format", ...
std::set<std::string> helpOptions(const std::string& help) {
    static const std::regex option(R"(^ +(?:(-[A-Za-z0-9]), )?(--[a-z0-9][a-z0-9-]*))");
    std::set<std::string> options;
    for (const std::string& line : split(help, '\n')) {
        std::smatch match;
        if (std::regex_search(line, match, option)) {
            if (match[1].matched) {
                options.insert(match[1]);
            }
            options.insert(match[2]);
        }
    }
    return options;
}

std::set<std::string> outputFormats() {
    std::set<std::string> names;
    for (const imaging::FileFormat& format : imaging::kFileFormats) {
        if (format.isOutput()) {
            names.emplace(format.name);
        }
    }
    return names;
}

// The program, its commands and its desktop files installed into a scratch
// prefix by the build's own install scripts, once for all the tests here.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix_ = new ScratchDir;
        ::unsetenv("DESTDIR");  // would move the whole tree under another root
        const fs::path build = binDir().parent_path();
        std::vector<std::string> folders{"tools/cli", "desktop"};
        if (IMBRIX_GUI) {
            folders.insert(folders.begin(), "app");
        }
        for (const std::string& folder : folders) {
            std::string output;
            const int status =
                runCommand({IMBRIX_CMAKE_COMMAND, "-DCMAKE_INSTALL_PREFIX=" + prefix().string(),
                            "-P", (build / folder / "cmake_install.cmake").string()},
                           &output);
            if (status != 0) {
                installError_ = new std::string(folder + ": " + output);
                return;
            }
        }
    }
    static void TearDownTestSuite() {
        delete prefix_;
        prefix_ = nullptr;
        delete installError_;
        installError_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(installError_, nullptr) << *installError_; }

    static fs::path prefix() { return prefix_->path(); }
    static fs::path share() { return prefix() / "share"; }

private:
    static inline ScratchDir* prefix_ = nullptr;
    static inline std::string* installError_ = nullptr;
};

// The [Desktop Entry] group of a desktop file: key -> value.
std::map<std::string, std::string> desktopEntry(const fs::path& file) {
    std::map<std::string, std::string> keys;
    bool inGroup = false;
    for (const std::string& line : split(readText(file), '\n')) {
        if (line.front() == '[') {
            inGroup = line == "[Desktop Entry]";
        } else if (inGroup && line.front() != '#' && line.find('=') != std::string::npos) {
            keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
    }
    return keys;
}

// shared-mime-info's alias -> canonical type.
std::map<std::string, std::string> mimeAliases() {
    std::map<std::string, std::string> aliases;
    for (const std::string& line : split(readText("/usr/share/mime/aliases"), '\n')) {
        const std::vector<std::string> parts = split(line, ' ');
        if (parts.size() == 2) {
            aliases[parts[0]] = parts[1];
        }
    }
    return aliases;
}

std::set<std::string> canonicalTypes(const std::vector<std::string>& types) {
    const std::map<std::string, std::string> aliases = mimeAliases();
    std::set<std::string> canonical;
    for (const std::string& type : types) {
        const auto alias = aliases.find(type);
        canonical.insert(alias == aliases.end() ? type : alias->second);
    }
    return canonical;
}

#if IMBRIX_GUI

TEST_F(Installed, DesktopEntryValidatesAndFindsItsCommandAndIcon) {
    SKIP_WITHOUT("desktop-file-validate", "desktop-file-utils");
    const fs::path file = share() / "applications" / "imbrix.desktop";
    ASSERT_TRUE(fs::is_regular_file(file));
    const Output validation = run({"desktop-file-validate", file.string()});
    EXPECT_EQ(validation.status, 0);
    EXPECT_EQ(validation.out + validation.err, "");

    std::map<std::string, std::string> entry = desktopEntry(file);
    const std::string command = split(entry["Exec"], ' ').at(0);
    EXPECT_EQ(command, "imbrix");
    EXPECT_TRUE(fs::is_regular_file(prefix() / "bin" / command)) << "no " << command << " in bin";
    // The program's own icon from the hicolor theme, not a theme's generic one.
    ASSERT_EQ(entry["Icon"], "imbrix");
    EXPECT_TRUE(fs::is_regular_file(share() / "icons/hicolor/scalable/apps/imbrix.svg"));
}

TEST_F(Installed, DesktopEntryOpensEverySourceTheMimeDatabaseKnows) {
    const fs::path globs = "/usr/share/mime/globs2";
    if (!fs::exists(globs)) {
        GTEST_SKIP() << "no shared-mime-info database";
    }
    // globs2 lines: weight:type:*.ext
    std::map<std::string, std::vector<std::string>> typesOfExtension;
    for (const std::string& line : split(readText(globs), '\n')) {
        const std::vector<std::string> parts = split(line, ':');
        if (parts.size() >= 3 && parts[2].starts_with("*.")) {
            typesOfExtension[parts[2].substr(1)].push_back(parts[1]);
        }
    }
    const std::set<std::string> listed = canonicalTypes(
        split(desktopEntry(share() / "applications" / "imbrix.desktop")["MimeType"], ';'));
    int known = 0;
    for (const imaging::FileFormat& format : imaging::kFileFormats) {
        const auto types = typesOfExtension.find(std::string(format.extension));
        if (!format.isSource() || types == typesOfExtension.end()) {
            continue;  // the database has no type for ".jfif" or ".wmp"
        }
        ++known;
        for (const std::string& type : canonicalTypes(types->second)) {
            EXPECT_TRUE(listed.contains(type)) << format.extension << " is " << type;
        }
    }
    EXPECT_GE(known, 15);
}

TEST_F(Installed, IconPngsAreTheSvgAtEachSize) {
    SKIP_WITHOUT("convert", "imagemagick");
    const fs::path svg = share() / "icons/hicolor/scalable/apps/imbrix.svg";
    const ScratchDir dir;
    // ImageMagick draws the SVG at its own size, 32 pixels; each PNG is compared
    // with it at the smaller of the two sizes. The picture is not symmetric, so
    // a mirrored, shifted or recoloured icon, or another picture, is far from it.
    const std::string drawn = dir.file("drawn.png");
    ASSERT_EQ(run({"convert", "-background", "none", "svg:" + svg.string(), drawn}).status, 0);
    ASSERT_EQ(run({"identify", "-format", "%w", drawn}).out, "32");
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(size);
        const std::string name = std::to_string(size) + "x" + std::to_string(size);
        const fs::path png = share() / "icons/hicolor" / name / "apps/imbrix.png";
        ASSERT_TRUE(fs::is_regular_file(png));
        const Output info = run({"identify", "-format", "%w %h %[channels]", png.string()});
        EXPECT_EQ(info.out, std::to_string(size) + " " + std::to_string(size) + " srgba");

        const std::string side = size < 32 ? name : "32x32";
        const std::string icon = dir.file(name + "-icon.png");
        const std::string reference = dir.file(name + "-drawn.png");
        const std::string mirrored = dir.file(name + "-mirrored.png");
        ASSERT_EQ(run({"convert", png.string(), "-resize", side + "!", icon}).status, 0);
        ASSERT_EQ(run({"convert", drawn, "-resize", side + "!", reference}).status, 0);
        ASSERT_EQ(run({"convert", reference, "-flop", mirrored}).status, 0);
        const auto psnr = [&icon](const std::string& other) {
            const Output compared = run({"compare", "-metric", "PSNR", icon, other, "null:"});
            return compared.err == "inf" ? 99.0 : std::stod(compared.err);
        };
        const double same = psnr(reference);
        EXPECT_GT(same, 23.0);
        EXPECT_LT(psnr(mirrored), same - 10.0) << "a mirrored icon would pass as well";
    }
}

TEST_F(Installed, AppStreamDataValidatesAndAgreesWithTheProgram) {
    SKIP_WITHOUT("appstreamcli", "appstream");
    const fs::path file = share() / "metainfo" / "io.github.kelvane.Imbrix.metainfo.xml";
    ASSERT_TRUE(fs::is_regular_file(file));
    const Output validation = run({"appstreamcli", "validate", "--no-net", file.string()});
    EXPECT_EQ(validation.status, 0) << validation.out << validation.err;

    const std::string xml = readText(file);
    const auto all = [&xml](const std::string& pattern) {
        std::vector<std::string> found;
        const std::regex re(pattern);
        for (auto it = std::sregex_iterator(xml.begin(), xml.end(), re);
             it != std::sregex_iterator(); ++it) {
            found.push_back((*it)[1]);
        }
        return found;
    };
    EXPECT_EQ(all("<id>([^<]+)</id>"), std::vector<std::string>{"io.github.kelvane.Imbrix"});
    const std::vector<std::string> launchables = all(R"(<launchable type="desktop-id">([^<]+)<)");
    ASSERT_EQ(launchables.size(), 1u);
    EXPECT_TRUE(fs::is_regular_file(share() / "applications" / launchables[0])) << launchables[0];
    const std::vector<std::string> binaries = all("<binary>([^<]+)</binary>");
    EXPECT_EQ(binaries, (std::vector<std::string>{"imbrix", "imbrix-cli"}));
    for (const std::string& binary : binaries) {
        EXPECT_TRUE(fs::exists(prefix() / "bin" / binary)) << binary;
    }
    const std::vector<std::string> desktopTypes =
        split(desktopEntry(share() / "applications" / launchables[0])["MimeType"], ';');
    EXPECT_EQ(canonicalTypes(all("<mediatype>([^<]+)</mediatype>")), canonicalTypes(desktopTypes));
    // The newest release, listed first, is the version being installed.
    const std::vector<std::string> releases = all(R"re(<release version="([^"]+)")re");
    ASSERT_FALSE(releases.empty());
    EXPECT_EQ(releases.front(), IMBRIX_PROJECT_VERSION);
    for (const std::string& url : all(R"(<image[^>]*>([^<]+)</image>)")) {
        EXPECT_TRUE(url.starts_with("https://")) << url;
        EXPECT_TRUE(
            fs::is_regular_file(sourceDir() / "docs/screenshots" / fs::path(url).filename()))
            << url << " is not one of the README's screenshots";
    }
}

TEST(DesktopProgram, AnswersHelpAndVersionWithoutADisplay) {
    // help2man runs it on build machines, which have no display: a window
    // system asked for first would end the program.
    const std::string program = (binDir() / "imbrix").string();
    const std::vector<std::string> noDisplay{
        "env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb"};
    std::vector<std::string> help = noDisplay, version = noDisplay;
    help.insert(help.end(), {program, "--help"});
    version.insert(version.end(), {program, "--version"});
    const Output helped = run(help);
    EXPECT_EQ(helped.status, 0) << helped.err;
    EXPECT_TRUE(helped.out.starts_with("Usage: imbrix [FILE-OR-FOLDER...]\n")) << helped.out;
    const Output versioned = run(version);
    EXPECT_EQ(versioned.status, 0) << versioned.err;
    EXPECT_EQ(versioned.out, "imbrix " + std::string(IMBRIX_PROJECT_VERSION).substr(0, 3) + "\n");
}

#endif  // IMBRIX_GUI

// Each manual page renders without a warning from man and groff, and has every
// option of its program's --help and the sections the help leaves out.
struct ManPageCase {
    const char* program;
    std::vector<const char*> mentions;  // what the page's own sections must say
};

void PrintTo(const ManPageCase& c, std::ostream* out) {
    *out << c.program;
}

class ManPages : public Installed, public ::testing::WithParamInterface<ManPageCase> {};

TEST_P(ManPages, RenderCleanlyWithEveryOptionOfTheHelp) {
    SKIP_WITHOUT("man", "man-db");
    const ManPageCase& page = GetParam();
    const fs::path file = share() / "man/man1" / (std::string(page.program) + ".1");
    ASSERT_TRUE(fs::is_regular_file(file));
    const Output rendered = run({"env", "MANWIDTH=200", "LC_ALL=C.UTF-8", "man", "--warnings",
                                 "--encoding=UTF-8", "--no-hyphenation", "-l", file.string()});
    EXPECT_EQ(rendered.status, 0);
    EXPECT_EQ(rendered.err, "");
    // Plain hyphens and quotes, whatever the terminal's font would show.
    std::string text = std::regex_replace(rendered.out, std::regex("\u2010|\u2212"), "-");
    text = std::regex_replace(text, std::regex("\u2018|\u2019"), "'");

    const Output help = run({(prefix() / "bin" / page.program).string(), "--help"});
    ASSERT_EQ(help.status, 0);
    const std::set<std::string> options = helpOptions(help.out);
    ASSERT_GE(options.size(), 3u) << help.out;
    for (const std::string& option : options) {
        EXPECT_TRUE(std::regex_search(
            text, std::regex("(^|[ ,])" + option + "($|[ ,=])", std::regex::multiline)))
            << option << " of " << page.program << " --help is not in its manual page";
    }
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXAMPLES",
                                "EXIT STATUS", "ENVIRONMENT", "FILES", "SEE ALSO"}) {
        EXPECT_TRUE(std::regex_search(
            text, std::regex(std::string("^") + section + "$", std::regex::multiline)))
            << "no section " << section;
    }
    for (const char* mention : page.mentions) {
        EXPECT_NE(text.find(mention), std::string::npos) << mention;
    }
}

std::vector<ManPageCase> manPageCases() {
    std::vector<ManPageCase> cases{
        {"imbrix-cli", {"128 + N", "imagemagick/magick", "IMBRIX_MAGICK_CONVERT", "settings.ini"}}};
    if (IMBRIX_GUI) {
        cases.push_back({"imbrix",
                         {"KELVANE/Imbrix/settings.ini", "MemoryLimit=", "KELVANE/Registry/",
                          "LANGUAGE", "128 + N"}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Installed, ManPages, ::testing::ValuesIn(manPageCases()),
                         [](const auto& p) {
                             return std::regex_replace(p.param.program, std::regex("-"), "_");
                         });

// The bash completion of imbrix-cli, asked as bash asks it: the words of the
// command line so far, the last one being completed, in a folder with a picture,
// a picture whose name starts with '-' and a subfolder.
struct CompletionCase {
    std::string name;
    std::vector<std::string> words;  // after the command; the last one is completed
    std::set<std::string> expected;  // "<formats>" and "<options>" stand for the program's
};

void PrintTo(const CompletionCase& c, std::ostream* out) {
    *out << c.name;
}

class Completion : public Installed, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(Completion, OffersWhatTheProgramTakes) {
    const fs::path framework = "/usr/share/bash-completion/bash_completion";
    if (!fs::exists(framework)) {
        GTEST_SKIP() << "bash-completion is missing (scripts/install-deps.sh installs it)";
    }
    const fs::path script = share() / "bash-completion/completions/imbrix-cli";
    ASSERT_TRUE(fs::is_regular_file(script));
    const ScratchDir dir;
    writeText(dir.path() / "photo.png", "");
    writeText(dir.path() / "-dhijack.png", "");
    fs::create_directory(dir.path() / "album");

    // bash gets the names as arguments, never inside its script's text.
    const std::string driver = R"(
        source "$1"; source "$2"; cd "$3"; shift 3
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"; COMP_LINE=${COMP_LINE// = /=}; COMP_POINT=${#COMP_LINE}
        function=$(complete -p imbrix-cli | sed -E 's/.*-F ([^ ]+).*/\1/')
        "$function" imbrix-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf '%s\n' "${COMPREPLY[@]}")";
    std::vector<std::string> argv{"bash",
                                  "-c",
                                  driver,
                                  "bash",
                                  framework.string(),
                                  script.string(),
                                  dir.path().string(),
                                  (prefix() / "bin/imbrix-cli").string()};
    const CompletionCase& c = GetParam();
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    const Output completed = run(argv);
    ASSERT_EQ(completed.status, 0) << completed.err;
    const std::vector<std::string> offeredList = split(completed.out, '\n');
    const std::set<std::string> offered(offeredList.begin(), offeredList.end());

    std::set<std::string> expected;
    for (const std::string& item : c.expected) {
        if (item == "<formats>") {
            const std::set<std::string> formats = outputFormats();
            expected.insert(formats.begin(), formats.end());
        } else if (item == "<options>") {
            const Output help = run({(prefix() / "bin/imbrix-cli").string(), "--help"});
            const std::set<std::string> options = helpOptions(help.out);
            expected.insert(options.begin(), options.end());
        } else {
            expected.insert(item);
        }
    }
    EXPECT_EQ(offered, expected);
}

INSTANTIATE_TEST_SUITE_P(
    ImbrixCli, Completion,
    ::testing::Values(
        // Every format the program writes, from the help of the program itself.
        CompletionCase{"FormatsAfterF", {"-f", ""}, {"<formats>"}},
        // Typed in lower case, offered in lower case: the program takes both.
        CompletionCase{"FormatAfterFormatEquals", {"--format", "=", "we"}, {"webp"}},
        CompletionCase{"FormatsByPrefix",
                       {"-q", "80", "--format", "J"},
                       {"JPG", "JPEG", "JFIF", "JXL", "JP2"}},
        CompletionCase{"EveryOptionAfterADash", {"-"}, {"<options>"}},
        CompletionCase{"LongOptionByPrefix", {"--skip"}, {"--skip-existing"}},
        // Folders only, for --dest DIR.
        CompletionCase{"FoldersAfterDest", {"-d", ""}, {"album"}},
        CompletionCase{
            "FilesAndFoldersOtherwise", {"-f", "webp", ""}, {"photo.png", "-dhijack.png", "album"}},
        // After "--" a name starting with '-' is a file, not an option.
        CompletionCase{"FilesAfterTheEndOfOptions", {"--", "-"}, {"-dhijack.png"}},
        // A number: neither files nor options.
        CompletionCase{"NothingForAQuality", {"-q", ""}, {}}),
    [](const auto& p) { return p.param.name; });

// The Debian package is the project's version, under the project's licence.
TEST(DebianPackage, VersionAndLicenceAreTheProjects) {
    const std::string changelog = readText(sourceDir() / "debian/changelog");
    EXPECT_TRUE(changelog.starts_with("imbrix (" IMBRIX_PROJECT_VERSION ") ")) << changelog;

    // The licence paragraph of debian/copyright, unfolded, is license.txt's.
    const std::string copyright = readText(sourceDir() / "debian/copyright");
    const std::size_t licence = copyright.rfind("\nLicense: MIT\n");
    ASSERT_NE(licence, std::string::npos);
    std::string unfolded;
    for (const std::string& line : split(copyright.substr(licence + 14), '\n')) {
        unfolded += line == " ." ? "\n" : line.substr(1) + "\n";
    }
    const std::string text = readText(sourceDir() / "license.txt");
    const std::size_t start = text.find("Permission is hereby granted");
    const std::size_t end = text.find("SOFTWARE.\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(unfolded, text.substr(start, end + 10 - start));
}

}  // namespace
}  // namespace imbrix::test
