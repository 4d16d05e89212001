// TIFF sources through libtiff: the first page, read from memory.
#include <tiffio.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/formats/inputs.h"
#include "imaging/formats/tiffmemory.h"

namespace imbrix::imaging::formats {

namespace {

// The largest single allocation libtiff may make for a strip or tile buffer.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t{1} << 30;

struct Source {
    TiffMemory memory;
    std::string message;  // libtiff's first error
};

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

// Whether the file is too short for the first directory that its header
// points to (classic TIFF or BigTIFF); false too when it is no TIFF file.
bool directoryBeyondEnd(Bytes data) {
    if (data.size() < 8 ||
        !((data[0] == 'I' && data[1] == 'I') || (data[0] == 'M' && data[1] == 'M'))) {
        return false;
    }
    const bool little = data[0] == 'I';
    // n bytes at `at`, or nothing when they lie beyond the end.
    auto read = [&](std::uint64_t at, unsigned n) -> std::optional<std::uint64_t> {
        if (at > data.size() || n > data.size() - at) {
            return std::nullopt;
        }
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            const std::uint64_t b = data[static_cast<std::size_t>(at) + i];
            v |= little ? b << (8 * i) : b << (8 * (n - 1 - i));
        }
        return v;
    };
    const std::uint64_t version = *read(2, 2);
    const bool big = version == 43;
    if (version != 42 && !big) {
        return false;
    }
    const std::optional<std::uint64_t> directory = big ? read(8, 8) : read(4, 4);
    if (!directory) {
        return true;
    }
    const std::optional<std::uint64_t> entries = read(*directory, big ? 8 : 2);
    if (!entries) {
        return true;
    }
    // The entries, then the next directory's offset.
    const std::uint64_t entrySize = big ? 20 : 12;
    const std::uint64_t start = *directory + (big ? 8 : 2);
    return *entries > (data.size() - start) / entrySize ||
           start + *entries * entrySize + (big ? 8 : 4) > data.size();
}

// The first page's strips (or tiles) must lie within the file: libtiff reads a
// strip cut short as far as it goes and leaves the rest of the picture blank.
bool pictureDataWithin(TIFF* tif, std::uint64_t size) {
    const std::uint32_t count = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t offset = TIFFGetStrileOffset(tif, i);
        const std::uint64_t bytes = TIFFGetStrileByteCount(tif, i);
        if (offset > size || bytes > size - offset) {
            return false;
        }
    }
    return true;
}

struct TiffCloser {
    TIFF* tif;
    ~TiffCloser() { TIFFClose(tif); }
};

struct OptionsFree {
    TIFFOpenOptions* opts;
    ~OptionsFree() { TIFFOpenOptionsFree(opts); }
};

// 8-bit CMYK stored as one sample after another, the only CMYK libtiff reads.
bool isCmyk(TIFF* tif) {
    std::uint16_t photometric = 0;
    std::uint16_t inkSet = INKSET_CMYK;
    std::uint16_t samples = 0;
    std::uint16_t bits = 0;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    return TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) &&
           photometric == PHOTOMETRIC_SEPARATED &&
           TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet) && inkSet == INKSET_CMYK &&
           TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples) && samples >= 4 &&
           TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits) && bits == 8 &&
           TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar) &&
           planar == PLANARCONFIG_CONTIG;
}

// libtiff's routine for a block of contiguous samples, keeping CMYK as it is
// (C, M, Y, K from the low byte up) instead of its plain formula to RGB: the
// colour profile turns it into RGB afterwards.
void putCmykSamples(TIFFRGBAImage* img, std::uint32_t* cp, std::uint32_t, std::uint32_t,
                    std::uint32_t w, std::uint32_t h, std::int32_t fromskew, std::int32_t toskew,
                    unsigned char* pp) {
    const int samples = img->samplesperpixel;
    fromskew *= samples;
    for (; h > 0; --h) {
        for (std::uint32_t x = w; x > 0; --x, pp += samples) {
            *cp++ = std::uint32_t{pp[0]} | std::uint32_t{pp[1]} << 8 | std::uint32_t{pp[2]} << 16 |
                    std::uint32_t{pp[3]} << 24;
        }
        cp += toskew;
        pp += fromskew;
    }
}

