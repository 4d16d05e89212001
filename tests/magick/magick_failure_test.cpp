// The converter front refuses what it cannot do, clearly and without harm:
// command lines it does not accept, unreadable sources, output names it must not
// replace, missing or misbehaving helper programs, hostile file names, and being
// stopped half-way. Every test also checks (in MagickTest) that no temporary file
// is left behind.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "magick/magick_support.h"

extern char** environ;

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

fs::path smallPhoto() {
    return corpusDir() / "photos" / "exif-orientation" / "orientation_6.jpg";
}
fs::path smallGif() {
    return corpusDir() / "gif" / "animated" / "traffic_light.gif";
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::vector<fs::path> folderEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(folder)) {
        entries.push_back(entry.path());
    }
    return entries;
}

// --- Command lines --------------------------------------------------------------

struct RefusedCase {
    std::string label;
    std::vector<std::string> args;  ///< "OUT" stands for an output path in the scratch folder
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.label;
}

const std::vector<RefusedCase> kRefused{
    {"no_arguments", {}},
    {"input_only", {"IN"}},
    {"decode_into_jpeg", {"IN", "OUT.jpg"}},
    {"quality_zero", {"IN", "-auto-orient", "-quality", "0", "OUT.avif"}},
    {"quality_above_100", {"IN", "-auto-orient", "-quality", "101", "OUT.avif"}},
    {"quality_not_a_number", {"IN", "-auto-orient", "-quality", "8a", "OUT.avif"}},
    {"quality_negative", {"IN", "-auto-orient", "-quality", "-5", "OUT.avif"}},
    {"quality_form_into_png", {"IN", "-auto-orient", "-quality", "80", "OUT.png"}},
    {"quality_form_into_webp", {"IN", "-auto-orient", "-quality", "80", "OUT.webp"}},
    {"unknown_output_format", {"IN", "-auto-orient", "-quality", "80", "OUT.xyz"}},
    {"no_auto_orient", {"IN", "-quality", "80", "OUT.avif"}},
    {"other_colorspace", {"IN", "-auto-orient", "-colorspace", "RGB", "-quality", "80", "OUT.gif"}},
    {"other_option", {"IN", "-auto-orient", "-resize", "80", "OUT.gif"}},
    {"coalesce_into_gif", {"IN", "-auto-orient", "-coalesce", "OUT.gif"}},
    // "-resize G" only with a geometry the program writes, right after -auto-orient
    // (-quality forms) or -coalesce.
    {"resize_without_geometry", {"IN", "-auto-orient", "-resize", "-quality", "80", "OUT.gif"}},
    {"resize_bare_number", {"IN", "-auto-orient", "-resize", "80", "-quality", "80", "OUT.gif"}},
    {"resize_zero_side", {"IN", "-auto-orient", "-resize", "0x80", "-quality", "80", "OUT.gif"}},
    {"resize_after_colorspace",
     {"IN", "-auto-orient", "-colorspace", "Gray", "-resize", "50%", "-quality", "80", "OUT.gif"}},
    {"resize_before_coalesce", {"IN", "-auto-orient", "-resize", "50%", "-coalesce", "OUT.webp"}},
    {"resize_in_decode", {"IN", "-resize", "50%", "OUT.png"}},
    // "+profile !icc,*" only right before OUT, only in the -quality and -coalesce forms.
    {"strip_before_quality",
     {"IN", "-auto-orient", "+profile", "!icc,*", "-quality", "80", "OUT.avif"}},
    {"strip_in_decode", {"IN", "+profile", "!icc,*", "OUT.png"}},
    {"strip_other_pattern", {"IN", "-auto-orient", "-quality", "80", "+profile", "*", "OUT.avif"}},
    {"strip_without_pattern", {"IN", "-auto-orient", "-quality", "80", "+profile", "OUT.avif"}},
    {"strip_after_out", {"IN", "-auto-orient", "-coalesce", "OUT.webp", "+profile", "!icc,*"}},
    {"empty_input", {"", "OUT.png"}},
};

