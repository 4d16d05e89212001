#include "tools/magick/tga.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace imbrix::magick {

namespace {

constexpr std::size_t kChunk = 256 * 1024;
// The largest picture read, as in ImageMagick's resource policy.
constexpr std::uint64_t kMaxSide = 16384;
constexpr std::uint64_t kMaxPixels = 128ull * 1024 * 1024;

using Result = TgaReading::Result;

struct LoaderDeleter {
    void operator()(GdkPixbufLoader* loader) const { g_object_unref(loader); }
};
using LoaderPtr = std::unique_ptr<GdkPixbufLoader, LoaderDeleter>;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The error's words and whether it says that the loader reads no file of this
// kind (rather than that the file is damaged); frees the error.
TgaReading fromError(GError* error, const char* fallback) {
    TgaReading reading;
    reading.message = error && error->message && *error->message ? error->message : fallback;
    while (!reading.message.empty() &&
           (reading.message.back() == '.' || reading.message.back() == ' ')) {
        reading.message.pop_back();
    }
    const bool unsupported = error && error->domain == GDK_PIXBUF_ERROR &&
                             (error->code == GDK_PIXBUF_ERROR_UNKNOWN_TYPE ||
                              error->code == GDK_PIXBUF_ERROR_UNSUPPORTED_OPERATION);
    reading.result = unsupported ? Result::Unsupported : Result::Unreadable;
    if (error) {
        g_error_free(error);
    }
    return reading;
}

std::string errorText(int err) {
    return std::system_category().message(err);
}

// True when every pixel's alpha is `value`.
bool allAlpha(const guchar* pixels, int width, int height, int rowstride, guchar value) {
    for (int y = 0; y < height; ++y) {
        const guchar* row = pixels + static_cast<std::size_t>(y) * rowstride;
        for (int x = 0; x < width; ++x) {
            if (row[x * 4 + 3] != value) {
                return false;
            }
        }
    }
    return true;
}

// What the file's header and TGA 2.0 extension area say, as far as the reading
// needs it.
struct Declared {
    bool sixteenBitMap = false;  ///< colour-mapped, with 15- or 16-bit map entries
    /// The alpha bytes carry transparency: the header gives alpha bits, and an
    /// extension area, if any, does not call them "no alpha" or "undefined" (0-2).
    bool alphaUseful = true;
    std::uint64_t width = 0;  ///< as the header gives them
    std::uint64_t height = 0;
};

Declared readDeclared(std::FILE* in) {
    Declared declared;
    unsigned char header[18];
    if (std::fread(header, 1, sizeof header, in) == sizeof header) {
        const bool mapped = header[2] == 1 || header[2] == 9;
        declared.sixteenBitMap = mapped && header[1] == 1 && (header[7] == 15 || header[7] == 16);
        declared.alphaUseful = (header[17] & 0x0f) != 0;
        declared.width = header[12] | header[13] << 8;
        declared.height = header[14] | header[15] << 8;
    }
    // The footer: the extension area's offset, the developer area's, a signature.
    // The attributes type is the extension area's byte 494.
    unsigned char footer[26];
    if (declared.alphaUseful && ::fseeko(in, -26, SEEK_END) == 0 &&
        std::fread(footer, 1, sizeof footer, in) == sizeof footer &&
        std::memcmp(footer + 8, "TRUEVISION-XFILE.", 18) == 0) {
        const std::uint32_t extension = footer[0] | footer[1] << 8 | footer[2] << 16 |
                                        static_cast<std::uint32_t>(footer[3]) << 24;
        if (extension != 0 && ::fseeko(in, off_t{extension} + 494, SEEK_SET) == 0) {
            const int type = std::fgetc(in);
            declared.alphaUseful = type == EOF || type >= 3;
        }
    }
    std::rewind(in);
    return declared;
}

struct PixbufDeleter {
    void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using PixbufPtr = std::unique_ptr<GdkPixbuf, PixbufDeleter>;

TgaReading writePam(const guchar* pixels, int width, int height, int rowstride, int channels,
                    bool keepAlpha, const std::string& path) {
    FilePtr out(std::fopen(path.c_str(), "wb"));
    if (!out) {
        return {Result::Unwritable, errorText(errno)};
    }
    std::fprintf(out.get(), "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n",
                 width, height, keepAlpha ? 4 : 3, keepAlpha ? "RGB_ALPHA" : "RGB");
    const std::size_t outChannels = keepAlpha ? 4 : 3;
    std::vector<guchar> row(static_cast<std::size_t>(width) * outChannels);
    for (int y = 0; y < height; ++y) {
        const guchar* in = pixels + static_cast<std::size_t>(y) * rowstride;
        if (static_cast<std::size_t>(channels) == outChannels) {
            std::fwrite(in, 1, row.size(), out.get());
            continue;
        }
        for (int x = 0; x < width; ++x) {
            row[x * 3] = in[x * 4];
            row[x * 3 + 1] = in[x * 4 + 1];
            row[x * 3 + 2] = in[x * 4 + 2];
        }
        std::fwrite(row.data(), 1, row.size(), out.get());
    }
    const bool failed = std::ferror(out.get()) != 0;
    const int err = errno;
    if (std::fclose(out.release()) != 0 || failed) {
        return {Result::Unwritable, errorText(failed ? err : errno)};
    }
    return {Result::Done, {}};
}

// libpng through gdk-pixbuf, fastest compression: the program reads it straight
// back. An alpha channel that is not kept is left out: the colours move to the
// front of each row in place, seen as a pixbuf of three channels.
TgaReading writePng(GdkPixbuf* pixbuf, bool keepAlpha, const std::string& path) {
    PixbufPtr opaque;
    if (gdk_pixbuf_get_has_alpha(pixbuf) && !keepAlpha) {
        const int width = gdk_pixbuf_get_width(pixbuf);
        const int height = gdk_pixbuf_get_height(pixbuf);
        const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
        guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
        for (int y = 0; y < height; ++y) {
            guchar* row = pixels + static_cast<std::size_t>(y) * rowstride;
            for (int x = 0; x < width; ++x) {
                row[x * 3] = row[x * 4];
                row[x * 3 + 1] = row[x * 4 + 1];
                row[x * 3 + 2] = row[x * 4 + 2];
            }
        }
        opaque.reset(gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, FALSE, 8, width, height,
                                              rowstride, nullptr, nullptr));
        if (!opaque) {
            return {Result::Unwritable, "out of memory"};
        }
        pixbuf = opaque.get();
    }
    GError* error = nullptr;
    if (!gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, "compression", "1", nullptr)) {
        TgaReading reading = fromError(error, "the PNG cannot be written");
        reading.result = Result::Unwritable;
        return reading;
    }
    return {Result::Done, {}};
}

}  // namespace