// The first page, top row first, stopping at the first error: RGBA words
// (alpha premultiplied), or CMYK ones for a CMYK picture.
bool readWords(TIFF* tif, std::uint32_t width, std::uint32_t height, std::uint32_t* words,
               bool cmyk) {
    if (!cmyk) {
        return TIFFReadRGBAImageOriented(tif, width, height, words, ORIENTATION_TOPLEFT, 1) != 0;
    }
    TIFFRGBAImage image{};
    char why[1024] = {};
    if (!TIFFRGBAImageBegin(&image, tif, 1, why)) {
        return false;
    }
    image.req_orientation = ORIENTATION_TOPLEFT;
    const bool contiguous = image.isContig != 0;
    if (contiguous) {
        image.put.contig = putCmykSamples;
    }
    const bool ok = contiguous && TIFFRGBAImageGet(&image, words, width, height) != 0;
    TIFFRGBAImageEnd(&image);
    return ok;
}

// The first page's profile, with what its samples were. libtiff has turned the
// samples into RGB; only RGB-like ones (RGB, YCbCr, a palette) and gray ones
// (black is zero) still fit a profile for them. CMYK went through its profile
// already; inverted gray went through an inversion, so its profile no longer
// describes the pixels and is left out.
void adoptTiffProfile(TIFF* tif, Picture& picture) {
    std::uint32_t size = 0;
    void* icc = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc) || !icc || size == 0) {
        return;
    }
    std::uint16_t photometric = PHOTOMETRIC_RGB;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    const Bytes profile(static_cast<const std::uint8_t*>(icc), size);
    switch (photometric) {
        case PHOTOMETRIC_RGB:
        case PHOTOMETRIC_YCBCR:
        case PHOTOMETRIC_PALETTE:
            colour::adoptProfile(picture, profile, colour::SourceModel::Rgb);
            break;
        case PHOTOMETRIC_MINISBLACK:
            colour::adoptProfile(picture, profile, colour::SourceModel::Gray);
            break;
        default:
            break;
    }
}

}  // namespace

Picture decodeTiff(Bytes data) {
    Source source{{data}, {}};
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
    TIFF* tif = openTiffInMemory("picture", source.memory, options.opts);
    if (!tif) {
        if (directoryBeyondEnd(data)) {
            throw Error("TIFF error: the file is truncated (its directory lies beyond its end)");
        }
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
    if (!pictureDataWithin(tif, data.size())) {
        throw Error("TIFF error: the file is truncated (the picture data end early)");
    }
    Raster picture(width, height);
    // libtiff fills 32-bit words R, G, B, A from the low byte up, alpha
    // premultiplied, top row first; the raster's rows are exactly that wide.
    static_assert(sizeof(std::uint32_t) == 4);
    auto* words = reinterpret_cast<std::uint32_t*>(picture.data());
    // Stops at the first error (a damaged strip would otherwise be left blank),
    // and an error libtiff reported while going on fails the picture as well.
    const bool cmyk = isCmyk(tif);
    if (!readWords(tif, width, height, words, cmyk) || !source.message.empty()) {
        throw failure("the picture cannot be read");
    }
    if (cmyk) {
        // Through the file's CMYK profile, or the generic one (0 is no ink).
        std::uint32_t size = 0;
        void* icc = nullptr;
        const Bytes profile = TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc) && icc
                                  ? Bytes(static_cast<const std::uint8_t*>(icc), size)
                                  : Bytes();
        colour::cmykToSrgb(picture, profile, false);
    } else {
        for (std::uint32_t y = 0; y < height; ++y) {
            std::uint8_t* p = picture.row(y);
            for (std::uint32_t x = 0; x < width; ++x, p += 4) {
                std::swap(p[0], p[2]);  // RGBA in memory to BGRA
            }
        }
    }
    picture.premultiplied = true;
    Picture result{std::move(picture), {}};
    std::uint16_t bits = 8;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    result.meta.bitDepth = bits;
    adoptTiffProfile(tif, result);
    return result;
}

}  // namespace imbrix::imaging::formats
