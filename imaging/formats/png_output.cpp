// PNG encoder: rows filtered as libpng's adaptive choice does, the image data
// compressed in one piece by libdeflate (faster than zlib, and smaller at equal
// level), the file framed by libpng.
#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/colour.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputmeta.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

// libdeflate's level 5 with the adaptive filter choice writes photos within 2% of
// the size of zlib's level 7 (what other tools use by default), several times
// faster. Level 4 is a quarter faster again but about 4% larger; 6 a third slower
// for 1% less.
constexpr int kCompressionLevel = 5;
// For a file read straight back: level 1 takes about half the time of level 5
// for a photo, at a few percent more bytes.
constexpr int kFastestLevel = 1;
// The compressed data goes out in IDAT chunks of at most this size.
constexpr std::size_t kIdatChunk = 1u << 20;

struct PngContext {
    Sink* sink = nullptr;
    std::exception_ptr sinkError;  // what the sink threw, rethrown after libpng unwound
    char message[200] = {};
};

bool writeToSink(PngContext& ctx, const void* data, std::size_t size) noexcept {
    try {
        ctx.sink->write(data, size);
        return true;
    } catch (...) {
        ctx.sinkError = std::current_exception();
        return false;
    }
}

extern "C" void onPngError(png_structp png, png_const_charp message) {
    auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
    std::strncpy(ctx->message, message ? message : "unknown error", sizeof ctx->message - 1);
    png_longjmp(png, 1);
}

extern "C" void onPngWarning(png_structp, png_const_charp) {}

extern "C" void onPngWrite(png_structp png, png_bytep data, size_t size) {
    auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
    if (!writeToSink(*ctx, data, size)) {
        png_error(png, "write failed");
    }
}

extern "C" void onPngFlush(png_structp) {}

// The smallest PNG colour type that holds the raster without loss.
struct Layout {
    bool alpha;  // some pixel is not opaque
    bool gray;   // every pixel has red = green = blue
    int colorType() const {
        return gray ? (alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY)
                    : (alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB);
    }
    int channels() const { return (gray ? 1 : 3) + (alpha ? 1 : 0); }
};

// `rgbProfile`: the picture carries an RGB profile, which PNG allows only
// beside RGB samples.
Layout examine(const Raster& raster, bool rgbProfile) {
    Layout layout{!formats::isOpaque(raster), !rgbProfile};
    for (std::uint32_t y = 0; y < raster.height() && layout.gray; ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            // Premultiplication keeps gray gray, so this holds for straight colours too.
            if (p[kBlue] != p[kGreen] || p[kGreen] != p[kRed]) {
                layout.gray = false;
                break;
            }
        }
    }
    return layout;
}

// One raster row (premultiplied or not) as the file stores it: straight
// colours, in PNG channel order.
void packRow(const Raster& raster, std::uint32_t y, const Layout& layout, std::uint8_t* straight,
             std::uint8_t* out) {
    const std::uint8_t* p = raster.row(y);
    if (layout.alpha && raster.premultiplied) {
        formats::unpremultiplyRow(p, straight, raster.width());
        p = straight;
    }
    for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
        if (layout.gray) {
            *out++ = p[kGreen];
        } else {
            *out++ = p[kRed];
            *out++ = p[kGreen];
            *out++ = p[kBlue];
        }
        if (layout.alpha) {
            *out++ = p[kAlpha];
        }
    }
}

// The row filters are the encoder's hot loop. Each filter of a pixel depends on
// source bytes only, so every loop below runs across the whole row at once: the
// compiler turns them into vector code when allowed to vectorise.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("tree-vectorize")
#endif

// Weight of a filtered row in the adaptive choice: the sum of its bytes taken
// as signed values, as libpng's heuristic weighs them.
std::uint32_t weight(const std::uint8_t* row, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::int8_t v = static_cast<std::int8_t>(row[i]);
        sum += static_cast<std::uint32_t>(v < 0 ? -v : v);
    }
    return sum;
}