TgaReading readTga(const std::string& tgaPath, const std::string& outPath, TgaTarget target) {
    // Opened without blocking, and only as a regular file: a FIFO or device
    // put in the file's place never holds the reading up.
    const int fd = ::open(tgaPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return {Result::Unreadable, errorText(errno)};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {Result::Unreadable, "not a regular file"};
    }
    FilePtr in(::fdopen(fd, "rb"));
    if (!in) {
        const int err = errno;
        ::close(fd);
        return {Result::Unreadable, errorText(err)};
    }
    const Declared declared = readDeclared(in.get());
    // gdk-pixbuf allocates whatever the header claims.
    if (declared.width > kMaxSide || declared.height > kMaxSide ||
        declared.width * declared.height > kMaxPixels) {
        return {Result::Unreadable, "the picture is too large (" + std::to_string(declared.width) +
                                        " x " + std::to_string(declared.height) + " pixels)"};
    }
    if (declared.sixteenBitMap) {
        return {Result::Unsupported, "gdk-pixbuf swaps red and blue of 16-bit colour maps"};
    }
    GError* error = nullptr;
    // The TGA loader by name: TGA has no signature to be recognised by.
    LoaderPtr loader(gdk_pixbuf_loader_new_with_type("tga", &error));
    if (!loader) {
        TgaReading reading = fromError(error, "gdk-pixbuf has no TGA reader");
        reading.result = Result::Unsupported;
        return reading;
    }
    std::vector<guchar> chunk(kChunk);
    while (true) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), in.get());
        if (n == 0) {
            break;
        }
        // A refused write closes the loader.
        if (!gdk_pixbuf_loader_write(loader.get(), chunk.data(), n, &error)) {
            return fromError(error, "the TGA file cannot be read");
        }
    }
    if (std::ferror(in.get())) {
        const int err = errno;
        gdk_pixbuf_loader_close(loader.get(), nullptr);
        return {Result::Unreadable, errorText(err)};
    }
    if (!gdk_pixbuf_loader_close(loader.get(), &error)) {
        return fromError(error, "the TGA file cannot be read");
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());  // the loader's
    if (!pixbuf) {
        return {Result::Unreadable, "the TGA file holds no picture"};
    }
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
        gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels != (alpha ? 4 : 3) || width <= 0 ||
        height <= 0) {
        return {Result::Unreadable, "the TGA reader gave an unexpected pixel layout"};
    }
    // Alpha is kept unless every pixel is opaque, or the file says that its alpha
    // bytes are no transparency and every one is 0.
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    const bool keepAlpha = alpha && !allAlpha(pixels, width, height, rowstride, 255) &&
                           (declared.alphaUseful || !allAlpha(pixels, width, height, rowstride, 0));
    return target == TgaTarget::Png
               ? writePng(pixbuf, keepAlpha, outPath)
               : writePam(pixels, width, height, rowstride, channels, keepAlpha, outPath);
}

}  // namespace imbrix::magick
