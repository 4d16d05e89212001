// GIF encoder: one frame, the palette chosen and dithered by libimagequant,
// written by giflib.
#include <gif_lib.h>
#include <libimagequant.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

constexpr int kMaxColours = 256;
// libimagequant's speed (1 slowest .. 10 fastest). Measured on camera photos
// (bench/format_bench.sh): 8 takes 12 to 32 % less time than its default 4 and
// loses 0.9 to 2.2 dB, still 2 to 3 dB above ImageMagick's and
// GraphicsMagick's GIFs; 10 is no faster than 8.
constexpr int kQuantizerSpeed = 8;
constexpr float kDithering = 1.0f;
constexpr std::uint32_t kMaxSide = 65535;  // GIF sizes are 16-bit
// Where alpha is below half a pixel is transparent; at or above, opaque in its
// own (straight) colour, as GIF has no partial transparency.
constexpr int kOpaqueFrom = 128;

[[noreturn]] void failed(const std::string& reason) {
    throw Error("Cannot write GIF: " + reason);
}

struct AttrFree {
    void operator()(liq_attr* attr) const { liq_attr_destroy(attr); }
};
struct ImageFree {
    void operator()(liq_image* image) const { liq_image_destroy(image); }
};
struct ResultFree {
    void operator()(liq_result* result) const { liq_result_destroy(result); }
};
struct MapFree {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

// libimagequant reads the picture a row at a time, straight RGBA with alpha
// made binary, so no RGBA copy of the whole picture is kept. It may ask for a
// row more than once and from several threads.
extern "C" void onLiqRow(liq_color rowOut[], int row, int width, void* user) {
    const auto* raster = static_cast<const Raster*>(user);
    const std::uint8_t* p = raster->row(static_cast<std::uint32_t>(row));
    for (int x = 0; x < width; ++x, p += 4) {
        const unsigned a = p[kAlpha];
        liq_color& c = rowOut[x];
        if (a < kOpaqueFrom) {
            c = {0, 0, 0, 0};
        } else if (a == 255 || !raster->premultiplied) {
            c = {p[kRed], p[kGreen], p[kBlue], 255};
        } else {
            const auto straight = [a](unsigned v) {
                return static_cast<unsigned char>(std::min(255u, (v * 255u + a / 2) / a));
            };
            c = {straight(p[kRed]), straight(p[kGreen]), straight(p[kBlue]), 255};
        }
    }
}

const char* describe(liq_error error) {
    switch (error) {
        case LIQ_OUT_OF_MEMORY:
            return "not enough memory";
        case LIQ_ABORTED:
            return "the colour reduction was stopped";
        default:
            return "the colour reduction failed";
    }
}

struct GifWriter {
    Sink* sink = nullptr;
    std::exception_ptr failure;
};

extern "C" int onGifWrite(GifFileType* gif, const GifByteType* data, int size) {
    auto* writer = static_cast<GifWriter*>(gif->UserData);
    try {
        writer->sink->write(data, static_cast<std::size_t>(size));
        return size;
    } catch (...) {
        writer->failure = std::current_exception();
        return 0;
    }
}

// giflib's file is closed (and its memory freed) on every path.
class GifFile {
public:
    explicit GifFile(GifWriter& writer) : writer_(writer) {
        int error = 0;
        gif_ = EGifOpen(&writer, onGifWrite, &error);
        if (!gif_) {
            failed(GifErrorString(error));
        }
    }
    ~GifFile() {
        if (gif_) {
            int error = 0;
            EGifCloseFile(gif_, &error);
        }
    }
    GifFile(const GifFile&) = delete;
    GifFile& operator=(const GifFile&) = delete;

    GifFileType* get() { return gif_; }
    void check(int result) {
        if (result != GIF_OK) {
            raise(gif_->Error);
        }
    }
    void close() {
        int error = 0;
        GifFileType* gif = gif_;
        gif_ = nullptr;
        if (EGifCloseFile(gif, &error) != GIF_OK) {
            raise(error);
        }
    }

private:
    [[noreturn]] void raise(int error) {
        if (writer_.failure) {
            std::rethrow_exception(writer_.failure);
        }
        failed(GifErrorString(error) ? GifErrorString(error) : "giflib failed");
    }
    GifWriter& writer_;
    GifFileType* gif_ = nullptr;
};

}  // namespace

