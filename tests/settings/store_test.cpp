// The settings store: reading, writing and start-up rules of "settings.ini".
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/testsupport.h"
#include "settings/settings.h"

namespace imbrix::settings {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

const std::string kBom = "\xEF\xBB\xBF";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool noFolderExists(const std::string&) {
    return false;
}

TEST(SettingsKeys, TableOfDefaults) {
    const Store empty;
    const StartupOptions options = readStartupOptions(empty, noFolderExists);
    EXPECT_TRUE(options.rememberSettings);
    EXPECT_TRUE(options.displayIcons);
    EXPECT_TRUE(options.includeSubfolders);
    EXPECT_FALSE(options.destination);
    EXPECT_EQ(options.outputQuality, 100);
    EXPECT_FALSE(options.grayscale);
    EXPECT_FALSE(options.writeBackQuality);
    EXPECT_FALSE(options.writeBackGrayscale);

    EXPECT_EQ(keyInfo(Key::OutputFormat).defaultValue, "PNG");
    EXPECT_EQ(keyInfo(Key::Destination).defaultValue, "Same Folder as Original");
    EXPECT_EQ(keyInfo(Key::OutputQuality).name, "OutputQuality");
    for (const KeyInfo& info : kKeys) {
        EXPECT_EQ(&keyInfo(info.key), &info);
    }
}

TEST(SettingsRead, NamesIgnoreCaseValuesDoNot) {
    const Store store = Store::parse(kBom +
                                     "[settings]\r\n"
                                     "outputformat=JPG\r\n"
                                     "DISPLAYICONS=off\r\n"
                                     "IncludeSubfolders = OFF \r\n"
                                     "Grayscale=on\r\n"
                                     "RememberSettings=off\r\n");
    EXPECT_EQ(store.text(Key::OutputFormat), "JPG");
    EXPECT_TRUE(store.displayIcons());        // "off" is not "OFF"
    EXPECT_FALSE(store.includeSubfolders());  // blanks around the value do not count
    EXPECT_FALSE(store.grayscale());          // only "ON" switches it on
    EXPECT_TRUE(store.rememberSettings());
    EXPECT_FALSE(store.value(Key::Destination));
}

TEST(SettingsRead, MalformedFileReadAsFarAsItGoes) {
    const Store store = Store::parse(
        "OutputFormat=GIF\n"  // before any section
        "[Settings\n"         // no header: the next line still precedes any section
        "OutputFormat=TGA\n"
        "[Settings]\n"
        "\x01\xFF garbage without equals\n"
        "=no key\n"
        "OutputFormat=WEBP\n"
        "OutputFormat=TIFF\n"  // the first one counts
        "[Other]\n"
        "Grayscale=ON\n"
        "[ settings ]\n"  // the same section once more
        "OutputQuality=42\n"
        "OutputFormat=PSD");
    EXPECT_EQ(store.text(Key::OutputFormat), "WEBP");
    EXPECT_FALSE(store.grayscale());
    EXPECT_EQ(store.outputQuality(), 42);
}

TEST(SettingsRead, QualityAsTheQualityBoxReadsIt) {
    const std::pair<const char*, long long> cases[] = {
        {"80", 80}, {" 80 ", 80}, {"+7", 7},    {"-5", -5},           {"250", 250},  {"abc", 100},
        {"", 100},  {"8 0", 100}, {"80%", 100}, {"99999999999", 100}, {"0x10", 100},
    };
    for (const auto& [text, expected] : cases) {
        const Store store = Store::parse(std::string("[Settings]\nOutputQuality=") + text);
        EXPECT_EQ(store.outputQuality(), expected) << text;
    }
}

TEST(SettingsStartup, AppliedInOrderWithWriteBacks) {
    struct Case {
        const char* name;
        const char* file;
        bool remember, icons, subfolders, grayscale, writeQuality, writeGrayscale;
        int quality;
        const char* format;
    };
    const Case cases[] = {
        {"remember off applies nothing",
         "[Settings]\nRememberSettings=OFF\nOutputFormat=JPG\nDisplayIcons=OFF\nOutputQuality=5\n"
         "Grayscale=ON",
         false, true, true, false, false, false, 100, ""},
        {"remember off in lower case applies the rest",
         "[Settings]\nRememberSettings=off\nOutputFormat=JPG\nDisplayIcons=OFF\n", true, false,
         true, false, false, false, 100, "JPG"},
        {"quality above the range is clamped and written back",
         "[Settings]\nOutputQuality=250\nIncludeSubfolders=OFF", true, true, false, false, true,
         false, 100, ""},
        {"quality below the range", "[Settings]\nOutputQuality=0", true, true, true, false, true,
         false, 1, ""},
        {"malformed quality counts as 100", "[Settings]\nOutputQuality=lots", true, true, true,
         false, false, false, 100, ""},
        {"stored quality 100 needs no write", "[Settings]\nOutputQuality=100", true, true, true,
         false, false, false, 100, ""},
        {"grayscale on is written back", "[Settings]\nGrayscale=ON\nOutputQuality=60", true, true,
         true, true, true, true, 60, ""},
    };
    for (const Case& c : cases) {
        const StartupOptions o = readStartupOptions(Store::parse(c.file), noFolderExists);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(o.rememberSettings, c.remember);
        EXPECT_EQ(o.displayIcons, c.icons);
        EXPECT_EQ(o.includeSubfolders, c.subfolders);
        EXPECT_EQ(o.grayscale, c.grayscale);
        EXPECT_EQ(o.outputQuality, c.quality);
        EXPECT_EQ(o.writeBackQuality, c.writeQuality);
        EXPECT_EQ(o.writeBackGrayscale, c.writeGrayscale);
        EXPECT_EQ(o.outputFormat, c.format);
    }
}

TEST(SettingsStartup, DestinationOnlyWhenTheFolderExists) {
    ScratchDir dir;
    auto exists = [](const std::string& path) { return fs::is_directory(path); };
    const std::pair<std::string, bool> cases[] = {
        {dir.path().string(), true},
        {(dir.path() / "deleted").string(), false},
        {"Same Folder as Original", false},
        {"", false},
    };
    for (const auto& [destination, kept] : cases) {
        const auto o =
            readStartupOptions(Store::parse("[Settings]\nDestination=" + destination), exists);
        EXPECT_EQ(o.destination.has_value(), kept) << destination;
        if (kept) {
            EXPECT_EQ(*o.destination, destination);
        }
    }
}

TEST(SettingsWrite, KeepsUnknownLinesAndWritesBom) {
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    test::writeText(path,
                    "; kept note\n"
                    "[Window]\n"
                    "Left=10\n"
                    "\n"
                    "[SETTINGS]\n"
                    "outputformat=PNG\n"
                    "Future=yes\n"
                    "\n"
                    "[Other]\n"
                    "Key=Value\n");
    Store store = Store::load(path);
    store.set(Key::OutputFormat, "WEBP");
    store.setQuality(80);
    EXPECT_EQ(readFile(path), kBom +
                                  "; kept note\n"
                                  "[Window]\n"
                                  "Left=10\n"
                                  "\n"
                                  "[SETTINGS]\n"
                                  "outputformat=WEBP\n"
                                  "Future=yes\n"
                                  "OutputQuality=80\n"
                                  "\n"
                                  "[Other]\n"
                                  "Key=Value\n");

    // Read back: the mark is tolerated and every value survives.
    const Store again = Store::load(path);
    EXPECT_EQ(again.text(Key::OutputFormat), "WEBP");
    EXPECT_EQ(again.outputQuality(), 80);
    EXPECT_EQ(again.serialize(), readFile(path));
}

TEST(SettingsWrite, MissingFileGetsSectionOnFirstChange) {
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    Store store = Store::load(path);
    EXPECT_FALSE(fs::exists(path));  // opening writes nothing
    store.setSwitch(Key::Grayscale, true);
    store.set(Key::Destination, "/home/user/My = Pictures");
    EXPECT_EQ(readFile(path),
              kBom + "[Settings]\nGrayscale=ON\nDestination=/home/user/My = Pictures\n");
    EXPECT_EQ(Store::load(path).text(Key::Destination), "/home/user/My = Pictures");
    EXPECT_THROW(store.set(Key::Destination, "a\nOutputFormat=GIF"), std::invalid_argument);
    EXPECT_EQ(Store::load(path).text(Key::OutputFormat), "");
}

// Blanks at either end of a value would be lost on reading, so such a value is
// written in double quotes; so is a value that is itself in quotes with blanks
// just inside them. Every other value is written as it is and files of earlier
// versions read as they always did.
TEST(SettingsWrite, ValuesKeepBlanksAtTheirEnds) {
    struct Case {
        const char* value;
        const char* line;  // as written
    };
    const Case cases[] = {
        {" /home/user/Out", "Destination=\" /home/user/Out\""},
        {"/home/user/Out ", "Destination=\"/home/user/Out \""},
        {"\t/tmp/a b\t", "Destination=\"\t/tmp/a b\t\""},
        {"   ", "Destination=\"   \""},
        {"\" x \"", "Destination=\"\" x \"\""},
        {"\"\" x \"\"", "Destination=\"\"\" x \"\"\""},
        {"/home/user/a b", "Destination=/home/user/a b"},
        {"\"/home/user/Out\"", "Destination=\"/home/user/Out\""},
        {"\"", "Destination=\""},
        {"\"\"", "Destination=\"\""},
        {"\" x", "Destination=\" x"},
        {"", "Destination="},
    };
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Store store = Store::load(path);
        store.set(Key::Destination, c.value);
        EXPECT_EQ(readFile(path), kBom + "[Settings]\n" + c.line + "\n");
        const Store again = Store::load(path);
        EXPECT_EQ(again.text(Key::Destination), c.value);
        EXPECT_EQ(again.serialize(), readFile(path));
        fs::remove(path);
    }

