// TIFF sources through libtiff: the first page, read from memory.
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

// The largest single allocation libtiff may make for a strip or tile buffer.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t{1} << 30;

struct Source {
    Bytes data;
    toff_t offset = 0;
    std::string message;  // libtiff's first error
};

tmsize_t readProc(thandle_t h, void* out, tmsize_t size) {
    auto* s = static_cast<Source*>(h);
    if (size <= 0 || s->offset >= s->data.size()) {
        return 0;
    }
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(size), s->data.size() - s->offset);
    std::memcpy(out, s->data.data() + s->offset, n);
    s->offset += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t seekProc(thandle_t h, toff_t offset, int whence) {
    auto* s = static_cast<Source*>(h);
    toff_t base = 0;
    if (whence == SEEK_CUR) {
        base = s->offset;
    } else if (whence == SEEK_END) {
        base = s->data.size();
    }
    if (offset > ~toff_t{0} - base) {
        return static_cast<toff_t>(-1);
    }
    s->offset = base + offset;
    return s->offset;
}

int closeProc(thandle_t) {
    return 0;
}

toff_t sizeProc(thandle_t h) {
    return static_cast<Source*>(h)->data.size();
}

// Handing libtiff the bytes directly (mode "r" maps, as libtiff does for files)
// spares it a copy of every strip; it checks strip offsets against `size`.
int mapProc(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<Source*>(h);
    *base = const_cast<std::uint8_t*>(s->data.data());
    *size = s->data.size();
    return 1;
}

void unmapProc(thandle_t, void*, toff_t) {}

int onError(TIFF*, void* user, const char* module, const char* fmt, va_list args) {
    auto* s = static_cast<Source*>(user);
    if (s->message.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, args);
        s->message =
            std::string("TIFF error: ") + (module ? std::string(module) + ": " : "") + text;
    }
    return 1;  // handled: nothing reaches libtiff's global handler
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    TIFF* tif;
    ~TiffCloser() { TIFFClose(tif); }
};

struct OptionsFree {
    TIFFOpenOptions* opts;
    ~OptionsFree() { TIFFOpenOptionsFree(opts); }
};

}  // namespace

Raster decodeTiff(Bytes data) {
    Source source{data, 0, {}};
    const OptionsFree options{TIFFOpenOptionsAlloc()};
    if (!options.opts) {
        throw Error("TIFF error: out of memory");
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.opts, onError, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options.opts, onWarning, &source);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.opts, kMaxLibraryAlloc);

    auto failure = [&source](const char* fallback) {
        return Error(source.message.empty() ? std::string("TIFF error: ") + fallback
                                            : source.message);
    };
    TIFF* tif = TIFFClientOpenExt("picture", "r", &source, readProc, writeProc, seekProc, closeProc,
                                  sizeProc, mapProc, unmapProc, options.opts);
    if (!tif) {
        throw failure("not a TIFF file");
    }
    const TiffCloser closer{tif};

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height)) {
        throw failure("the picture has no size");
    }
    checkPictureSize(width, height);
    char why[1024] = {};
    if (!TIFFRGBAImageOK(tif, why)) {
        throw Error(std::string("TIFF error: ") + why);
    }
    Raster picture(width, height);
    // libtiff fills 32-bit words R, G, B, A from the low byte up, alpha
    // premultiplied, top row first; the raster's rows are exactly that wide.
    static_assert(sizeof(std::uint32_t) == 4);
    auto* words = reinterpret_cast<std::uint32_t*>(picture.data());
    if (!TIFFReadRGBAImageOriented(tif, width, height, words, ORIENTATION_TOPLEFT, 0)) {
        throw failure("the picture cannot be read");
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* p = picture.row(y);
        for (std::uint32_t x = 0; x < width; ++x, p += 4) {
            std::swap(p[0], p[2]);  // RGBA in memory to BGRA
        }
    }
    picture.premultiplied = true;
    return picture;
}

}  // namespace imbrix::imaging::formats