void encodeGif(const Picture& picture, const EncodeOptions& /*options*/, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty() || raster.width() == 0 || raster.height() == 0) {
        failed("the picture has no pixels");
    }
    if (raster.width() > kMaxSide || raster.height() > kMaxSide) {
        failed("the picture is too large for GIF (" + std::to_string(raster.width()) + " x " +
               std::to_string(raster.height()) + " pixels, at most 65535 x 65535)");
    }
    const int width = static_cast<int>(raster.width());
    const int height = static_cast<int>(raster.height());

    const std::unique_ptr<liq_attr, AttrFree> attr(liq_attr_create());
    if (!attr) {
        failed("not enough memory");
    }
    liq_set_max_colors(attr.get(), kMaxColours);
    liq_set_speed(attr.get(), kQuantizerSpeed);
    const std::unique_ptr<liq_image, ImageFree> image(liq_image_create_custom(
        attr.get(), onLiqRow, const_cast<Raster*>(&raster), width, height, 0));
    if (!image) {
        failed("not enough memory");
    }
    liq_result* quantized = nullptr;
    if (const liq_error error = liq_image_quantize(image.get(), attr.get(), &quantized);
        error != LIQ_OK) {
        failed(describe(error));
    }
    const std::unique_ptr<liq_result, ResultFree> result(quantized);
    liq_set_dithering_level(result.get(), kDithering);

    std::vector<std::uint8_t> indices(std::size_t{raster.width()} * raster.height());
    std::vector<unsigned char*> rows(raster.height());
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        rows[y] = indices.data() + std::size_t{y} * raster.width();
    }
    // The palette is final once the picture is remapped (dithering refines it).
    if (const liq_error error =
            liq_write_remapped_image_rows(result.get(), image.get(), rows.data());
        error != LIQ_OK) {
        failed(describe(error));
    }
    const liq_palette* palette = liq_get_palette(result.get());

    // GIF colour tables come in powers of two, at least 2 entries.
    int tableSize = 2;
    while (tableSize < static_cast<int>(palette->count)) {
        tableSize *= 2;
    }
    std::vector<GifColorType> colours(static_cast<std::size_t>(tableSize), GifColorType{0, 0, 0});
    int transparent = NO_TRANSPARENT_COLOR;
    for (unsigned i = 0; i < palette->count; ++i) {
        const liq_color& c = palette->entries[i];
        colours[i] = GifColorType{c.r, c.g, c.b};
        if (c.a < kOpaqueFrom && transparent == NO_TRANSPARENT_COLOR) {
            transparent = static_cast<int>(i);
        }
    }
    const std::unique_ptr<ColorMapObject, MapFree> map(GifMakeMapObject(tableSize, colours.data()));
    if (!map) {
        failed("not enough memory");
    }

    GifWriter writer;
    writer.sink = &out;
    GifFile gif(writer);
    // GIF89a always, as ImageMagick writes it, with or without transparency.
    EGifSetGifVersion(gif.get(), true);
    gif.check(EGifPutScreenDesc(gif.get(), width, height, 8, 0, map.get()));
    if (transparent != NO_TRANSPARENT_COLOR) {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSAL_UNSPECIFIED;
        control.UserInputFlag = false;
        control.DelayTime = 0;
        control.TransparentColor = transparent;
        GifByteType block[4];
        const std::size_t length = EGifGCBToExtension(&control, block);
        gif.check(
            EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), block));
    }
    gif.check(EGifPutImageDesc(gif.get(), 0, 0, width, height, false, nullptr));
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        gif.check(EGifPutLine(gif.get(), rows[y], width));
    }
    gif.close();
}

}  // namespace imbrix::imaging
