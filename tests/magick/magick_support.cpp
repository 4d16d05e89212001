#include "magick/magick_support.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <utility>

namespace imbrix::test {

namespace {

Picture fromSurface(cairo_surface_t* surface) {
    Picture picture;
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        return picture;
    }
    cairo_surface_flush(surface);
    picture.width = cairo_image_surface_get_width(surface);
    picture.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const cairo_format_t format = cairo_image_surface_get_format(surface);
    picture.rgba.reserve(static_cast<std::size_t>(picture.width) * picture.height * 4);
    for (int y = 0; y < picture.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        for (int x = 0; x < picture.width; ++x) {
            const std::uint32_t px = row[x];
            const unsigned a = format == CAIRO_FORMAT_ARGB32 ? px >> 24 : 255;
            auto channel = [&](int shift) {
                const unsigned c = (px >> shift) & 0xff;
                return static_cast<std::uint8_t>(a == 0 ? 0
                                                        : std::min(255u, (c * 255 + a / 2) / a));
            };
            picture.rgba.push_back(channel(16));
            picture.rgba.push_back(channel(8));
            picture.rgba.push_back(channel(0));
            picture.rgba.push_back(static_cast<std::uint8_t>(a));
        }
    }
    return picture;
}

// Runs a reader; a failure is reported with what it printed.
bool runReader(const std::vector<std::string>& argv) {
    std::string output;
    const int status = runCommand(argv, &output);
    if (status != 0) {
        ADD_FAILURE() << argv[0] << " could not read " << argv[1] << ": " << output;
        return false;
    }
    return true;
}

// The JPEG that a PDF holds as its page's picture, as poppler's pdfimages lists
// and extracts it.
Picture readPdf(const std::filesystem::path& pdf, const std::filesystem::path& work) {
    std::string list;
    if (runCommand({"/usr/bin/pdfimages", "-list", pdf.string()}, &list) != 0) {
        ADD_FAILURE() << "pdfimages cannot list the pictures of " << pdf << ": " << list;
        return {};
    }
    // "page num type width height color comp bpc enc ...", a rule, then a row per picture.
    std::smatch m;
    const std::regex row(R"(\n\s*1\s+0\s+image\s+(\d+)\s+(\d+)\s+\S+\s+\d+\s+\d+\s+(\S+))");
    if (!std::regex_search(list, m, row)) {
        ADD_FAILURE() << pdf << " holds no picture: " << list;
        return {};
    }
    if (m[3].str() != "jpeg") {
        ADD_FAILURE() << pdf << " holds its picture as " << m[3].str() << ", not as JPEG";
        return {};
    }
    const auto prefix = work / "pdf-page";
    if (!runReader(
            {"/usr/bin/pdfimages", "-j", "-f", "1", "-l", "1", pdf.string(), prefix.string()})) {
        return {};
    }
    const auto jpeg = work / "pdf-page-000.jpg";
    const auto png = work / "pdf-page.png";
    if (!runReader({"/usr/bin/convert", jpeg.string(), "png:" + png.string()})) {
        return {};
    }
    Picture picture = loadPng(png);
    EXPECT_EQ(std::to_string(picture.width), m[1].str()) << "width in the PDF's image object";
    EXPECT_EQ(std::to_string(picture.height), m[2].str()) << "height in the PDF's image object";
    return picture;
}

}  // namespace

int Picture::maxChroma() const {
    int worst = 0;
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
        if (rgba[i + 3] != 255) {
            continue;
        }
        const int r = rgba[i], g = rgba[i + 1], b = rgba[i + 2];
        worst = std::max({worst, std::abs(r - g), std::abs(g - b), std::abs(r - b)});
    }
    return worst;
}

double Picture::meanDifference(const Picture& other) const {
    if (width != other.width || height != other.height || rgba.empty()) {
        return 255;
    }
    double sum = 0;
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        sum += std::abs(int{rgba[i]} - int{other.rgba[i]});
    }
    return sum / static_cast<double>(rgba.size());
}

Picture loadPng(const std::filesystem::path& png) {
    cairo_surface_t* surface = cairo_image_surface_create_from_png(png.c_str());
    Picture picture = fromSurface(surface);
    cairo_surface_destroy(surface);
    if (picture.empty()) {
        ADD_FAILURE() << "cairo cannot read " << png;
    }
    return picture;
}