class CommandLineTest : public MagickTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(CommandLineTest, RefusesWithUsageAndWritesNothing) {
    std::vector<std::string> args = GetParam().args;
    for (auto& arg : args) {
        if (arg == "IN") {
            arg = smallPhoto().string();
        } else if (startsWith(arg, "OUT")) {
            arg = file("out" + arg.substr(3));
        }
    }
    const RunResult run = runMagick(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("magick: unsupported command line"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("usage: magick"), std::string::npos) << run.output;
    EXPECT_EQ(folderEntries(dir()), std::vector<fs::path>{tmpDir()}) << "nothing but tmp/";
}

INSTANTIATE_TEST_SUITE_P(Refused, CommandLineTest, ::testing::ValuesIn(kRefused),
                         [](const auto& p) { return p.param.label; });

// --- Unreadable sources ------------------------------------------------------------

struct BadSourceCase {
    std::string label;
    /// Makes the source in `folder` and returns its path.
    std::function<fs::path(const fs::path& folder)> make;
    /// The command line's words after the source ("OUT" as above).
    std::vector<std::string> rest;
};

void PrintTo(const BadSourceCase& c, std::ostream* os) {
    *os << c.label;
}

// The first `n` bytes of a corpus file, under `name`.
std::function<fs::path(const fs::path&)> truncated(const std::string& relative, std::size_t n,
                                                   const std::string& name) {
    return [=](const fs::path& folder) {
        std::vector<std::uint8_t> bytes = readBytes(corpusDir() / relative);
        bytes.resize(std::min(bytes.size(), n));
        writeBytes(folder / name, bytes);
        return folder / name;
    };
}

std::function<fs::path(const fs::path&)> broken(const std::string& relative) {
    return [=](const fs::path&) { return corpusDir() / "broken" / relative; };
}

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
    const auto crc =
        ::crc32(::crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4),
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    return bigEndian(static_cast<std::uint32_t>(data.size())) + type + data +
           bigEndian(static_cast<std::uint32_t>(crc));
}

// A complete, valid PNG of 17000 x 17000 black pixels (1 bit each) in some 40 KB:
// a reader without limits needs gigabytes for it, and ImageMagick's policy
// (16384 pixels a side) refuses it.
fs::path hugePng(const fs::path& folder) {
    using namespace std::string_literals;
    constexpr std::uint32_t side = 17000;
    const std::size_t rowBytes = 1 + (side + 7) / 8;  // filter byte and pixels
    const std::vector<Bytef> rows(rowBytes * side, 0);
    uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
    std::string packed(packedSize, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, rows.data(),
                        static_cast<uLong>(rows.size()), 9),
              Z_OK);
    packed.resize(packedSize);
    const std::string png =
        "\x89PNG\r\n\x1a\n"s +
        pngChunk("IHDR", bigEndian(side) + bigEndian(side) + "\x01\x00\x00\x00\x00"s) +
        pngChunk("IDAT", packed) + pngChunk("IEND", "");
    writeText(folder / "huge.png", png);
    return folder / "huge.png";
}

// A JPEG XL codestream whose size header claims 100000 x 100000 pixels.
fs::path hugeJxl(const fs::path& folder) {
    using namespace std::string_literals;
    writeText(folder / "huge.jxl", "\xff\x0a\xfe\x34\x0c\x00\x12"s + std::string(64, '\0'));
    return folder / "huge.jxl";
}

// A GIF of one 1 x 1 picture on a 60000 x 60000 screen: a tool that makes
// canvases of the screen's size needs gigabytes for it.
fs::path hugeScreenGif(const fs::path& folder) {
    using namespace std::string_literals;
    const std::string gif =
        "GIF89a\x60\xea\x60\xea\x80\x00\x00"s        // screen, 2 colours
        "\x00\x00\x00\xff\xff\xff"s                  // colour table
        "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00"s  // 1 x 1 image
        "\x02\x02\x44\x01\x00\x3b"s;                 // its data, end
    writeText(folder / "screen.gif", gif);
    return folder / "screen.gif";
}

const std::vector<std::string> kDecode{"OUT.png"};
const std::vector<std::string> kWriteBmp{"-auto-orient", "-quality", "80", "OUT.bmp"};
const std::vector<std::string> kWritePdf{"-auto-orient", "-quality", "80", "OUT.pdf"};
const std::vector<std::string> kWriteSvg{"-auto-orient", "-quality", "80", "OUT.svg"};
const std::vector<std::string> kWriteJxl{"-auto-orient", "-quality", "80", "OUT.jxl"};
const std::vector<std::string> kWriteJp2{"-auto-orient", "-quality", "80", "OUT.jp2"};
const std::vector<std::string> kAnimate{"-auto-orient", "-coalesce", "OUT.webp"};