    // A folder whose name ends with a blank is remembered.
    fs::create_directory(dir.path() / "Out ");
    const std::string folder = (dir.path() / "Out ").string();
    Store store = Store::load(path);
    store.set(Key::Destination, folder);
    const auto o = readStartupOptions(Store::load(path),
                                      [](const std::string& p) { return fs::is_directory(p); });
    ASSERT_TRUE(o.destination.has_value());
    EXPECT_EQ(*o.destination, folder);
}

TEST(SettingsRead, QuotesComeOffOnlyWhereBlanksNeedThem) {
    const std::pair<const char*, const char*> cases[] = {
        // Lines as earlier versions wrote them or users typed them: read as before.
        {"Destination=/home/user/a b", "/home/user/a b"},
        {"Destination=  /home/user/Out  ", "/home/user/Out"},
        {"Destination=\"/home/user/Out\"", "\"/home/user/Out\""},
        {"Destination=\"\"", "\"\""},
        {"Destination=\"", "\""},
        {"Destination=\" /home/user/Out", "\" /home/user/Out"},
        {"OutputFormat=\"JPG\"", "\"JPG\""},
        // Quoted with blanks inside the quotes: the blanks are the value's own.
        {"Destination=\" /home/user/Out \"", " /home/user/Out "},
        {"Destination=  \"/home/user/Out \"  ", "/home/user/Out "},
        {"Destination=\"\"\" x \"\"\"", "\"\" x \"\""},
    };
    for (const auto& [line, value] : cases) {
        const Store store = Store::parse(std::string("[Settings]\n") + line);
        EXPECT_EQ(store.text(Key::Destination) + store.text(Key::OutputFormat), value) << line;
    }
}

