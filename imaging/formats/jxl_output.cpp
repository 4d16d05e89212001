// JPEG XL encoder: libjxl, quality as cjxl's -q takes it, the profile and the
// EXIF and XMP in the file's boxes.
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputmeta.h"
#include "imaging/formats/outputs.h"
#include "imaging/formats/tuning.h"

namespace imbrix::imaging {

namespace {

constexpr int kLosslessQuality = 100;
// Effort 5 against cjxl's default 7 (4 camera photos of 2 to 4.5 megapixels,
// quality 80, two at a time on two cores; bench/README.md): 0.55-0.7x cjxl's
// time, 1% fewer bytes, PSNR within 0.2 dB on each photo. Effort 3 (the same as
// 4 in libjxl 0.7) writes 15% more bytes for 0.3 dB.
constexpr int kLossyEffort = 5;
// Lossless: effort 3 writes photos 10% larger than cjxl's effort 7 in a sixth of
// its time; effort 4 is 3% smaller than 3 but takes 2.4x as long.
constexpr int kLosslessEffort = 3;
// libjxl refuses distances beyond this.
constexpr float kMaxDistance = 25.0f;
constexpr std::size_t kOutputChunk = 1u << 16;

struct EncoderDeleter {
    void operator()(JxlEncoder* encoder) const { JxlEncoderDestroy(encoder); }
};
struct RunnerDeleter {
    void operator()(void* runner) const { JxlThreadParallelRunnerDestroy(runner); }
};

/// cjxl 0.7's mapping of -q to the Butteraugli distance.
float distanceFor(int quality) {
    const double q = quality;
    const double distance =
        q >= 30 ? 0.1 + (100 - q) * 0.09 : 6.4 + std::pow(2.5, (30 - q) / 5.0) / 6.25;
    return std::min(static_cast<float>(distance), kMaxDistance);
}

const char* describe(JxlEncoderError code) {
    switch (code) {
        case JXL_ENC_ERR_OOM:
            return "not enough memory";
        case JXL_ENC_ERR_BAD_INPUT:
            return "the picture or its colour profile was refused";
        case JXL_ENC_ERR_NOT_SUPPORTED:
            return "the picture is not supported by JPEG XL";
        default:
            return "the encoder failed";
    }
}

class Encoder {
public:
    Encoder() : encoder_(JxlEncoderCreate(nullptr)) {
        if (!encoder_) {
            throw Error("Cannot write JPEG XL: not enough memory");
        }
    }
    JxlEncoder* get() const { return encoder_.get(); }

    void check(JxlEncoderStatus status, const char* doing) const {
        if (status != JXL_ENC_SUCCESS) {
            throw Error(std::string("Cannot write JPEG XL: ") + doing + ": " +
                        describe(JxlEncoderGetError(encoder_.get())));
        }
    }

private:
    std::unique_ptr<JxlEncoder, EncoderDeleter> encoder_;
};

// The colour space an ICC profile declares in its header ("RGB ", "GRAY", ...).
std::string profileSpace(Bytes icc) {
    if (icc.size() < 20) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(icc.data()) + 16, 4);
}

// The raster as libjxl takes it: interleaved gray, gray and alpha, RGB or RGBA
// (straight alpha).
std::vector<std::uint8_t> interleave(const Raster& raster, std::uint32_t channels) {
    const std::uint32_t width = raster.width();
    std::vector<std::uint8_t> out(std::size_t{width} * raster.height() * channels);
    std::vector<std::uint8_t> straight(std::size_t{width} * 4);
    std::uint8_t* dst = out.data();
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        const bool alpha = channels == 2 || channels == 4;
        if (alpha && raster.premultiplied) {
            formats::unpremultiplyRow(p, straight.data(), width);
            p = straight.data();
        }
        for (std::uint32_t x = 0; x < width; ++x, p += 4) {
            if (channels <= 2) {
                *dst++ = p[kGreen];
                if (alpha) {
                    *dst++ = p[kAlpha];
                }
                continue;
            }
            *dst++ = p[kRed];
            *dst++ = p[kGreen];
            *dst++ = p[kBlue];
            if (alpha) {
                *dst++ = p[kAlpha];
            }
        }
    }
    return out;
}

void addBox(const Encoder& encoder, const char type[4], const std::vector<std::uint8_t>& data) {
    encoder.check(JxlEncoderAddBox(encoder.get(), type, data.data(), data.size(), JXL_FALSE),
                  "the metadata was refused");
}