const std::vector<BadSourceCase> kBadSources{
    {"missing", [](const fs::path& f) { return f / "missing.heic"; }, kDecode},
    {"empty",
     [](const fs::path& f) {
         writeText(f / "empty.avif", "");
         return f / "empty.avif";
     },
     kDecode},
    {"folder",
     [](const fs::path& f) {
         fs::create_directory(f / "folder.psd");
         return f / "folder.psd";
     },
     {"-flatten", "OUT.png"}},
    {"text_named_avif",
     [](const fs::path& f) {
         writeText(f / "notes.avif", "not a picture\n");
         return f / "notes.avif";
     },
     kDecode},
    {"truncated_heic", truncated("heic/derived/picosdeeuropa_q80.heic", 2000, "cut.heic"), kDecode},
    {"truncated_jxl", truncated("jxl/derived/picosdeeuropa_d1.jxl", 300, "cut.jxl"), kDecode},
    {"truncated_jp2", truncated("jp2/nemo.jp2", 1000, "cut.jp2"), kWritePdf},
    {"truncated_gif_to_webp", truncated("gif/animated/traffic_light.gif", 400, "cut.gif"),
     kAnimate},
    {"truncated_jpeg", broken("misc/truncated.jpg"), kWriteJxl},
    {"bad_tga_header", broken("gdk-pixbuf-fail/DoS.tga"), kDecode},
    {"bad_gif_to_webp", broken("gdk-pixbuf-fail/invalid.1.gif"), kAnimate},
    {"bad_ico", broken("gdk-pixbuf-fail/bug778204.ico"), kWriteBmp},
    {"svg_without_svg_root", broken("librsvg-crash/335-non-svg-toplevel.svg"), kWriteBmp},
    {"svg_bad_namespace", broken("librsvg-crash/349-too-big-image-in-href-data.svg"), kWriteBmp},
    {"huge_png_to_pdf", hugePng, kWritePdf},
    {"huge_png_to_bmp", hugePng, kWriteBmp},
    {"huge_jxl", hugeJxl, kDecode},
    {"huge_gif_screen_to_webp", hugeScreenGif, kAnimate},
};

// A fixture whose command lines name their output by placeholder.
class OutputWordsTest : public MagickTest {
protected:
    // The source, then `words`, where a word "OUT<ext>" stands for the output
    // file "out<ext>" in the test's folder; `out` receives that file's path.
    std::vector<std::string> commandLine(const fs::path& source,
                                         const std::vector<std::string>& words,
                                         std::string& out) const {
        std::vector<std::string> args{source.string()};
        for (const auto& word : words) {
            if (startsWith(word, "OUT")) {
                out = file("out" + word.substr(3));
                args.push_back(out);
            } else {
                args.push_back(word);
            }
        }
        return args;
    }
};

class BadSourceTest : public OutputWordsTest,
                      public ::testing::WithParamInterface<BadSourceCase> {};

TEST_P(BadSourceTest, FailsNamingTheSourceAndWritesNothing) {
    const BadSourceCase& c = GetParam();
    const fs::path sources = dir() / "sources";
    fs::create_directory(sources);
    const fs::path source = c.make(sources);
    std::string out;
    const std::vector<std::string> args = commandLine(source, c.rest, out);
    const RunResult run = runMagick(args);
    EXPECT_EQ(run.status, 3) << "the source cannot be read: " << run.output;
    const std::string line = run.lastLine();
    const std::string prefix = "magick: cannot read " + source.string() + ": ";
    EXPECT_TRUE(startsWith(line, prefix)) << line;
    EXPECT_GT(line.size(), prefix.size()) << "a reason follows";
    EXPECT_EQ(line.find("imbrix-magick-"), std::string::npos)
        << "the message names the user's file, not our temporary names: " << line;
    EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(Unreadable, BadSourceTest, ::testing::ValuesIn(kBadSources),
                         [](const auto& p) { return p.param.label; });

// --- Output names ------------------------------------------------------------------

class OutputNameTest : public MagickTest {
protected:
    RunResult writeGif(const std::string& out) {
        return runMagick({smallPhoto().string(), "-auto-orient", "-quality", "80", out});
    }
};

TEST_F(OutputNameTest, NeverReplacesAnExistingPicture) {
    const std::string out = file("taken.gif");
    writeText(out, "somebody's picture");
    const RunResult run = writeGif(out);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(startsWith(run.lastLine(), "magick: cannot write " + out + ": ")) << run.output;
    const auto bytes = readBytes(out);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "somebody's picture");
}

TEST_F(OutputNameTest, FillsTheEmptyFileThatReservedTheName) {
    // The program reserves an output name by creating it empty, then lets the
    // converter write it.
    const std::string out = file("reserved.gif");
    writeText(out, "");
    const RunResult run = writeGif(out);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(headBytes(out, 6), "GIF89a");
    EXPECT_EQ(folderEntries(dir()).size(), 2u) << "only tmp/ and the output";
}

