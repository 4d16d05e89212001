// JPEG 2000 (JP2) encoder: OpenJPEG, sized by what a JPEG of the same quality takes.
#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

constexpr int kLosslessQuality = 100;
// OpenJPEG's default; each level halves the picture once more.
constexpr int kMaxResolutionLevels = 6;
// JPEG 2000 sizes are 32-bit; OpenJPEG also keeps every sample as a 32-bit integer.
constexpr std::uint64_t kMaxSide = 0x7fffffff;

// OpenJPEG's resolution levels: every level halves the picture, and the
// smallest must keep at least one pixel a side.
int resolutionLevels(std::uint32_t width, std::uint32_t height) {
    const std::uint64_t side = std::min(width, height);
    int levels = 1;
    while (levels < kMaxResolutionLevels && (std::uint64_t{1} << levels) <= side) {
        ++levels;
    }
    return levels;
}

// The JP2 is built in memory: OpenJPEG seeks back to finish the codestream's
// box once it knows its length. It is as small as the JPEG it is sized by.
struct MemoryStream {
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
    std::exception_ptr failure;
};

extern "C" OPJ_SIZE_T onOpjWrite(void* data, OPJ_SIZE_T size, void* user) {
    auto* stream = static_cast<MemoryStream*>(user);
    try {
        if (stream->position + size > stream->bytes.size()) {
            stream->bytes.resize(stream->position + size);
        }
        std::memcpy(stream->bytes.data() + stream->position, data, size);
        stream->position += size;
        return size;
    } catch (...) {
        stream->failure = std::current_exception();
        return static_cast<OPJ_SIZE_T>(-1);
    }
}

extern "C" OPJ_OFF_T onOpjSkip(OPJ_OFF_T count, void* user) {
    auto* stream = static_cast<MemoryStream*>(user);
    const auto target = static_cast<OPJ_OFF_T>(stream->position) + count;
    if (target < 0) {
        return -1;
    }
    stream->position = static_cast<std::size_t>(target);
    return count;
}

extern "C" OPJ_BOOL onOpjSeek(OPJ_OFF_T offset, void* user) {
    auto* stream = static_cast<MemoryStream*>(user);
    if (offset < 0) {
        return OPJ_FALSE;
    }
    stream->position = static_cast<std::size_t>(offset);
    return OPJ_TRUE;
}

extern "C" void onOpjError(const char* message, void* user) {
    auto* text = static_cast<std::string*>(user);
    if (text->empty() && message) {
        *text = message;
        while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) {
            text->pop_back();
        }
    }
}

extern "C" void onOpjQuiet(const char*, void*) {}