Picture renderSvg(const std::filesystem::path& svg) {
    GFile* file = g_file_new_for_path(svg.c_str());
    GError* error = nullptr;
    RsvgHandle* handle =
        rsvg_handle_new_from_gfile_sync(file, RSVG_HANDLE_FLAGS_NONE, nullptr, &error);
    g_object_unref(file);
    if (!handle) {
        ADD_FAILURE() << "librsvg cannot read " << svg << ": " << (error ? error->message : "");
        if (error) {
            g_error_free(error);
        }
        return {};
    }
    double w = 0, h = 0;
    Picture picture;
    if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h) && w >= 1 && h >= 1) {
        cairo_surface_t* surface = cairo_image_surface_create(
            CAIRO_FORMAT_ARGB32, static_cast<int>(w), static_cast<int>(h));
        cairo_t* cr = cairo_create(surface);
        const RsvgRectangle viewport{0, 0, w, h};
        if (rsvg_handle_render_document(handle, cr, &viewport, nullptr)) {
            picture = fromSurface(surface);
        }
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    g_object_unref(handle);
    if (picture.empty()) {
        ADD_FAILURE() << "librsvg cannot draw " << svg;
    }
    return picture;
}

Picture readOutput(const std::filesystem::path& file, const std::string& extension,
                   const std::filesystem::path& work) {
    const auto png = work / ("read-back-" + extension + ".png");
    bool ok = true;
    if (extension == "png") {
        return loadPng(file);
    } else if (extension == "svg") {
        return renderSvg(file);
    } else if (extension == "pdf") {
        return readPdf(file, work);
    } else if (extension == "avif") {
        ok = runReader({"/usr/bin/heif-convert", file.string(), png.string()});
    } else if (extension == "jxl") {
        ok = runReader({"/usr/bin/djxl", file.string(), png.string()});
    } else if (extension == "webp") {
        // dwebp reads still pictures only: of an animation, take the first frame.
        const std::string head = headBytes(file, 21);
        const bool animated = head.size() == 21 && head.compare(12, 4, "VP8X") == 0 &&
                              (static_cast<unsigned char>(head[20]) & 0x02) != 0;
        std::string still = file.string();
        if (animated) {
            still = (work / "first-frame.webp").string();
            ok = runReader({"/usr/bin/webpmux", "-get", "frame", "1", file.string(), "-o", still});
        }
        ok = ok && runReader({"/usr/bin/dwebp", still, "-o", png.string()});
    } else if (extension == "tga" || extension == "bmp" || extension == "gif" ||
               extension == "ico") {
        // GraphicsMagick's coders, not those of ImageMagick that wrote the file.
        ok = runReader({"/usr/bin/gm", "convert", file.string() + "[0]", "png:" + png.string()});
    } else {
        // PSD and JP2: no other reader at hand.
        ok = runReader({"/usr/bin/convert", file.string() + "[0]", "png:" + png.string()});
    }
    return ok ? loadPng(png) : Picture{};
}

Picture readWithImageMagick(const std::filesystem::path& file, const std::filesystem::path& work) {
    const auto png = work / "read-back-by-imagemagick.png";
    if (!runReader({"/usr/bin/convert", file.string() + "[0]", "png:" + png.string()})) {
        return {};
    }
    return loadPng(png);
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
        had_ = true;
    }
    ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        ::setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

std::string writeScript(const std::filesystem::path& path, const std::string& body) {
    writeText(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path.string();
}

std::string headBytes(const std::filesystem::path& file, std::size_t n) {
    std::ifstream in(file, std::ios::binary);
    std::string head(n, '\0');
    in.read(head.data(), static_cast<std::streamsize>(n));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head;
}

std::string RunResult::lastLine() const {
    std::string text = output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const auto nl = text.rfind('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

std::string magickPath() {
    return (binDir() / "imagemagick" / "magick").string();
}

RunResult runMagick(const std::vector<std::string>& args) {
    std::vector<std::string> argv{magickPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result;
    result.status = runCommand(argv, &result.output);
    return result;
}

void MagickTest::SetUp() {
    std::filesystem::create_directory(tmpDir());
    if (const char* old = std::getenv("TMPDIR")) {
        hadTmpdir_ = true;
        savedTmpdir_ = old;
    }
    ::setenv("TMPDIR", tmpDir().c_str(), 1);
}

void MagickTest::TearDown() {
    if (hadTmpdir_) {
        ::setenv("TMPDIR", savedTmpdir_.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    for (const auto& entry : std::filesystem::directory_iterator(tmpDir())) {
        ADD_FAILURE() << "left behind in the temporary folder: " << entry.path();
    }
}

}  // namespace imbrix::test