TEST_F(OutputNameTest, RefusesAFolderAndAMissingFolder) {
    fs::create_directory(dir() / "folder.gif");
    for (const std::string& out : {file("folder.gif"), file("missing/out.gif")}) {
        const RunResult run = writeGif(out);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(startsWith(run.lastLine(), "magick: cannot write " + out + ": ")) << run.output;
    }
    EXPECT_TRUE(fs::is_directory(dir() / "folder.gif"));
    EXPECT_TRUE(fs::is_empty(dir() / "folder.gif"));
    EXPECT_FALSE(fs::exists(dir() / "missing"));
}

// --- Helper programs ---------------------------------------------------------------

struct BackEndCase {
    std::string label;
    const char* variable;           ///< which helper is replaced
    std::string script;             ///< its stand-in's body; empty: a path where nothing exists
    std::vector<std::string> args;  ///< after the source ("OUT" as above)
    std::string expected;           ///< in the last line, after "magick: cannot write OUT: "
};

void PrintTo(const BackEndCase& c, std::ostream* os) {
    *os << c.label;
}

// A helper that is not there: named, with the place it was looked for.
constexpr const char* kMissing =
    "the helper program no-such-helper is missing or cannot be started";

const std::vector<BackEndCase> kBackEnds{
    // (SVG: BMP, TGA, PSD and ICO are written in process from most sources.)
    {"imagemagick_missing", "IMBRIX_MAGICK_CONVERT", "", kWriteSvg, kMissing},
    {"graphicsmagick_missing", "IMBRIX_MAGICK_GM", "", kWritePdf, kMissing},
    {"gif2webp_missing", "IMBRIX_MAGICK_GIF2WEBP", "", kAnimate, kMissing},
    // Succeeds, but what it writes is a PNG, as ImageMagick 6 does for ".jxl".
    {"jxl_encoder_writes_png", "IMBRIX_MAGICK_CJXL", "cp \"$1\" \"$2\"\n", kWriteJxl,
     "the converter wrote no JXL data"},
    {"jxl_encoder_writes_nothing", "IMBRIX_MAGICK_CJXL", "exit 0\n", kWriteJxl,
     "the converter wrote no file"},
    {"jxl_encoder_fails", "IMBRIX_MAGICK_CJXL", "echo 'disk quota exceeded' >&2\nexit 3\n",
     kWriteJxl, "disk quota exceeded"},
    {"gif2webp_writes_half", "IMBRIX_MAGICK_GIF2WEBP", "printf 'RIFF' > \"$4\"\n", kAnimate,
     "the converter wrote no WEBP data"},
    {"jp2_encoder_missing", "IMBRIX_MAGICK_OPJCOMPRESS", "", kWriteJp2, kMissing},
    // OpenJPEG's way of failing: its reason among progress lines, then a summary.
    {"jp2_encoder_fails", "IMBRIX_MAGICK_OPJCOMPRESS",
     "echo '[INFO] tile number 1 / 1'\necho '[ERROR] Not enough memory for tile data' >&2\n"
     "echo 'failed to encode image'\nexit 1\n",
     kWriteJp2, "Not enough memory for tile data"},
};

class BackEndTest : public OutputWordsTest, public ::testing::WithParamInterface<BackEndCase> {};