// The five PNG filters of `cur` against `prev` (the unfiltered row above),
// `bpp` bytes a pixel; the lightest is written with its type byte to `out`
// (size + 1 bytes). `trial` holds four rows.
void filterRow(const std::uint8_t* cur, const std::uint8_t* prev, std::size_t size, std::size_t bpp,
               std::uint8_t* trial, std::uint8_t* out) {
    std::uint8_t* sub = trial;
    std::uint8_t* up = trial + size;
    std::uint8_t* avg = trial + 2 * size;
    std::uint8_t* pth = trial + 3 * size;
    const std::size_t lead = std::min(bpp, size);
    // The first pixel has nothing on its left: left and upper-left count as 0.
    for (std::size_t i = 0; i < lead; ++i) {
        sub[i] = cur[i];
        avg[i] = static_cast<std::uint8_t>(cur[i] - (prev[i] >> 1));
        pth[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
    }
    for (std::size_t i = 0; i < size; ++i) {
        up[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
    }
    for (std::size_t i = lead; i < size; ++i) {
        sub[i] = static_cast<std::uint8_t>(cur[i] - cur[i - bpp]);
    }
    for (std::size_t i = lead; i < size; ++i) {
        avg[i] = static_cast<std::uint8_t>(cur[i] - ((cur[i - bpp] + prev[i]) >> 1));
    }
    for (std::size_t i = lead; i < size; ++i) {
        const std::int16_t a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
        const std::int16_t pa = static_cast<std::int16_t>(std::abs(b - c));
        const std::int16_t pb = static_cast<std::int16_t>(std::abs(a - c));
        const std::int16_t pc = static_cast<std::int16_t>(std::abs(a + b - 2 * c));
        const std::int16_t bc = pb <= pc ? b : c;
        const std::int16_t pred = (pa <= pb && pa <= pc) ? a : bc;
        pth[i] = static_cast<std::uint8_t>(cur[i] - pred);
    }
    const std::uint8_t* candidates[5] = {cur, sub, up, avg, pth};
    int best = 0;
    std::uint32_t bestWeight = weight(cur, size);
    for (int f = 1; f < 5; ++f) {
        const std::uint32_t w = weight(candidates[f], size);
        if (w < bestWeight) {
            best = f;
            bestWeight = w;
        }
    }
    out[0] = static_cast<std::uint8_t>(best);
    std::memcpy(out + 1, candidates[best], size);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

// The image data as the IDAT chunks carry it, before compression: every row
// packed and filtered, with its filter type byte in front, written to `data`
// ((row size + 1) * height bytes). `data` may be the raster's own pixels when a
// filtered row is no longer than a raster row (no alpha): row y is packed into a
// buffer before filtered row y, which ends before raster row y + 1 begins, is
// written over it.
void filterImageData(const Raster& raster, const Layout& layout, std::uint8_t* data) {
    const std::size_t rowSize =
        std::size_t{raster.width()} * static_cast<std::size_t>(layout.channels());
    std::vector<std::uint8_t> straight;
    if (layout.alpha && raster.premultiplied) {
        straight.resize(std::size_t{raster.width()} * 4);
    }
    std::vector<std::uint8_t> rows(rowSize * 2, 0);  // this row and the one above (zero at first)
    std::vector<std::uint8_t> trial(rowSize * 4);
    std::uint8_t* cur = rows.data();
    std::uint8_t* prev = rows.data() + rowSize;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        packRow(raster, y, layout, straight.data(), cur);
        filterRow(cur, prev, rowSize, static_cast<std::size_t>(layout.channels()), trial.data(),
                  data + y * (rowSize + 1));
        std::swap(cur, prev);
    }
}

std::size_t filteredSize(const Raster& raster, const Layout& layout) {
    return (std::size_t{raster.width()} * static_cast<std::size_t>(layout.channels()) + 1) *
           raster.height();
}

// Memory left uninitialised on purpose: only the pages written become resident,
// so a worst-case bound costs no more than what is really written.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
};

Buffer uninitialisedBuffer(std::size_t size) {
    return Buffer{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]), size};
}

