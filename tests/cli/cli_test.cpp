// imbrix-cli end to end: real photos to every format, each output read back by
// a reader that did not write it; options, usage errors, reports, exit status.
#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <librsvg/rsvg.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <regex>

#include "common/testsupport.h"
#include "convert/outputformats.h"

extern char** environ;

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string output;  // standard output and error together
};

std::string cliPath() {
    return (binDir() / "imbrix-cli").string();
}

Result cli(std::vector<std::string> args) {
    args.insert(args.begin(), cliPath());
    Result result;
    result.status = runCommand(args, &result.output);
    return result;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Size {
    int width = 0;
    int height = 0;
};

// Reads "W H" from a reader's output; a failure to read is a test failure.
Size parseSize(const std::vector<std::string>& argv, const std::regex& pattern) {
    std::string output;
    const int status = runCommand(argv, &output);
    std::smatch match;
    if (status != 0 || !std::regex_search(output, match, pattern)) {
        ADD_FAILURE() << argv[0] << " could not read " << argv.back() << ": " << output;
        return {};
    }
    return {std::stoi(match[1]), std::stoi(match[2])};
}

// An SVG drawn by librsvg at its own size: the size, when something was drawn.
Size renderSvg(const fs::path& file) {
    GError* error = nullptr;
    RsvgHandle* handle = rsvg_handle_new_from_file(file.c_str(), &error);
    if (!handle) {
        ADD_FAILURE() << "librsvg could not read " << file << ": " << (error ? error->message : "");
        g_clear_error(&error);
        return {};
    }
    double width = 0, height = 0;
    rsvg_handle_get_intrinsic_size_in_pixels(handle, &width, &height);
    const int w = static_cast<int>(width + 0.5), h = static_cast<int>(height + 0.5);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(surface);
    const RsvgRectangle viewport{0, 0, width, height};
    const bool drawn = rsvg_handle_render_document(handle, cr, &viewport, &error);
    cairo_surface_flush(surface);
    // The picture is embedded: drawn, it covers the middle pixel.
    const unsigned char* middle = cairo_image_surface_get_data(surface) +
                                  cairo_image_surface_get_stride(surface) * (h / 2) + 4 * (w / 2);
    const bool covered = w > 0 && h > 0 && middle[3] == 255;
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    g_clear_error(&error);
    if (!drawn || !covered) {
        ADD_FAILURE() << "librsvg drew no picture from " << file;
        return {};
    }
    return {w, h};
}

// The picture size of an output, through a reader that is not its writer:
// libjxl's jxlinfo, jxrlib's decoder, librsvg for SVG, ImageMagick 6 for
// the rest (its own coders or its delegates; for PDF, the page's JPEG).
Size readSize(const fs::path& file, const std::string& format, const fs::path& work) {
    const std::regex identified(R"(^(\d+) (\d+))");
    if (format == "JXL") {
        return parseSize({"jxlinfo", file.string()}, std::regex(R"((\d+)x(\d+))"));
    }
    if (format == "WMP") {
        const fs::path jxr = work / "read.jxr", bmp = work / "read.bmp";
        fs::copy_file(file, jxr, fs::copy_options::overwrite_existing);
        fs::remove(bmp);
        std::string output;
        if (runCommand({"JxrDecApp", "-i", jxr.string(), "-o", bmp.string()}, &output) != 0) {
            ADD_FAILURE() << "JxrDecApp could not read " << file << ": " << output;
            return {};
        }
        return parseSize({"identify", "-format", "%w %h", bmp.string()}, identified);
    }
    if (format == "PDF") {
        // The page's picture is a JPEG stream: poppler's pdfimages lists its size
        // as the PDF's image object gives it, and extracts it as it is.
        std::string list;
        if (runCommand({"pdfimages", "-list", file.string()}, &list) != 0) {
            ADD_FAILURE() << "pdfimages cannot list the pictures of " << file << ": " << list;
            return {};
        }
        std::smatch m;
        if (!std::regex_search(
                list, m,
                std::regex(R"(\n\s*1\s+0\s+image\s+(\d+)\s+(\d+)\s+\S+\s+\d+\s+\d+\s+jpeg)"))) {
            ADD_FAILURE() << file << " holds no JPEG picture: " << list;
            return {};
        }
        const fs::path prefix = work / "page";
        std::string output;
        if (runCommand({"pdfimages", "-j", "-f", "1", "-l", "1", file.string(), prefix.string()},
                       &output) != 0) {
            ADD_FAILURE() << "pdfimages cannot extract the picture of " << file << ": " << output;
            return {};
        }
        const Size inner = parseSize(
            {"identify", "-format", "%w %h", (work / "page-000.jpg").string()}, identified);
        EXPECT_EQ(std::to_string(inner.width), m[1].str()) << "width in the PDF's image object";
        EXPECT_EQ(std::to_string(inner.height), m[2].str()) << "height in the PDF's image object";
        return inner;
    }
    if (format == "SVG") {
        return renderSvg(file);
    }
    // TGA has no signature: the reader is told the format.
    const std::string name = (format == "TGA" ? "tga:" : "") + file.string() + "[0]";
    return parseSize({"identify", "-format", "%w %h\n", name}, identified);
}

class Cli : public ::testing::Test {
protected:
    std::string copy(const std::string& corpusFile, const std::string& name) {
        const fs::path target = scratch_.path() / name;
        fs::create_directories(target.parent_path());
        fs::copy_file(corpusDir() / corpusFile, target);
        return target.string();
    }
    ScratchDir scratch_;
};

// A folder of real photos, one in a subfolder, one stored sideways with an EXIF
// orientation: every format, written from them, opens upright at the right size.
TEST_F(Cli, EveryFormatOpensInAnIndependentReader) {
    copy("photos/camera/mate_GreenMeadow.jpg", "in/meadow.JPG");
    copy("photos/exif-orientation/f6-exif.jpg", "in/sideways.jpg");
    copy("photos/exif-orientation/f1-exif.jpg", "in/sub/upright.jpeg");
    const fs::path work = scratch_.path() / "work";
    fs::create_directories(work);

    struct Expected {
        const char* name;
        Size size;
    };
    const Expected photos[] = {
        {"meadow", {1280, 1024}}, {"sideways", {40, 80}}, {"upright", {40, 80}}};
    for (const char* format : {"PNG", "WEBP", "JPG", "JPEG", "JFIF", "TIF", "TIFF", "GIF", "BMP",
                               "ICO", "WMP", "AVIF", "PSD", "SVG", "TGA", "JXL", "JP2", "PDF"}) {
        SCOPED_TRACE(format);
        std::string lower = format;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const fs::path out = scratch_.path() / ("out-" + lower);
        // The format's name in any letter case.
        const std::string asTyped = std::string(1, format[0]) + lower.substr(1);
        const Result result = cli({"--format", asTyped, "--quality", "85", "--dest", out.string(),
                                   (scratch_.path() / "in").string()});
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(contains(result.output, "Processed Image Files: 3\n")) << result.output;

        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out)) {
            ++files;
        }
        EXPECT_EQ(files, std::size(photos));  // nothing else, no temporary file
        for (const Expected& photo : photos) {
            const fs::path file = out / (std::string(photo.name) + "." + lower);
            ASSERT_TRUE(fs::exists(file)) << file;
            EXPECT_TRUE(looksLike(readBytes(file), format)) << file;
            Size expected = photo.size;
            if (std::string(format) == "ICO" && expected.width > 256) {
                expected = {256, 205};  // fitted into 256 x 256, proportions kept
            }
            const Size size = readSize(file, format, work);
            EXPECT_NEAR(size.width, expected.width, 1) << file;
            EXPECT_NEAR(size.height, expected.height, 1) << file;
        }
    }
}

