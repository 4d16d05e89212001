// WEBP sources through libwebp: a still picture or an animation's first frame.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>
#include <string>

#include "imaging/error.h"
#include "imaging/exif.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDecoderDeleter {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
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

Raster decodeStill(Bytes data) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        fail("library version mismatch");
    }
    const VP8StatusCode header = WebPGetFeatures(data.data(), data.size(), &config.input);
    if (header != VP8_STATUS_OK) {
        fail(statusText(header));
    }
    checkPictureSize(static_cast<std::uint32_t>(config.input.width),
                     static_cast<std::uint32_t>(config.input.height));
    Raster picture(static_cast<std::uint32_t>(config.input.width),
                   static_cast<std::uint32_t>(config.input.height));
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

Raster decodeFirstFrame(Bytes data, const WebPDemuxer* demux) {
    checkPictureSize(WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH),
                     WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT));
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) {
        fail("library version mismatch");
    }
    options.color_mode = MODE_bgrA;
    options.use_threads = 0;
    const WebPData webp{data.data(), data.size()};
    const std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(
        WebPAnimDecoderNew(&webp, &options));
    if (!decoder) {
        fail("damaged animation");
    }
    WebPAnimInfo info{};
    std::uint8_t* frame = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetInfo(decoder.get(), &info) ||
        !WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame) {
        fail("damaged animation");
    }
    Raster picture(info.canvas_width, info.canvas_height);
    std::memcpy(picture.data(), frame, picture.byteSize());
    picture.premultiplied = true;
    return picture;
}

}  // namespace

Raster decodeWebp(Bytes data) {
    if (data.empty()) {
        fail("the file is empty");
    }
    const WebPData webp{data.data(), data.size()};
    const std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&webp));
    if (!demux) {
        // Not a complete container; let the decoder say what is wrong.
        return decodeStill(data);
    }
    const std::uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
    Raster picture =
        (flags & ANIMATION_FLAG) ? decodeFirstFrame(data, demux.get()) : decodeStill(data);
    return exif::applyOrientation(std::move(picture), exifOrientation(demux.get()));
}

}  // namespace imbrix::imaging::formats
