// WEBP encoder: libwebp, lossless at quality 100, lossy otherwise.
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputmeta.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

constexpr int kLosslessQuality = 100;
constexpr float kLosslessEffort = 75.0f;  // config.quality is the effort in lossless mode
constexpr int kLosslessMethod = 0;
constexpr int kLossyMethod = 3;
// Rows unpremultiplied and converted to YUV at a time; even, so that no 2x2
// chroma block straddles two bands.
constexpr std::uint32_t kBandRows = 64;

class OwnedWebpPicture {
public:
    OwnedWebpPicture() {
        if (!WebPPictureInit(&pic)) {
            throw Error("Cannot write WEBP: libwebp version mismatch");
        }
    }
    ~OwnedWebpPicture() { WebPPictureFree(&pic); }
    OwnedWebpPicture(const OwnedWebpPicture&) = delete;
    OwnedWebpPicture& operator=(const OwnedWebpPicture&) = delete;
    WebPPicture pic;
};

struct WriteContext {
    Sink* sink = nullptr;
    std::exception_ptr sinkError;  // what the sink threw, rethrown after libwebp returned
};

extern "C" int onWebpWrite(const std::uint8_t* data, std::size_t size, const WebPPicture* pic) {
    auto* ctx = static_cast<WriteContext*>(pic->custom_ptr);
    try {
        ctx->sink->write(data, size);
        return 1;
    } catch (...) {
        ctx->sinkError = std::current_exception();
        return 0;
    }
}

const char* describe(WebPEncodingError code) {
    switch (code) {
        case VP8_ENC_ERROR_OUT_OF_MEMORY:
        case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
            return "not enough memory";
        case VP8_ENC_ERROR_BAD_DIMENSION:
            return "the picture is too large for WEBP (at most 16383 x 16383 pixels)";
        case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
        case VP8_ENC_ERROR_PARTITION_OVERFLOW:
            return "the compressed picture is too large";
        case VP8_ENC_ERROR_BAD_WRITE:
            return "the output could not be written";
        case VP8_ENC_ERROR_FILE_TOO_BIG:
            return "the file would be larger than 4 GB";
        default:
            return "the encoder failed";
    }
}

[[noreturn]] void failed(const WebPPicture& pic) {
    throw Error(std::string("Cannot write WEBP: ") + describe(pic.error_code));
}

// Lossless keeps ARGB: fill it directly, unpremultiplying pixel by pixel.
void importArgb(const Raster& raster, WebPPicture& pic) {
    pic.use_argb = 1;
    if (!WebPPictureAlloc(&pic)) {
        failed(pic);
    }
    std::vector<std::uint8_t> straight(std::size_t{raster.width()} * 4);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        if (raster.premultiplied) {
            formats::unpremultiplyRow(p, straight.data(), raster.width());
            p = straight.data();
        }
        std::uint32_t* argb = pic.argb + std::size_t{y} * static_cast<std::size_t>(pic.argb_stride);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            argb[x] = (std::uint32_t{p[kAlpha]} << 24) | (std::uint32_t{p[kRed]} << 16) |
                      (std::uint32_t{p[kGreen]} << 8) | p[kBlue];
        }
    }
}

void copyPlane(const std::uint8_t* src, int srcStride, std::uint8_t* dst, int dstStride, int width,
               int rows) {
    for (int r = 0; r < rows; ++r) {
        std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * dstStride,
                    src + static_cast<std::ptrdiff_t>(r) * srcStride,
                    static_cast<std::size_t>(width));
    }
}