TEST_P(BackEndTest, FailsClearlyAndWritesNothing) {
    const BackEndCase& c = GetParam();
    const std::string helper =
        c.script.empty() ? file("no-such-helper") : writeScript(dir() / "helper", c.script);
    const ScopedEnv env(c.variable, helper);
    // The helpers' route, for the formats the front also writes in its own process.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const fs::path source = c.args == kAnimate ? smallGif() : smallPhoto();
    std::string out;
    const std::vector<std::string> args = commandLine(source, c.args, out);
    const RunResult run = runMagick(args);
    EXPECT_EQ(run.status, 1) << run.output;
    const std::string prefix = "magick: cannot write " + out + ": ";
    EXPECT_TRUE(startsWith(run.lastLine(), prefix + c.expected)) << run.output;
    if (c.script.empty()) {
        EXPECT_NE(run.lastLine().find("(looked for at " + helper + ": No such file or directory)"),
                  std::string::npos)
            << run.lastLine();
    }
    EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(Misbehaving, BackEndTest, ::testing::ValuesIn(kBackEnds),
                         [](const auto& p) { return p.param.label; });

// --- File names ----------------------------------------------------------------------

class FileNameTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

// Names that a shell, or ImageMagick's own file-name syntax ("gif:x", "x[1]",
// "@list", "-option"), would take for something else. They are given relative
// to the working folder, so that their first character counts.
TEST_P(FileNameTest, TakesTheNameLiterally) {
    const std::string name = GetParam();
    const fs::path folder = dir() / "pictures";
    fs::create_directory(folder);
    fs::copy_file(smallPhoto(), folder / (name + ".jpg"));

    for (const std::string ext : {".gif", ".png"}) {
        std::vector<std::string> argv{"/usr/bin/env", "-C", folder.string(), magickPath(),
                                      name + ".jpg"};
        if (ext == ".gif") {
            argv.insert(argv.end(), {"-auto-orient", "-quality", "80"});
        }
        argv.push_back(name + ext);
        std::string output;
        ASSERT_EQ(runCommand(argv, &output), 0) << output;
        EXPECT_EQ(headBytes(folder / (name + ext), 4), ext == ".gif" ? "GIF8" : "\x89PNG");
    }
    // The source and the two outputs, nothing else (no file a command made).
    EXPECT_EQ(folderEntries(folder).size(), 3u);
    EXPECT_EQ(folderEntries(dir()).size(), 2u) << "only tmp/ and pictures/";
}

INSTANTIATE_TEST_SUITE_P(Hostile, FileNameTest,
                         ::testing::Values("a\"; touch made-by-shell; \"b",
                                           "$(touch made-by-shell)", "`touch made-by-shell`",
                                           "-quality", "@list", "gif:photo", "photo[1]", "photo%d",
                                           "new\nline", "space and \xc3\xbcml\xc3\xa4ut"),
                         [](const auto& p) { return "name" + std::to_string(p.index); });

// --- Failures outside the conversion proper ---------------------------------------

// The temporary folder cannot be made: an error of the front's own set-up, not
// of a helper. It still ends in one line naming the source, and status 1.
TEST_F(OutputNameTest, MissingTemporaryFolderFailsWithAMessage) {
    const fs::path missing = dir() / "no-such-folder";
    const ScopedEnv env("TMPDIR", missing.string());
    const std::string out = file("out.bmp");
    const RunResult run = runMagick({smallPhoto().string(), "-auto-orient", "-quality", "80", out});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.lastLine(), "magick: cannot convert " + smallPhoto().string() +
                                  ": cannot create a temporary folder in " + missing.string() +
                                  ": No such file or directory")
        << run.output;
    EXPECT_FALSE(fs::exists(out));
}

// A front killed outright leaves its work folder; the next front removes it,
// and leaves that of a front still at work.
TEST_F(OutputNameTest, WorkFoldersOfKilledFrontsAreRemoved) {
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    const fs::path left = tmpDir() / ("imbrix-magick-" + std::to_string(ended) + "-Ab12Cd");
    const fs::path live = tmpDir() / ("imbrix-magick-" + std::to_string(::getpid()) + "-Ef34Gh");
    for (const fs::path& folder : {left, live}) {
        fs::create_directories(folder);
        writeText((folder / "mid.png").string(), "half");
    }
    const RunResult run = writeGif(file("after.gif"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(live / "mid.png"));
    fs::remove_all(live);  // ours: the fixture checks that nothing else is left
}

// --- Being stopped -------------------------------------------------------------------

class StoppedTest : public MagickTest {};

TEST_F(StoppedTest, TerminationRemovesTheTemporaryFiles) {
    // The helpers' route, which some formats here no longer take by default.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    // A stand-in ImageMagick that leaves a file in its temporary folder (the
    // converter's), says where it is and that it runs, then waits to be ended.
    const fs::path ready = dir() / "ready";
    const std::string helper = writeScript(
        dir() / "slow-convert", ": > \"$TMPDIR/half-written\"\necho $$ > \"" + ready.string() +
                                    ".part\"\nmv \"" + ready.string() + ".part\" \"" +
                                    ready.string() + "\"\nexec sleep 60\n");
    const ScopedEnv env("IMBRIX_MAGICK_CONVERT", helper);
    const std::string out = file("out.bmp");
    std::vector<std::string> argv{
        magickPath(), smallPhoto().string(), "-auto-orient", "-quality", "80", out};
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Waits for the helper to be running (an event, not a time: the loop ends as
    // soon as the file appears, or when the converter has ended without it).
    int status = 0;
    bool ended = false;
    while (!fs::exists(ready) && !ended) {
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(ended) << "the converter ended before its helper ran";
    std::string helperPid;
    std::ifstream(ready) >> helperPid;
    EXPECT_FALSE(fs::is_empty(tmpDir())) << "the workspace exists while the helper runs";

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (!helperPid.empty()) {
        ::kill(std::stoi(helperPid), SIGKILL);
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_FALSE(fs::exists(out));
    // MagickTest's TearDown checks that tmp/ is empty again.
}

}  // namespace
}  // namespace imbrix::test