class Compressor {
public:
    explicit Compressor(int level) : c_(libdeflate_alloc_compressor(level)) {
        if (!c_) {
            throw Error("Cannot write PNG: not enough memory");
        }
    }
    ~Compressor() { libdeflate_free_compressor(c_); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    libdeflate_compressor* get() const { return c_; }

private:
    libdeflate_compressor* c_;
};

Buffer compress(const std::uint8_t* data, std::size_t size, const EncodeOptions& options) {
    Compressor compressor(options.fastest ? kFastestLevel : kCompressionLevel);
    Buffer out = uninitialisedBuffer(libdeflate_zlib_compress_bound(compressor.get(), size));
    out.size = libdeflate_zlib_compress(compressor.get(), data, size, out.bytes.get(), out.size);
    if (out.size == 0) {
        throw Error("Cannot write PNG: the compressor failed");
    }
    return out;
}

// What goes into the file besides the pixels, in libpng's terms; built before
// writing starts, as nothing may be allocated where libpng can leave by longjmp.
struct PngMetadata {
    Bytes icc;
    std::vector<std::uint8_t> exif;
    std::string xmp;
    std::string iptcProfile;  // "Raw profile type iptc" text
    std::string comment;
    std::vector<png_text> texts;  // point into the strings above
};

// The raw profile text ImageMagick writes (and exiv2 and exiftool read): the
// profile type, its size, then the data in hex, 36 bytes a line.
std::string rawProfileText(std::string_view type, Bytes data) {
    static const char kHex[] = "0123456789abcdef";
    char size[16];
    std::snprintf(size, sizeof size, "%8zu", data.size());
    std::string text = "\n" + std::string(type) + "\n" + size;
    text.reserve(text.size() + data.size() * 2 + data.size() / 36 + 2);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i % 36 == 0) {
            text += '\n';
        }
        text += kHex[data[i] >> 4];
        text += kHex[data[i] & 15];
    }
    text += '\n';
    return text;
}

png_text makeText(int compression, const char* key, std::string& text) {
    png_text entry{};
    entry.compression = compression;
    entry.key = const_cast<png_charp>(key);  // libpng only reads keys and texts
    entry.text = text.data();
    if (compression == PNG_TEXT_COMPRESSION_NONE || compression == PNG_TEXT_COMPRESSION_zTXt) {
        entry.text_length = text.size();
    } else {
        entry.itxt_length = text.size();
    }
    return entry;
}

bool isLatin1Safe(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != 0; });
}

PngMetadata pngMetadata(const formats::OutputMetadata& meta) {
    PngMetadata png;
    png.icc = meta.icc;
    png.exif = meta.exif;
    png.xmp.assign(meta.xmp.begin(), meta.xmp.end());
    if (!meta.iptc.empty()) {
        png.iptcProfile = rawProfileText("iptc", formats::iptcResourceBlock(meta.iptc));
    }
    png.comment = meta.comment;
    if (!png.xmp.empty()) {
        // XMP's own rule for PNG: uncompressed iTXt under this key.
        png.texts.push_back(makeText(PNG_ITXT_COMPRESSION_NONE, "XML:com.adobe.xmp", png.xmp));
    }
    if (!png.iptcProfile.empty()) {
        png.texts.push_back(
            makeText(PNG_TEXT_COMPRESSION_zTXt, "Raw profile type iptc", png.iptcProfile));
    }
    if (!png.comment.empty()) {
        // tEXt holds Latin-1 only; any other comment goes as UTF-8 in iTXt.
        png.texts.push_back(makeText(
            isLatin1Safe(png.comment) ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE,
            "Comment", png.comment));
    }
    return png;
}

// Everything libpng may leave by longjmp happens in here; the only objects
// alive across setjmp are plain pointers and integers.
bool writeImage(png_structp png, png_infop info, std::uint32_t width, std::uint32_t height,
                const Layout& layout, const std::uint8_t* zdata, std::size_t zsize,
                PngMetadata& meta) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_IHDR(png, info, width, height, 8, layout.colorType(), PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!meta.icc.empty()) {
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, meta.icc.data(),
                     static_cast<png_uint_32>(meta.icc.size()));
    }
    if (!meta.texts.empty()) {
        png_set_text(png, info, meta.texts.data(), static_cast<int>(meta.texts.size()));
    }
    png_write_info(png, info);
    if (!meta.exif.empty()) {
        static const png_byte kExif[5] = {'e', 'X', 'I', 'f', 0};
        png_write_chunk(png, kExif, meta.exif.data(), meta.exif.size());
    }
    static const png_byte kIdat[5] = {'I', 'D', 'A', 'T', 0};
    static const png_byte kIend[5] = {'I', 'E', 'N', 'D', 0};
    for (std::size_t at = 0; at < zsize; at += kIdatChunk) {
        png_write_chunk(png, kIdat, zdata + at, std::min(kIdatChunk, zsize - at));
    }
    png_write_chunk(png, kIend, nullptr, 0);
    return true;
}