TEST(SettingsWrite, FailedWriteKeepsOldFileAndValue) {
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    Store store = Store::load(path);
    store.set(Key::OutputFormat, "GIF");
    const std::string before = readFile(path);

    // Make the rename fail: the settings name becomes a non-empty folder. This works
    // for every user, root included.
    fs::rename(path, dir.file("moved.ini"));
    fs::create_directory(path);
    test::writeText(fs::path(path) / "inside", "x");
    try {
        store.set(Key::OutputFormat, "JXL");
        FAIL() << "no error";
    } catch (const SettingsError& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot create file \"" + path + "\""),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(store.text(Key::OutputFormat), "JXL");  // the control keeps its new state

    // No temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"moved.ini", "settings.ini"}));

    // The next change tries again and carries the earlier one too.
    fs::remove_all(path);
    fs::rename(dir.file("moved.ini"), path);
    EXPECT_EQ(readFile(path), before);
    store.setQuality(50);
    const Store again = Store::load(path);
    EXPECT_EQ(again.text(Key::OutputFormat), "JXL");
    EXPECT_EQ(again.outputQuality(), 50);
}

TEST(SettingsWrite, ReadOnlyFolderReportsTheFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    Store store = Store::load(path);
    store.set(Key::OutputFormat, "GIF");
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(store.set(Key::OutputFormat, "BMP"), SettingsError);
    fs::permissions(dir.path(), fs::perms::owner_all);
    EXPECT_EQ(Store::load(path).text(Key::OutputFormat), "GIF");
}

TEST(SettingsReset, DeletesTheFile) {
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    Store store = Store::load(path);
    EXPECT_TRUE(store.reset());  // no file: nothing to do
    store.set(Key::OutputFormat, "GIF");
    ASSERT_TRUE(fs::exists(path));
    EXPECT_TRUE(store.reset());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(store.text(Key::OutputFormat), "");
}

}  // namespace
}  // namespace imbrix::settings