TEST_F(Cli, OptionsAndUsageErrors) {
    const std::string photo = copy("photos/exif-orientation/f1-exif.jpg", "a.jpg");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{}, 2, "imbrix-cli: no PATH given"},
        {{"--format", "bogus", photo}, 2, "unknown format \"BOGUS\""},
        {{"--format"}, 2, "option --format needs a value"},
        {{"--quality", "0", photo}, 2, "quality must be a number from 1 to 100, not \"0\""},
        {{"--quality=101", photo}, 2, "quality must be a number from 1 to 100"},
        {{"-q", "9x", photo}, 2, "quality must be a number from 1 to 100, not \"9x\""},
        {{"--jobs", "0", photo}, 2, "jobs must be a number from 1 to 1024"},
        {{"-j0", photo}, 2, "jobs must be a number from 1 to 1024, not \"0\""},
        {{"-fbogus", photo}, 2, "unknown format \"BOGUS\""},
        {{"--dest", "", photo}, 2, "the destination folder must not be empty"},
        {{"--grayscale=yes", photo}, 2, "option --grayscale takes no value"},
        {{"--frobnicate", photo}, 2, "unknown option --frobnicate"},
        {{"--keep-tree", photo}, 2, "option --keep-tree needs --dest"},
        {{"--skip-existing=yes", photo}, 2, "option --skip-existing takes no value"},
        {{"--enlarge", photo}, 2, "option --enlarge needs --resize"},
        {{"--resize", photo}, 2, "resize must be fit:WxH, long:N or percent:P"},
        {{"--resize", "fit:0x10", photo}, 2, "resize width must be a number from 1 to 65535"},
        {{"--resize", "fit:640x65536", photo}, 2, "resize height must be a number from 1 to"},
        {{"--resize", "fit:640", photo}, 2, "resize fit needs a box as WxH"},
        {{"--resize=long:", photo}, 2, "resize side must be a number from 1 to 65535, not \"\""},
        {{"--resize", "percent:1001", photo}, 2, "percent must be a number from 1 to 1000"},
        {{"--resize", "long:-5", photo}, 2, "resize side must be a number from 1 to 65535"},
        {{"--resize", "scale:50", photo}, 2, "resize must be fit:WxH, long:N or percent:P"},
        {{"--help"}, 0, "Usage: imbrix-cli [options] [--] PATH..."},
        {{"--version"}, 0, "imbrix-cli 2.3\n"},
    };
    for (const Case& c : cases) {
        const Result result = cli(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args.front();
        EXPECT_EQ(result.status, c.status) << shown << ": " << result.output;
        EXPECT_TRUE(contains(result.output, c.says)) << shown << ": " << result.output;
        if (c.status == 2) {
            EXPECT_TRUE(contains(result.output, "Try 'imbrix-cli --help'")) << shown;
        }
    }
    // Nothing was converted by any of them.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), fs::directory_iterator()), 1);
}