struct ImageFree {
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
struct CodecFree {
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamFree {
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};

[[noreturn]] void failed(const std::string& reason) {
    throw Error("Cannot write JPEG 2000: " + (reason.empty() ? "the encoder failed" : reason));
}

// The picture's samples in OpenJPEG's planes (one 32-bit integer each),
// straight colours, then alpha when there is one.
std::unique_ptr<opj_image_t, ImageFree> makeImage(const Raster& raster, bool gray, bool alpha) {
    const std::uint32_t width = raster.width();
    const std::uint32_t height = raster.height();
    const int colours = gray ? 1 : 3;
    const int count = colours + (alpha ? 1 : 0);
    opj_image_cmptparm_t params[4] = {};
    for (int c = 0; c < count; ++c) {
        params[c].dx = 1;
        params[c].dy = 1;
        params[c].w = width;
        params[c].h = height;
        params[c].prec = 8;
        params[c].sgnd = 0;
    }
    std::unique_ptr<opj_image_t, ImageFree> image(opj_image_create(
        static_cast<OPJ_UINT32>(count), params, gray ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
    if (!image) {
        failed("not enough memory");
    }
    image->x0 = 0;
    image->y0 = 0;
    image->x1 = width;
    image->y1 = height;
    if (alpha) {
        image->comps[colours].alpha = 1;
    }

    static constexpr int kOrder[3] = {kRed, kGreen, kBlue};
    std::vector<std::uint8_t> straight(std::size_t{width} * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* p = raster.row(y);
        if (alpha && raster.premultiplied) {
            formats::unpremultiplyRow(p, straight.data(), width);
            p = straight.data();
        }
        const std::size_t offset = std::size_t{y} * width;
        for (int c = 0; c < colours; ++c) {
            OPJ_INT32* plane = image->comps[c].data + offset;
            const std::uint8_t* s = p + kOrder[c];
            for (std::uint32_t x = 0; x < width; ++x, s += 4) {
                plane[x] = *s;
            }
        }
        if (alpha) {
            OPJ_INT32* plane = image->comps[colours].data + offset;
            const std::uint8_t* s = p + kAlpha;
            for (std::uint32_t x = 0; x < width; ++x, s += 4) {
                plane[x] = *s;
            }
        }
    }
    return image;
}

class CountingSink final : public Sink {
public:
    void write(const void*, std::size_t size) override { count += size; }
    std::size_t count = 0;
};

// The bytes a JPEG of this quality takes (4:2:0 or gray, optimised tables, no
// metadata): the budget of the wavelet coding. Only its size is kept.
std::size_t jpegBytes(const Picture& picture, int quality, bool gray) {
    EncodeOptions options;
    options.quality = quality;
    CountingSink sink;
    const auto encode = gray ? encodeGrayJpeg : encodeJpeg;
    if (picture.meta.icc.empty() && !picture.meta.hasDescriptive()) {
        encode(picture, options, sink);
    } else {
        encode(Picture{picture.pixels.clone(), {}}, options, sink);
    }
    return sink.count;
}

}  // namespace

void encodeJp2(const Picture& picture, const EncodeOptions& options, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty() || raster.width() == 0 || raster.height() == 0) {
        throw Error("Cannot write JPEG 2000: the picture has no pixels");
    }
    if (raster.width() > kMaxSide || raster.height() > kMaxSide) {
        failed("the picture is too large");
    }
    const int quality = std::clamp(options.quality, 1, 100);
    const bool alpha = !formats::isOpaque(raster);
    const bool gray = formats::isGray(raster);

    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0;  // no budget: lossless
    params.cp_disto_alloc = 1;
    params.numresolution = resolutionLevels(raster.width(), raster.height());
    params.tcp_mct = gray ? 0 : 1;
    if (quality < kLosslessQuality) {
        // The ratio of raw colour bytes to the JPEG's; an alpha plane gets its
        // share on top (OpenJPEG counts every component in the raw size).
        const double colourBytes =
            static_cast<double>(raster.width()) * raster.height() * (gray ? 1 : 3);
        const auto budget = static_cast<double>(jpegBytes(picture, quality, gray));
        if (budget > 0 && colourBytes > budget) {
            params.irreversible = 1;
            params.tcp_rates[0] = static_cast<float>(colourBytes / budget);
        }
    }

    std::unique_ptr<opj_image_t, ImageFree> image = makeImage(raster, gray, alpha);
    std::string message;
    std::unique_ptr<opj_codec_t, CodecFree> codec(opj_create_compress(OPJ_CODEC_JP2));
    if (!codec) {
        failed("not enough memory");
    }
    opj_set_error_handler(codec.get(), onOpjError, &message);
    opj_set_warning_handler(codec.get(), onOpjQuiet, nullptr);
    opj_set_info_handler(codec.get(), onOpjQuiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &params, image.get())) {
        failed(message);
    }
    if (options.extraThreads > 0 &&
        !opj_codec_set_threads(codec.get(), static_cast<int>(options.extraThreads) + 1)) {
        failed("the encoder's threads cannot start");
    }

    MemoryStream memory;
    std::unique_ptr<opj_stream_t, StreamFree> stream(
        opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
    if (!stream) {
        failed("not enough memory");
    }
    opj_stream_set_write_function(stream.get(), onOpjWrite);
    opj_stream_set_skip_function(stream.get(), onOpjSkip);
    opj_stream_set_seek_function(stream.get(), onOpjSeek);
    opj_stream_set_user_data(stream.get(), &memory, nullptr);

    const bool ok = opj_start_compress(codec.get(), image.get(), stream.get()) &&
                    opj_encode(codec.get(), stream.get()) &&
                    opj_end_compress(codec.get(), stream.get());
    if (memory.failure) {
        std::rethrow_exception(memory.failure);
    }
    if (!ok) {
        failed(message);
    }
    out.write(memory.bytes.data(), memory.bytes.size());
}

}  // namespace imbrix::imaging