void drain(const Encoder& encoder, Sink& out) {
    std::vector<std::uint8_t> chunk(kOutputChunk);
    for (;;) {
        std::uint8_t* next = chunk.data();
        std::size_t avail = chunk.size();
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder.get(), &next, &avail);
        if (status == JXL_ENC_ERROR) {
            encoder.check(status, "encoding failed");
        }
        out.write(chunk.data(), chunk.size() - avail);
        if (status == JXL_ENC_SUCCESS) {
            return;
        }
    }
}

}  // namespace

namespace formats {

void encodeJxl(const Picture& source, const EncodeOptions& options, const JxlTuning& tuning,
               Sink& out) {
    const Raster& raster = source.pixels;
    if (raster.width() == 0 || raster.height() == 0) {
        throw Error("Cannot write JPEG XL: the picture has no pixels");
    }
    const int quality = std::clamp(options.quality, 1, 100);
    const bool lossless = quality == kLosslessQuality;
    const OutputMetadata meta = prepareMetadata(source.meta, raster.width(), raster.height());
    const std::string space = profileSpace(meta.icc);
    const bool alpha = !isOpaque(raster);
    // A gray profile needs gray samples; an RGB one RGB samples, gray or not.
    const bool gray = space == "GRAY" || (meta.icc.empty() && formats::isGray(raster));
    const std::uint32_t colours = gray ? 1 : 3;
    const std::uint32_t channels = colours + (alpha ? 1 : 0);

    Encoder encoder;
    std::unique_ptr<void, RunnerDeleter> runner;
    if (options.extraThreads > 0) {
        runner.reset(JxlThreadParallelRunnerCreate(nullptr, options.extraThreads + 1));
        if (!runner) {
            throw Error("Cannot write JPEG XL: the encoder's threads cannot be started");
        }
        encoder.check(
            JxlEncoderSetParallelRunner(encoder.get(), JxlThreadParallelRunner, runner.get()),
            "the encoder's threads cannot be used");
    }

    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = raster.width();
    info.ysize = raster.height();
    info.bits_per_sample = 8;
    info.num_color_channels = colours;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? 8 : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    if (!meta.exif.empty() || !meta.xmp.empty()) {
        encoder.check(JxlEncoderUseBoxes(encoder.get()), "the metadata was refused");
    }
    encoder.check(JxlEncoderSetBasicInfo(encoder.get(), &info),
                  "the picture's size or layout was refused");
    if (JxlEncoderGetRequiredCodestreamLevel(encoder.get()) == 10) {
        encoder.check(JxlEncoderSetCodestreamLevel(encoder.get(), 10), "the picture is too large");
    }
    if (!meta.icc.empty()) {
        encoder.check(JxlEncoderSetICCProfile(encoder.get(), meta.icc.data(), meta.icc.size()),
                      "the colour profile was refused");
    } else {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, gray ? JXL_TRUE : JXL_FALSE);
        encoder.check(JxlEncoderSetColorEncoding(encoder.get(), &srgb),
                      "the colour encoding was refused");
    }
    if (!meta.exif.empty()) {
        // The box starts with the offset of the TIFF header within it.
        std::vector<std::uint8_t> exif(4, 0);
        exif.insert(exif.end(), meta.exif.begin(), meta.exif.end());
        addBox(encoder, "Exif", exif);
    }
    if (!meta.xmp.empty()) {
        addBox(encoder, "xml ", meta.xmp);
    }

    JxlEncoderFrameSettings* frame = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
    if (!frame) {
        throw Error("Cannot write JPEG XL: not enough memory");
    }
    const int effort =
        tuning.effort > 0 ? tuning.effort : (lossless ? kLosslessEffort : kLossyEffort);
    encoder.check(JxlEncoderFrameSettingsSetOption(frame, JXL_ENC_FRAME_SETTING_EFFORT, effort),
                  "the effort was refused");
    if (lossless) {
        encoder.check(JxlEncoderSetFrameLossless(frame, JXL_TRUE), "lossless was refused");
    } else {
        encoder.check(JxlEncoderSetFrameDistance(frame, distanceFor(quality)),
                      "the quality was refused");
    }

    const JxlPixelFormat format{channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    {
        const std::vector<std::uint8_t> pixels = interleave(raster, channels);
        encoder.check(JxlEncoderAddImageFrame(frame, &format, pixels.data(), pixels.size()),
                      "the picture was refused");
    }
    JxlEncoderCloseInput(encoder.get());
    drain(encoder, out);
}

}  // namespace formats

void encodeJxl(const Picture& picture, const EncodeOptions& options, Sink& out) {
    formats::encodeJxl(picture, options, formats::JxlTuning{}, out);
}

}  // namespace imbrix::imaging