TEST_F(Cli, ReportAndExitStatus) {
    const std::string good = copy("photos/exif-orientation/f1-exif.jpg", "in/good.jpg");
    const std::string fake = copy("pngsuite/basn2c08.png", "in/fake.jpg");
    const std::string deep = copy("pngsuite/basn2c08.png", "in/sub/deep.png");
    const std::string notes = scratch_.file("notes.txt");
    writeText(notes, "not a picture");
    const std::string in = scratch_.file("in");
    const std::regex elapsed(R"(Elapsed Time: \d+\.\d{3} seconds\n)");
    const std::regex disk(
        R"((Saved|Increased) Disk Space: \d+(\.\d\d?)? (bytes|KB|MB|GB) \(\d+%\)\n)");

    // A failed file: its message, the report for all files, status 1. Outputs
    // go beside each source by default, subfolders included.
    Result result = cli({"--format", "webp", in, notes});
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_TRUE(contains(
        result.output,
        "ERROR: " + fake + ": JPEG error #53\n  Unknown file format, empty/damaged file!\n"))
        << result.output;
    EXPECT_TRUE(contains(result.output, "Skipped (not a supported image file name): " + notes));
    EXPECT_TRUE(contains(result.output, "Processed Image Files: 3\n")) << result.output;
    EXPECT_TRUE(contains(result.output, "Failed: 1\n")) << result.output;
    EXPECT_TRUE(std::regex_search(result.output, elapsed)) << result.output;
    EXPECT_TRUE(std::regex_search(result.output, disk)) << result.output;
    EXPECT_TRUE(fs::exists(scratch_.file("in/good.webp")));
    EXPECT_TRUE(fs::exists(scratch_.file("in/sub/deep.webp")));
    EXPECT_FALSE(fs::exists(scratch_.file("in/fake.webp")));

    // Gray, verbose: status 0 and the names written.
    const std::string out = scratch_.file("gray");
    result = cli({"--grayscale", "--verbose", "--dest", out, good, deep});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, good + " -> " + out + "/good.png")) << result.output;
    EXPECT_TRUE(contains(result.output, "Processed Image Files: 2\n")) << result.output;
    EXPECT_FALSE(contains(result.output, "Failed:"));
    std::string type;  // a colourful source
    ASSERT_EQ(runCommand({"identify", "-format", "%[type]", out + "/deep.png"}, &type), 0) << type;
    EXPECT_EQ(type.rfind("Grayscale", 0), 0u) << type;

    // Only the files directly in the folder: good.jpg, fake.jpg and good.webp.
    const std::string top = scratch_.file("top");
    result = cli({"--no-subfolders", "--dest", top, in});
    EXPECT_TRUE(contains(result.output, "Processed Image Files: 3\n")) << result.output;
    EXPECT_FALSE(fs::exists(top + "/deep.png"));

    // The converter's log is printed with --verbose.
    result = cli({"--verbose", "--format", "BMP", "--dest", out, good});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "Commencing processing...\n")) << result.output;
    EXPECT_TRUE(contains(result.output, std::string(34, '*'))) << result.output;

    // Nothing to convert: the run's warning, status 1.
    fs::create_directories(scratch_.file("empty"));
    result = cli({scratch_.file("empty")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.output, "WARNING: No image files have been added!"))
        << result.output;
}