// Lossy with transparency: libwebp's import wants straight alpha, so the raster
// is unpremultiplied a band of rows at a time and each band converted to YUVA,
// instead of unpremultiplying a copy of the whole raster.
void importYuvaInBands(const Raster& raster, WebPPicture& pic) {
    pic.use_argb = 0;
    pic.colorspace = WEBP_YUV420A;
    if (!WebPPictureAlloc(&pic)) {
        failed(pic);
    }
    const std::size_t stride = std::size_t{raster.width()} * 4;
    const std::uint32_t bandRows = std::min(kBandRows, raster.height());
    std::vector<std::uint8_t> straight(stride * bandRows);
    const int width = pic.width;
    const int uvWidth = (width + 1) / 2;
    for (std::uint32_t top = 0; top < raster.height(); top += bandRows) {
        const std::uint32_t rows = std::min(bandRows, raster.height() - top);
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint8_t* src = raster.row(top + r);
            std::uint8_t* dst = straight.data() + r * stride;
            if (raster.premultiplied) {
                formats::unpremultiplyRow(src, dst, raster.width());
            } else {
                std::memcpy(dst, src, stride);
            }
        }
        OwnedWebpPicture band;
        band.pic.use_argb = 0;
        band.pic.width = width;
        band.pic.height = static_cast<int>(rows);
        if (!WebPPictureImportBGRA(&band.pic, straight.data(), static_cast<int>(stride))) {
            failed(band.pic);
        }
        const int y0 = static_cast<int>(top);
        const int bandHeight = static_cast<int>(rows);
        const int uvRows = (bandHeight + 1) / 2;
        copyPlane(band.pic.y, band.pic.y_stride, pic.y + y0 * pic.y_stride, pic.y_stride, width,
                  bandHeight);
        copyPlane(band.pic.u, band.pic.uv_stride, pic.u + (y0 / 2) * pic.uv_stride, pic.uv_stride,
                  uvWidth, uvRows);
        copyPlane(band.pic.v, band.pic.uv_stride, pic.v + (y0 / 2) * pic.uv_stride, pic.uv_stride,
                  uvWidth, uvRows);
        std::uint8_t* alpha = pic.a + y0 * pic.a_stride;
        if (band.pic.a) {
            copyPlane(band.pic.a, band.pic.a_stride, alpha, pic.a_stride, width, bandHeight);
        } else {  // the import leaves out the alpha plane of an opaque band
            for (int r = 0; r < bandHeight; ++r) {
                std::memset(alpha + r * pic.a_stride, 255, static_cast<std::size_t>(width));
            }
        }
    }
}

void checkSize(std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0) {
        throw Error("Cannot write WEBP: the picture has no pixels");
    }
    if (width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION) {
        throw Error("Cannot write WEBP: the picture is too large for WEBP (" +
                    std::to_string(width) + " x " + std::to_string(height) +
                    " pixels, at most 16383 x 16383)");
    }
}

WebPConfig makeConfig(bool lossless, int quality) {
    WebPConfig config;
    if (!WebPConfigInit(&config)) {
        throw Error("Cannot write WEBP: libwebp version mismatch");
    }
    if (lossless) {
        config.lossless = 1;
        config.quality = kLosslessEffort;
        config.method = kLosslessMethod;
    } else {
        config.quality = static_cast<float>(quality);
        config.method = kLossyMethod;
    }
    if (!WebPValidateConfig(&config)) {
        throw Error("Cannot write WEBP: invalid encoder settings");
    }
    return config;
}

void encodeTo(const WebPConfig& config, WebPPicture& pic, Sink& out) {
    WriteContext ctx;
    ctx.sink = &out;
    pic.writer = onWebpWrite;
    pic.custom_ptr = &ctx;
    if (!WebPEncode(&config, &pic)) {
        if (ctx.sinkError) {
            std::rethrow_exception(ctx.sinkError);
        }
        failed(pic);
    }
}

class Mux {
public:
    explicit Mux(const MemorySink& image) {
        const WebPData data{image.bytes.data(), image.bytes.size()};
        mux_ = WebPMuxCreate(&data, 0);  // the image stays in `image`
        if (!mux_) {
            throw Error("Cannot write WEBP: the encoded picture cannot be framed");
        }
    }
    ~Mux() { WebPMuxDelete(mux_); }
    Mux(const Mux&) = delete;
    Mux& operator=(const Mux&) = delete;

