// WEBP sources through libwebp: a still picture or an animation's first frame.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/exif.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

std::string statusText(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY:
            return "out of memory";
        case VP8_STATUS_INVALID_PARAM:
            return "invalid parameter";
        case VP8_STATUS_BITSTREAM_ERROR:
            return "damaged bitstream";
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            return "unsupported feature";
        case VP8_STATUS_SUSPENDED:
            return "decoding suspended";
        case VP8_STATUS_USER_ABORT:
            return "decoding aborted";
        case VP8_STATUS_NOT_ENOUGH_DATA:
            return "the file is truncated";
        default:
            return "unknown error";
    }
}

[[noreturn]] void fail(const std::string& why) {
    throw Error("WEBP error: " + why);
}

int exifOrientation(const WebPDemuxer* demux) {
    WebPChunkIterator chunk{};
    int orientation = 1;
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
        orientation = exif::orientation(Bytes(chunk.chunk.bytes, chunk.chunk.size));
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    return orientation;
}

std::vector<std::uint8_t> iccProfile(const WebPDemuxer* demux) {
    WebPChunkIterator chunk{};
    std::vector<std::uint8_t> icc;
    if (WebPDemuxGetChunk(demux, "ICCP", 1, &chunk)) {
        icc.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    return icc;
}

// The size libwebp's scaler draws a picture of `full` pixels (as shown) for
// `hint`; `full` when it is to be drawn at its own size.
//
// The reduction is shrinkFactor()'s, as for JPEG, although libwebp could scale
// straight to the target (as libvips' thumbnailer has it do): its scaler
// averages the pixels each one covers, which aliases like a box filter. Fitted
// into 300 x 300, seven photos (WEBP quality 90) drawn at the target came out
// 37 to 50 dB from a Lanczos-3 resize of the full picture; drawn at
// shrinkFactor() and resampled, 45 to 53 dB, in about the same time (decoding
// the file costs most of it).
//
// libwebp spreads the drawn pixels evenly over the picture, so a side is drawn
// at floor(side / n): the resize stage takes a side of ceil(side / n) pixels for
// one in libjpeg's blocks of n (resize.cpp).
PixelSize scaledSize(const DecodeHint& hint, PixelSize full) {
    const unsigned n = shrinkFactor(hint, full);
    if (n == 1) {
        return full;
    }
    return {std::max(full.width / n, 1u), std::max(full.height / n, 1u)};
}

// A still picture, drawn smaller when `hint` allows (scaledSize() of its size
// as shown, after `orientation`). `full` receives its full size as shown.
Raster decodeStill(Bytes data, const DecodeHint& hint, int orientation, PixelSize& full) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        fail("library version mismatch");
    }
    const VP8StatusCode header = WebPGetFeatures(data.data(), data.size(), &config.input);
    if (header != VP8_STATUS_OK) {
        fail(statusText(header));
    }
    const auto width = static_cast<std::uint32_t>(config.input.width);
    const auto height = static_cast<std::uint32_t>(config.input.height);
    checkPictureSize(width, height);
    const bool swap = exif::swapsSides(orientation);
    full = swap ? PixelSize{height, width} : PixelSize{width, height};
    PixelSize drawn = scaledSize(hint, full);
    if (swap) {
        drawn = {drawn.height, drawn.width};
    }
    if (drawn.width != width || drawn.height != height) {
        // libwebp's scaler averages the pixels each one covers, on
        // premultiplied values.
        config.options.use_scaling = 1;
        config.options.scaled_width = static_cast<int>(drawn.width);
        config.options.scaled_height = static_cast<int>(drawn.height);
    }
    Raster picture(drawn.width, drawn.height);
    // Decoded straight into the raster, premultiplied BGRA.
    config.output.colorspace = MODE_bgrA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = picture.data();
    config.output.u.RGBA.stride = static_cast<int>(picture.stride());
    config.output.u.RGBA.size = picture.byteSize();
    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        fail(statusText(status));
    }
    picture.premultiplied = true;
    return picture;
}