// The batch flags: the folder tree under --dest, existing outputs skipped (counted,
// not failed), the sources' dates on the outputs, and a resize.
TEST_F(Cli, KeepTreeSkipExistingKeepDatesAndResize) {
    copy("photos/exif-orientation/f6-exif.jpg", "in/sideways.jpg");
    copy("photos/camera/mate_GreenMeadow.jpg", "in/2023/meadow.jpg");
    copy("pngsuite/basn6a08.png", "in/2023/deep/small.png");
    const std::string in = scratch_.file("in");
    const std::string out = scratch_.file("out");
    const std::string meadow = scratch_.file("in/2023/meadow.jpg");
    ASSERT_EQ(runCommand({"touch", "-d", "2001-02-03 04:05:06.123456789", meadow}), 0);

    Result result = cli({"--keep-tree", "--keep-dates", "--resize", "long:640", "--format", "jpg",
                         "--dest", out, in});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "Processed Image Files: 3\n")) << result.output;
    EXPECT_FALSE(contains(result.output, "Skipped:")) << result.output;
    const std::regex identified(R"((\d+) (\d+))");
    struct Expected {
        const char* path;
        Size size;
    };
    // The long side at most 640: the small picture keeps its size (no --enlarge).
    for (const Expected& e :
         {Expected{"sideways.jpg", {40, 80}}, Expected{"2023/meadow.jpg", {640, 512}},
          Expected{"2023/deep/small.jpg", {32, 32}}}) {
        const Size size =
            parseSize({"identify", "-format", "%w %h", out + "/" + e.path}, identified);
        EXPECT_EQ(size.width, e.size.width) << e.path;
        EXPECT_EQ(size.height, e.size.height) << e.path;
    }
    // The other forms: a box (its width first) and a percentage, enlarging on request.
    struct Resized {
        std::vector<std::string> flags;
        Size size;
    };
    for (const Resized& r : {Resized{{"--resize", "fit:100x600"}, {100, 80}},
                             Resized{{"--resize=percent:50"}, {640, 512}},
                             Resized{{"--resize", "fit:2560x2560", "--enlarge"}, {2560, 2048}}}) {
        const std::string dest = scratch_.file("resized" + std::to_string(r.size.width));
        std::vector<std::string> args = r.flags;
        args.insert(args.end(), {"--format", "png", "--dest", dest, meadow});
        ASSERT_EQ(cli(args).status, 0) << r.flags.front();
        const Size size =
            parseSize({"identify", "-format", "%w %h", dest + "/meadow.png"}, identified);
        EXPECT_EQ(size.width, r.size.width) << r.flags.front();
        EXPECT_EQ(size.height, r.size.height) << r.flags.front();
    }

    struct stat source {};
    struct stat output {};
    ASSERT_EQ(::stat(meadow.c_str(), &source), 0);
    ASSERT_EQ(::stat((out + "/2023/meadow.jpg").c_str(), &output), 0);
    EXPECT_EQ(output.st_mtim.tv_sec, source.st_mtim.tv_sec);
    EXPECT_EQ(output.st_mtim.tv_nsec, 123456789);

    // Again, skipping, with the meadow also given on its own: a file given alone
    // goes to the destination itself, where it is new; the folder's files are
    // skipped, reported and counted, and the status is 0.
    const auto before = readBytes(out + "/2023/meadow.jpg");
    const std::vector<std::string> again = {
        "--keep-tree", "--skip-existing", "--verbose", "--format", "jpg", "--dest", out, in,
        meadow};
    result = cli(again);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "Processed Image Files: 4\n")) << result.output;
    EXPECT_TRUE(contains(result.output, "Skipped: 3 (their outputs exist)\n")) << result.output;
    EXPECT_TRUE(
        contains(result.output, meadow + " -> " + out + "/2023/meadow.jpg (exists: skipped)\n"))
        << result.output;
    EXPECT_TRUE(contains(result.output, meadow + " -> " + out + "/meadow.jpg\n")) << result.output;
    EXPECT_FALSE(contains(result.output, "Failed:")) << result.output;
    EXPECT_EQ(readBytes(out + "/2023/meadow.jpg"), before);

    result = cli(again);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "Skipped: 4 (their outputs exist)\n")) << result.output;
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 4u);
}