    void set(const char fourcc[4], Bytes data) {
        if (data.empty()) {
            return;
        }
        const WebPData chunk{data.data(), data.size()};
        check(WebPMuxSetChunk(mux_, fourcc, &chunk, 0));
    }
    void writeTo(Sink& out) {
        WebPData assembled;
        WebPDataInit(&assembled);
        check(WebPMuxAssemble(mux_, &assembled));
        try {
            out.write(assembled.bytes, assembled.size);
        } catch (...) {
            WebPDataClear(&assembled);
            throw;
        }
        WebPDataClear(&assembled);
    }

private:
    static void check(WebPMuxError result) {
        if (result == WEBP_MUX_MEMORY_ERROR) {
            throw Error("Cannot write WEBP: not enough memory");
        }
        if (result != WEBP_MUX_OK) {
            throw Error("Cannot write WEBP: the metadata cannot be added (libwebpmux error " +
                        std::to_string(result) + ")");
        }
    }
    WebPMux* mux_ = nullptr;
};

// A picture without metadata streams straight to the sink; one with metadata
// is encoded in memory first, then framed with its ICCP, EXIF and XMP chunks
// by libwebpmux, which sets the extended header's flags to match.
void encode(const WebPConfig& config, WebPPicture& pic, const Metadata& source, Sink& out) {
    const formats::OutputMetadata meta = formats::prepareMetadata(
        source, static_cast<std::uint32_t>(pic.width), static_cast<std::uint32_t>(pic.height));
    const bool framed = !meta.icc.empty() || !meta.exif.empty() || !meta.xmp.empty();
    if (!framed) {
        encodeTo(config, pic, out);
        return;
    }
    MemorySink image;
    encodeTo(config, pic, image);
    Mux mux(image);
    mux.set("ICCP", meta.icc);
    mux.set("EXIF", meta.exif);
    mux.set("XMP ", meta.xmp);
    mux.writeTo(out);
}

}  // namespace

void encodeWebp(const Picture& source, const EncodeOptions& options, Sink& out) {
    const Raster& raster = source.pixels;
    checkSize(raster.width(), raster.height());
    const int quality = std::clamp(options.quality, 1, 100);
    const bool lossless = quality == kLosslessQuality;
    const WebPConfig config = makeConfig(lossless, quality);

    OwnedWebpPicture picture;
    WebPPicture& pic = picture.pic;
    pic.width = static_cast<int>(raster.width());
    pic.height = static_cast<int>(raster.height());
    const int stride = static_cast<int>(raster.stride());
    if (formats::isOpaque(raster)) {
        // Alpha is 255 everywhere: premultiplied or not, the colours are final.
        pic.use_argb = lossless ? 1 : 0;
        if (!WebPPictureImportBGRX(&pic, raster.data(), stride)) {
            failed(pic);
        }
    } else if (lossless) {
        importArgb(raster, pic);
    } else {
        importYuvaInBands(raster, pic);
    }
    encode(config, pic, source.meta, out);
}

void encodeWebp(YuvPicture&& picture, const EncodeOptions& options, Sink& out) {
    checkSize(picture.width, picture.height);
    const int quality = std::clamp(options.quality, 1, 100);
    if (quality == kLosslessQuality) {
        throw Error("Cannot write WEBP: quality 100 is lossless and needs the picture's colours");
    }
    const std::size_t chroma = std::size_t{picture.chromaWidth()} * picture.chromaHeight();
    if (picture.y.size() != std::size_t{picture.width} * picture.height ||
        picture.u.size() != chroma || picture.v.size() != chroma) {
        throw Error("Cannot write WEBP: the planes do not match the picture's size");
    }
    const WebPConfig config = makeConfig(false, quality);

    // libwebp codes the planes where they are: no copy, nothing for it to free.
    OwnedWebpPicture wrapped;
    WebPPicture& pic = wrapped.pic;
    pic.use_argb = 0;
    pic.colorspace = WEBP_YUV420;
    pic.width = static_cast<int>(picture.width);
    pic.height = static_cast<int>(picture.height);
    pic.y = picture.y.data();
    pic.u = picture.u.data();
    pic.v = picture.v.data();
    pic.y_stride = pic.width;
    pic.uv_stride = static_cast<int>(picture.chromaWidth());
    encode(config, pic, picture.meta, out);
}

}  // namespace imbrix::imaging