struct FrameIterator {
    WebPIterator it{};
    ~FrameIterator() { WebPDemuxReleaseIterator(&it); }
};

// An animation's first frame on its canvas. The canvas starts transparent and
// the first frame is never blended with anything, so it is decoded straight
// into its place on the one raster the picture needs (libwebp's animation
// decoder would hold two more canvases of that size).
Raster decodeFirstFrame(const WebPDemuxer* demux) {
    const std::uint32_t canvasWidth = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
    const std::uint32_t canvasHeight = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
    checkPictureSize(canvasWidth, canvasHeight);
    FrameIterator frame;
    if (!WebPDemuxGetFrame(demux, 1, &frame.it)) {
        fail("damaged animation");
    }
    const WebPIterator& it = frame.it;
    if (!it.complete) {
        fail("the file is truncated");
    }
    if (it.x_offset < 0 || it.y_offset < 0 || it.width <= 0 || it.height <= 0 ||
        std::uint64_t{static_cast<std::uint32_t>(it.x_offset)} +
                static_cast<std::uint32_t>(it.width) >
            canvasWidth ||
        std::uint64_t{static_cast<std::uint32_t>(it.y_offset)} +
                static_cast<std::uint32_t>(it.height) >
            canvasHeight) {
        fail("damaged animation");
    }
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        fail("library version mismatch");
    }
    const VP8StatusCode header =
        WebPGetFeatures(it.fragment.bytes, it.fragment.size, &config.input);
    if (header != VP8_STATUS_OK) {
        fail(statusText(header));
    }
    if (config.input.width != it.width || config.input.height != it.height) {
        fail("damaged animation");
    }
    Raster picture(canvasWidth, canvasHeight);
    const auto x = static_cast<std::size_t>(it.x_offset);
    const auto y = static_cast<std::uint32_t>(it.y_offset);
    const auto w = static_cast<std::size_t>(it.width);
    const auto h = static_cast<std::size_t>(it.height);
    config.output.colorspace = MODE_bgrA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = picture.row(y) + x * 4;
    config.output.u.RGBA.stride = static_cast<int>(picture.stride());
    config.output.u.RGBA.size = picture.stride() * (h - 1) + w * 4;
    const VP8StatusCode status = WebPDecode(it.fragment.bytes, it.fragment.size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        fail(statusText(status));
    }
    picture.premultiplied = true;
    return picture;
}

// Records the full size of a picture drawn smaller.
void recordFullSize(Picture& picture, PixelSize full) {
    if (picture.pixels.width() != full.width || picture.pixels.height() != full.height) {
        picture.meta.fullWidth = full.width;
        picture.meta.fullHeight = full.height;
    }
}

}  // namespace

Picture decodeWebp(Bytes data, const DecodeHint& hint) {
    if (data.empty()) {
        fail("the file is empty");
    }
    const WebPData webp{data.data(), data.size()};
    const std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&webp));
    PixelSize full;
    if (!demux) {
        // Not a complete container; let the decoder say what is wrong.
        Picture picture{decodeStill(data, hint, 1, full), {}};
        recordFullSize(picture, full);
        return picture;
    }
    const std::uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
    const int orientation = exifOrientation(demux.get());
    Raster raster = (flags & ANIMATION_FLAG) ? decodeFirstFrame(demux.get())
                                             : decodeStill(data, hint, orientation, full);
    Picture picture{exif::applyOrientation(std::move(raster), orientation), {}};
    if (!(flags & ANIMATION_FLAG)) {
        recordFullSize(picture, full);
    }
    if (flags & ICCP_FLAG) {
        colour::adoptProfile(picture, iccProfile(demux.get()), colour::SourceModel::Rgb);
    }
    return picture;
}

}  // namespace imbrix::imaging::formats