// Runs imbrix-cli with its standard error on a terminal (a pseudo-terminal) and
// returns what the terminal received; standard output is dropped.
std::string cliOnTerminal(std::vector<std::string> args) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        if (master >= 0)
            ::close(master);
        return {};
    }
    const std::string slave = ::ptsname(master);
    args.insert(args.begin(), cliPath());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, slave.c_str(), O_RDWR | O_NOCTTY, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    std::string received;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << args[0];
        ::close(master);
        return received;
    }
    // The terminal ends (EIO) once the program has exited and closed its side.
    std::array<char, 4096> buffer;
    ssize_t n = 0;
    while ((n = ::read(master, buffer.data(), buffer.size())) > 0) {
        received.append(buffer.data(), static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    return received;
}

// On a terminal each file gets a progress line, "[n/total] Converting <path>...",
// with the time left once the first file has shown the pace ("[2/3, 0:01 left]"),
// cleared before the next; a failed file counts like the others.
TEST_F(Cli, ProgressLineCountsEveryFileOnATerminal) {
    const std::string good = copy("photos/exif-orientation/f1-exif.jpg", "in/good.jpg");
    const std::string fake = copy("pngsuite/basn2c08.png", "in/fake.jpg");
    const std::string other = copy("pngsuite/basn6a08.png", "in/other.png");
    const std::string received =
        cliOnTerminal({"--jobs", "2", "--dest", scratch_.file("out"), good, fake, other});
    const std::string clear = "\r\033\\[K";
    const auto quoted = [](const std::string& text) {
        return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    };
    const std::string left = ", [0-9]+:[0-5][0-9] left";
    const std::regex expected("\\[1/3\\] Converting " + quoted(good) + "\\.\\.\\." + clear +
                              "\\[2/3" + left + "\\] Converting " + quoted(fake) + "\\.\\.\\." +
                              clear + "ERROR: " + quoted(fake) + ": JPEG error #53[^\\[]*" +
                              "\\[3/3" + left + "\\] Converting " + quoted(other) + "\\.\\.\\." +
                              clear);
    EXPECT_TRUE(std::regex_search(received, expected)) << received;
    EXPECT_FALSE(contains(received, "[4/3")) << received;
}

// Relative paths work for the routes that run the converter in its own folder.
TEST_F(Cli, RelativePathsReachTheConverter) {
    copy("photos/exif-orientation/f1-exif.jpg", "in/a.jpg");
    copy("heic/derived/picosdeeuropa_q80.heic", "in/b.heic");
    const fs::path previous = fs::current_path();
    fs::current_path(scratch_.path());
    const Result pdf = cli({"--format", "PDF", "--dest", "out", "in/a.jpg", "in/b.heic"});
    const Result png = cli({"--dest", "out", "in"});
    fs::current_path(previous);
    EXPECT_EQ(pdf.status, 0) << pdf.output;
    EXPECT_EQ(png.status, 0) << png.output;
    for (const char* name : {"a.pdf", "b.pdf", "a.png", "b.png"}) {
        EXPECT_TRUE(fs::exists(scratch_.path() / "out" / name)) << name;
    }
}

}  // namespace
}  // namespace imbrix::test