class PngWriteStruct {
public:
    explicit PngWriteStruct(PngContext& ctx) {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, onPngError, onPngWarning);
        if (!png_) {
            throw Error("Cannot write PNG: not enough memory");
        }
        info_ = png_create_info_struct(png_);
        if (!info_) {
            // No destructor runs for a constructor that throws: the write
            // struct goes here.
            png_destroy_write_struct(&png_, nullptr);
            throw Error("Cannot write PNG: not enough memory");
        }
        png_set_write_fn(png_, &ctx, onPngWrite, onPngFlush);
    }
    ~PngWriteStruct() { png_destroy_write_struct(&png_, &info_); }
    PngWriteStruct(const PngWriteStruct&) = delete;
    PngWriteStruct& operator=(const PngWriteStruct&) = delete;

    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

}  // namespace

namespace {

void writePng(std::uint32_t width, std::uint32_t height, const Layout& layout, const Buffer& zdata,
              PngMetadata& meta, Sink& out) {
    PngContext ctx;
    ctx.sink = &out;
    PngWriteStruct writer(ctx);
    if (!writeImage(writer.png(), writer.info(), width, height, layout, zdata.bytes.get(),
                    zdata.size, meta)) {
        if (ctx.sinkError) {
            std::rethrow_exception(ctx.sinkError);
        }
        throw Error(std::string("Cannot write PNG: ") + ctx.message);
    }
}

extern "C" void onProfileCheckError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

bool setProfile(png_structp png, png_infop info, const std::vector<std::uint8_t>& icc) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_IHDR(png, info, 1, 1, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, icc.data(),
                 static_cast<png_uint_32>(icc.size()));
    return png_get_valid(png, info, PNG_INFO_iCCP) != 0;
}

// True when libpng writes `icc` as an iCCP chunk. It checks a profile more
// strictly than colour-managed readers do and drops (or refuses) one it
// finds fault with: a PCS illuminant other than D50, say, which some Display
// P3 profiles in circulation have.
bool pngTakesProfile(const std::vector<std::uint8_t>& icc) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onProfileCheckError, onPngWarning);
    if (!png) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    const bool taken = info && setProfile(png, info, icc);
    png_destroy_write_struct(&png, &info);
    return taken;
}

void checkNotEmpty(const Raster& raster) {
    if (raster.empty()) {
        throw Error("Cannot write PNG: the picture has no pixels");
    }
}

}  // namespace

void encodePng(const Picture& picture, const EncodeOptions& options, Sink& out) {
    const Raster& raster = picture.pixels;
    checkNotEmpty(raster);
    if (!picture.meta.icc.empty() && !pngTakesProfile(picture.meta.icc)) {
        // A profile the file cannot carry: its colours go into the pixels.
        encodePng(Picture{raster.clone(), picture.meta}, options, out);
        return;
    }
    // Opaque pixels are written without alpha and gray ones as gray: the same
    // picture in less data.
    const Layout layout = examine(raster, !picture.meta.icc.empty());
    PngMetadata meta =
        pngMetadata(formats::prepareMetadata(picture.meta, raster.width(), raster.height()));
    Buffer filtered = uninitialisedBuffer(filteredSize(raster, layout));
    filterImageData(raster, layout, filtered.bytes.get());
    writePng(raster.width(), raster.height(), layout,
             compress(filtered.bytes.get(), filtered.size, options), meta, out);
}

void encodePng(Picture&& picture, const EncodeOptions& options, Sink& out) {
    checkNotEmpty(picture.pixels);
    if (!picture.meta.icc.empty() && !pngTakesProfile(picture.meta.icc)) {
        // A profile the file cannot carry: its colours go into the pixels.
        colour::convertToSrgb(picture);
    }
    Raster raster = std::move(picture.pixels);
    const Layout layout = examine(raster, !picture.meta.icc.empty());
    PngMetadata meta =
        pngMetadata(formats::prepareMetadata(picture.meta, raster.width(), raster.height()));
    const std::uint32_t width = raster.width(), height = raster.height();
    const std::size_t size = filteredSize(raster, layout);
    Buffer zdata;
    if (size <= raster.byteSize()) {
        // Filtered in place: the picture is not needed afterwards.
        filterImageData(raster, layout, raster.data());
        zdata = compress(raster.data(), size, options);
    } else {
        Buffer filtered = uninitialisedBuffer(size);
        filterImageData(raster, layout, filtered.bytes.get());
        { const Raster done = std::move(raster); }  // its pixels are in `filtered` now
        zdata = compress(filtered.bytes.get(), filtered.size, options);
    }
    { const Raster done = std::move(raster); }
    writePng(width, height, layout, zdata, meta, out);
}

}  // namespace imbrix::imaging