namespace imbrix::settings {
namespace {

TEST(SettingsMemoryLimit, MegabytesOrAutomatic) {
    const struct {
        const char* text;
        std::uint64_t bytes;
    } cases[] = {
        {nullptr, 0}, {"0", 0}, {"512", 512ull << 20}, {" 2048 ", 2048ull << 20}, {"-5", 0},
        {"2G", 0},    {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(absent)");
        const std::string line = c.text ? std::string("MemoryLimit=") + c.text + "\r\n" : "";
        const Store store = Store::parse("[Settings]\r\n" + line);
        EXPECT_EQ(store.memoryLimitBytes(), c.bytes);
    }
}

TEST(SettingsMemoryLimit, WrittenBackAsItIsRead) {
    test::ScratchDir dir;
    Store store(dir.file("settings.ini"));
    store.setMemoryLimitMegabytes(3072);
    EXPECT_EQ(Store::load(dir.file("settings.ini")).memoryLimitBytes(), 3072ull << 20);
    EXPECT_EQ(keyInfo(Key::MemoryLimit).name, "MemoryLimit");
}

// The batch options: each key read on its own, a bad or out-of-range value as
// its default, and the whole set surviving a write and a fresh start.
TEST(SettingsBatchOptions, ReadWithDefaultsForBadValues) {
    using imaging::ResizeMode;
    const struct {
        const char* name;
        const char* lines;
        imaging::ResizeOptions resize;
    } cases[] = {
        {"absent: no resize, the boxes' defaults",
         "",
         {ResizeMode::None, 1920, 1080, 1920, 50, false}},
        {"fit",
         "ResizeMode=FIT\nResizeWidth=800\nResizeHeight=600\nResizeEnlarge=ON",
         {ResizeMode::Fit, 800, 600, 1920, 50, true}},
        {"long side",
         "ResizeMode=LONGSIDE\nResizeLongSide=1024",
         {ResizeMode::LongSide, 1920, 1080, 1024, 50, false}},
        {"percent at its ends",
         "ResizeMode=PERCENT\nResizePercent=1000\nResizeWidth=65535",
         {ResizeMode::Percent, 65535, 1080, 1920, 1000, false}},
        {"modes and switches are upper case",
         "ResizeMode=fit\nResizeEnlarge=on",
         {ResizeMode::None, 1920, 1080, 1920, 50, false}},
        {"out of range and malformed numbers",
         "ResizeMode=PERCENT\nResizePercent=1001\nResizeWidth=0\nResizeHeight=65536\n"
         "ResizeLongSide=12px",
         {ResizeMode::Percent, 1920, 1080, 1920, 50, false}},
        {"unknown mode",
         "ResizeMode=STRETCH\nResizeWidth=640",
         {ResizeMode::None, 640, 1080, 1920, 50, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Store store = Store::parse(std::string("[Settings]\n") + c.lines);
        EXPECT_EQ(store.resize(), c.resize);
        EXPECT_EQ(readStartupOptions(store, noFolderExists).resize, c.resize);
    }

    const Store flags = Store::parse(
        "[Settings]\nKeepFolderStructure=ON\nExistingOutput=SKIP\nKeepFileDates=OFF\n");
    EXPECT_TRUE(flags.keepFolderStructure());
    EXPECT_TRUE(flags.skipExisting());
    EXPECT_FALSE(flags.keepFileDates());
    const Store odd =
        Store::parse("[Settings]\nKeepFolderStructure=yes\nExistingOutput=skip\nKeepFileDates=ON");
    EXPECT_FALSE(odd.keepFolderStructure());
    EXPECT_FALSE(odd.skipExisting());
    EXPECT_TRUE(odd.keepFileDates());
    // Remember Settings off: every option keeps its default.
    const StartupOptions off = readStartupOptions(
        Store::parse("[Settings]\nRememberSettings=OFF\nResizeMode=FIT\nExistingOutput=SKIP"),
        noFolderExists);
    EXPECT_FALSE(off.resize.active());
    EXPECT_FALSE(off.skipExisting);
}

TEST(SettingsBatchOptions, WrittenAndReadBack) {
    ScratchDir dir;
    const std::string path = dir.file("settings.ini");
    {
        Store store(path);
        store.set(Key::ResizeMode, kResizeLongSide);
        store.set(Key::ResizeLongSide, "2048");
        store.setSwitch(Key::ResizeEnlarge, true);
        store.setSwitch(Key::KeepFolderStructure, true);
        store.set(Key::ExistingOutput, kExistingSkip);
        store.setSwitch(Key::KeepFileDates, true);
    }
    const StartupOptions o = readStartupOptions(Store::load(path), noFolderExists);
    EXPECT_EQ(o.resize.mode, imaging::ResizeMode::LongSide);
    EXPECT_EQ(o.resize.longSide, 2048u);
    EXPECT_TRUE(o.resize.enlarge);
    EXPECT_TRUE(o.keepFolderStructure);
    EXPECT_TRUE(o.skipExisting);
    EXPECT_TRUE(o.keepFileDates);
    const std::string text = readFile(path);
    for (const char* line : {"ResizeMode=LONGSIDE", "ResizeLongSide=2048", "ResizeEnlarge=ON",
                             "KeepFolderStructure=ON", "ExistingOutput=SKIP", "KeepFileDates=ON"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace imbrix::settings
