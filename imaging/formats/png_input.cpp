// PNG sources through libpng.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Bytes data;
    std::size_t offset = 0;
    std::string message;   // libpng's error text
    std::string cxxError;  // a failed size check or allocation
    Raster picture;
    bool rowsDone = false;
    // What the file says about its colours, read with the header.
    bool gray = false;
    bool srgbChunk = false;
    std::vector<std::uint8_t> icc;
    std::optional<colour::PngChromaticities> chrm;
    std::optional<double> gamma;
    int bitDepth = 8;

    ~Decoder() { png_destroy_read_struct(&png, &info, nullptr); }
};

// libpng's fatal errors must not return: record the text and jump back to run().
[[noreturn]] void onError(png_structp png, png_const_charp text) {
    auto* d = static_cast<Decoder*>(png_get_error_ptr(png));
    d->message = std::string("PNG error: ") + (text ? text : "unknown error");
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void readBytes(png_structp png, png_bytep out, png_size_t length) {
    auto* d = static_cast<Decoder*>(png_get_io_ptr(png));
    if (d->data.size() - d->offset < length) {
        png_error(png, "the file is truncated");
    }
    std::memcpy(out, d->data.data() + d->offset, length);
    d->offset += length;
}

bool allocate(Decoder& d, png_uint_32 width, png_uint_32 height) {
    try {
        checkPictureSize(width, height);
        d.picture = Raster(width, height);
        return true;
    } catch (const Error& e) {
        d.cxxError = e.what();
        return false;
    }
}

// sRGB, iCCP, cHRM and gAMA, in the order of precedence the PNG format gives
// them. Kept apart from run(), as allocate().
bool readColourChunks(Decoder& d) {
    try {
        if (png_get_valid(d.png, d.info, PNG_INFO_sRGB)) {
            d.srgbChunk = true;
            return true;
        }
        png_charp name = nullptr;
        int compression = 0;
        png_bytep profile = nullptr;
        png_uint_32 length = 0;
        if (png_get_iCCP(d.png, d.info, &name, &compression, &profile, &length) && profile) {
            d.icc.assign(profile, profile + length);
            return true;
        }
        colour::PngChromaticities c{};
        if (png_get_valid(d.png, d.info, PNG_INFO_cHRM) &&
            png_get_cHRM(d.png, d.info, &c.whiteX, &c.whiteY, &c.redX, &c.redY, &c.greenX,
                         &c.greenY, &c.blueX, &c.blueY)) {
            d.chrm = c;
        }
        double gamma = 0;
        if (png_get_valid(d.png, d.info, PNG_INFO_gAMA) && png_get_gAMA(d.png, d.info, &gamma)) {
            d.gamma = gamma;
        }
        return true;
    } catch (const std::bad_alloc&) {
        d.cxxError = "PNG error: out of memory";
        return false;
    }
}

// Every libpng call. No object with a destructor lives in this frame, so the
// jump back from onError skips nothing.
bool run(Decoder& d) {
    if (setjmp(png_jmpbuf(d.png))) {
        // Damage after the last row (a missing IEND, a bad trailing chunk) costs
        // nothing of the picture.
        return d.rowsDone && d.cxxError.empty();
    }
    png_set_read_fn(d.png, &d, readBytes);
    // Width and height are each capped by the pixel cap; their product is
    // checked below, before any row is allocated.
    const auto sideLimit =
        static_cast<png_uint_32>(std::min<std::uint64_t>(kMaxPixels, PNG_UINT_31_MAX));
    png_set_user_limits(d.png, sideLimit, sideLimit);
    // libpng allocates (and clears) a text chunk's buffer from its length field
    // before it reads the chunk: 750 bytes claiming a 1.6 GB iTXt chunk took
    // 1.6 GB and seconds. Text, EXIF and palette suggestions are the metadata
    // reader's business, not the decoder's: they are read past in small pieces.
    static constexpr png_byte kSkipped[] = "tEXt\0zTXt\0iTXt\0eXIf\0sPLT";
    png_set_keep_unknown_chunks(d.png, PNG_HANDLE_CHUNK_NEVER, kSkipped, 5);
    // A profile inflates into a buffer of the size its header gives: at most
    // 16 MB, or the file's size.
    png_set_chunk_malloc_max(d.png, std::max<png_alloc_size_t>(d.data.size(), 16 << 20));
    png_read_info(d.png, d.info);

    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    png_get_IHDR(d.png, d.info, &width, &height, &bitDepth, &colorType, &interlace, nullptr,
                 nullptr);
    d.gray = colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA;
    d.bitDepth = colorType == PNG_COLOR_TYPE_PALETTE ? 8 : bitDepth;
    if (!readColourChunks(d) || !allocate(d, width, height)) {
        return false;
    }

    // Everything to 8-bit BGRA, values as stored (no gamma or colour correction).
    png_set_expand(d.png);  // palette to RGB, gray below 8 bits to 8, tRNS to alpha
    if (bitDepth == 16) {
        png_set_scale_16(d.png);
    }
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(d.png);
    }
    png_set_bgr(d.png);
    png_set_add_alpha(d.png, 0xFF, PNG_FILLER_AFTER);  // a no-op where alpha exists
    const int passes = png_set_interlace_handling(d.png);
    png_read_update_info(d.png, d.info);
    if (png_get_rowbytes(d.png, d.info) != d.picture.stride()) {
        png_error(d.png, "unexpected row layout");
    }
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(d.png, d.picture.row(y), nullptr);
        }
    }
    d.rowsDone = true;
    png_read_end(d.png, nullptr);
    return true;
}

}  // namespace

Picture decodePng(Bytes data) {
    Decoder d;
    d.data = data;
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &d, onError, onWarning);
    if (!d.png || !(d.info = png_create_info_struct(d.png))) {
        throw Error("PNG error: out of memory");
    }
    if (!run(d)) {
        throw Error(d.cxxError.empty() ? d.message : d.cxxError);
    }
    d.picture.premultiplied = false;
    premultiply(d.picture);
    Picture picture{std::move(d.picture), {}};
    picture.meta.bitDepth = d.bitDepth;
    const colour::SourceModel model = d.gray ? colour::SourceModel::Gray : colour::SourceModel::Rgb;
    if (!d.icc.empty()) {
        colour::adoptProfile(picture, d.icc, model);
    } else if (!d.srgbChunk && (d.chrm || d.gamma)) {
        // A gray picture's gAMA applies to its one channel as to three.
        colour::adoptProfile(picture, colour::profileFromPngChunks(d.chrm, d.gamma),
                             colour::SourceModel::Rgb);
    }
    return picture;
}

}  // namespace imbrix::imaging::formats
