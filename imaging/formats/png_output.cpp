// PNG encoder: libpng, the raster streamed row by row through one small buffer.
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

// zlib level 6 with libpng's adaptive filter choice: close to the sizes other
// tools write for photos, at a fraction of the time of level 9.
constexpr int kCompressionLevel = 6;

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

Layout examine(const Raster& raster) {
    Layout layout{!formats::isOpaque(raster), true};
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

// Everything libpng may leave by longjmp happens in here; the only objects
// alive across setjmp are plain pointers and integers.
bool writeImage(png_structp png, png_infop info, const Raster& raster, const Layout& layout,
                std::uint8_t* straight, std::uint8_t* packed) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_IHDR(png, info, raster.width(), raster.height(), 8, layout.colorType(),
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, kCompressionLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        packRow(raster, y, layout, straight, packed);
        png_write_row(png, packed);
    }
    png_write_end(png, info);
    return true;
}

class PngWriteStruct {
public:
    explicit PngWriteStruct(PngContext& ctx) {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, onPngError, onPngWarning);
        if (png_) {
            info_ = png_create_info_struct(png_);
        }
        if (!png_ || !info_) {
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

void encodePng(const Raster& raster, Sink& out) {
    if (raster.empty()) {
        throw Error("Cannot write PNG: the picture has no pixels");
    }
    // Opaque pixels are written without alpha and gray ones as gray: the same
    // picture in less data.
    const Layout layout = examine(raster);
    std::vector<std::uint8_t> straight;
    if (layout.alpha && raster.premultiplied) {
        straight.resize(std::size_t{raster.width()} * 4);
    }
    std::vector<std::uint8_t> packed(std::size_t{raster.width()} *
                                     static_cast<std::size_t>(layout.channels()));

    PngContext ctx;
    ctx.sink = &out;
    PngWriteStruct writer(ctx);
    if (!writeImage(writer.png(), writer.info(), raster, layout, straight.data(),
                    packed.data())) {
        if (ctx.sinkError) {
            std::rethrow_exception(ctx.sinkError);
        }
        throw Error(std::string("Cannot write PNG: ") + ctx.message);
    }
}

}  // namespace imbrix::imaging
