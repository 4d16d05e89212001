// AVIF encoder: libheif with its AV1 encoder (libaom), quality as heif-enc's
// -q takes it, the profile, EXIF and XMP in the file's boxes.
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <exception>
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

// libaom's speed 8 tuned for PSNR, one thread, against heif-enc's default
// (speed 6 tuned for SSIM, 4 threads; 4 camera photos, quality 80, two at a
// time on two cores; bench/README.md): half heif-enc's time, 0.7% fewer bytes
// at 0.1 dB less PSNR. Tuning for SSIM is twice as slow for 0.25 dB less PSNR;
// speed 7 takes 1.5x as long for 0.4 dB more, speed 9 is twice as fast but
// writes 7% more bytes for 0.5 dB less; a second thread per file does not
// pay with a file per core.
constexpr int kSpeed = 8;
constexpr const char* kTune = "psnr";
// The largest side AV1 codes in one picture.
constexpr std::uint32_t kMaxSide = 65536;

struct ContextDeleter {
    void operator()(heif_context* ctx) const { heif_context_free(ctx); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct OptionsDeleter {
    void operator()(heif_encoding_options* options) const { heif_encoding_options_free(options); }
};
struct NclxDeleter {
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};

void check(const heif_error& error, const char* doing) {
    if (error.code == heif_error_Ok) {
        return;
    }
    std::string message = std::string("Cannot write AVIF: ") + doing;
    if (error.code == heif_error_Memory_allocation_error) {
        message += ": not enough memory";
    } else if (error.message && *error.message) {
        message += std::string(": ") + error.message;
    }
    throw Error(message);
}

struct WriteContext {
    Sink* sink = nullptr;
    std::exception_ptr sinkError;  // what the sink threw, rethrown after libheif returned
};

extern "C" heif_error onHeifWrite(heif_context*, const void* data, size_t size, void* userdata) {
    auto* ctx = static_cast<WriteContext*>(userdata);
    try {
        ctx->sink->write(data, size);
        return {heif_error_Ok, heif_suberror_Unspecified, ""};
    } catch (...) {
        ctx->sinkError = std::current_exception();
        return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data,
                "the output could not be written"};
    }
}

// The raster as libheif takes it: interleaved RGB, or RGBA with straight alpha.
std::unique_ptr<heif_image, ImageDeleter> makeImage(const Raster& raster, bool alpha) {
    const int width = static_cast<int>(raster.width());
    const int height = static_cast<int>(raster.height());
    heif_image* created = nullptr;
    check(heif_image_create(width, height, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                            &created),
          "the picture cannot be prepared");
    std::unique_ptr<heif_image, ImageDeleter> image(created);
    check(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8),
          "the picture cannot be prepared");
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (!plane) {
        throw Error("Cannot write AVIF: the picture cannot be prepared: not enough memory");
    }
    std::vector<std::uint8_t> straight(std::size_t{raster.width()} * 4);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        if (alpha && raster.premultiplied) {
            formats::unpremultiplyRow(p, straight.data(), raster.width());
            p = straight.data();
        }
        std::uint8_t* dst = plane + static_cast<std::ptrdiff_t>(y) * stride;
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            *dst++ = p[kRed];
            *dst++ = p[kGreen];
            *dst++ = p[kBlue];
            if (alpha) {
                *dst++ = p[kAlpha];
            }
        }
    }
    return image;
}

// sRGB as heif-enc writes it when the picture has no profile: BT.709 primaries,
// the sRGB curve, BT.601 matrix, full range. The matrix also codes the colours
// of a picture that has a profile.
std::unique_ptr<heif_color_profile_nclx, NclxDeleter> srgbNclx() {
    std::unique_ptr<heif_color_profile_nclx, NclxDeleter> nclx(heif_nclx_color_profile_alloc());
    if (!nclx) {
        throw Error("Cannot write AVIF: not enough memory");
    }
    nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;
    nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
    nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
    nclx->full_range_flag = 1;
    return nclx;
}

}  // namespace

namespace formats {

void encodeAvif(const Picture& source, const EncodeOptions& options, const AvifTuning& tuning,
                Sink& out) {
    const Raster& raster = source.pixels;
    if (raster.width() == 0 || raster.height() == 0) {
        throw Error("Cannot write AVIF: the picture has no pixels");
    }
    if (raster.width() > kMaxSide || raster.height() > kMaxSide) {
        throw Error("Cannot write AVIF: the picture is too large for AVIF (" +
                    std::to_string(raster.width()) + " x " + std::to_string(raster.height()) +
                    " pixels, at most 65536 x 65536)");
    }
    const int quality = std::clamp(options.quality, 1, 100);
    const OutputMetadata meta = prepareMetadata(source.meta, raster.width(), raster.height());
    const bool alpha = !isOpaque(raster);

    std::unique_ptr<heif_context, ContextDeleter> ctx(heif_context_alloc());
    if (!ctx) {
        throw Error("Cannot write AVIF: not enough memory");
    }
    // libaom: the encoder whose settings below were measured (libheif may
    // also have rav1e or SVT-AV1, which take other parameters).
    const heif_encoder_descriptor* aom = nullptr;
    if (heif_get_encoder_descriptors(heif_compression_AV1, "aom", &aom, 1) < 1 || !aom) {
        throw Error("Cannot write AVIF: libheif has no libaom AV1 encoder");
    }
    heif_encoder* found = nullptr;
    check(heif_context_get_encoder(ctx.get(), aom, &found), "the AV1 encoder cannot be started");
    std::unique_ptr<heif_encoder, EncoderDeleter> encoder(found);
    // heif-enc -q N: lossy at N (100 too: it is not lossless), 4:2:0 chroma.
    check(heif_encoder_set_lossy_quality(encoder.get(), quality), "the quality was refused");
    check(heif_encoder_set_lossless(encoder.get(), 0), "the quality was refused");
    check(heif_encoder_set_parameter_string(encoder.get(), "chroma", "420"),
          "the chroma subsampling was refused");
    check(heif_encoder_set_parameter_integer(encoder.get(), "speed",
                                             tuning.speed >= 0 ? tuning.speed : kSpeed),
          "the speed was refused");
    check(
        heif_encoder_set_parameter_string(encoder.get(), "tune", tuning.tune ? tuning.tune : kTune),
        "the tuning was refused");
    const int threads =
        tuning.threads > 0 ? tuning.threads : static_cast<int>(options.extraThreads) + 1;
    check(heif_encoder_set_parameter_integer(encoder.get(), "threads", std::min(threads, 16)),
          "the threads were refused");

    const auto nclx = srgbNclx();
    std::unique_ptr<heif_image_handle, HandleDeleter> handle;
    {
        const auto image = makeImage(raster, alpha);
        if (!meta.icc.empty()) {
            check(heif_image_set_raw_color_profile(image.get(), "prof", meta.icc.data(),
                                                   meta.icc.size()),
                  "the colour profile was refused");
        } else {
            check(heif_image_set_nclx_color_profile(image.get(), nclx.get()),
                  "the colour description was refused");
        }
        std::unique_ptr<heif_encoding_options, OptionsDeleter> encoding(
            heif_encoding_options_alloc());
        if (!encoding) {
            throw Error("Cannot write AVIF: not enough memory");
        }
        encoding->save_alpha_channel = alpha ? 1 : 0;
        encoding->output_nclx_profile = nclx.get();
        heif_image_handle* encoded = nullptr;
        check(heif_context_encode_image(ctx.get(), image.get(), encoder.get(), encoding.get(),
                                        &encoded),
              "encoding failed");
        handle.reset(encoded);
    }
    if (!meta.exif.empty()) {
        check(heif_context_add_exif_metadata(ctx.get(), handle.get(), meta.exif.data(),
                                             static_cast<int>(meta.exif.size())),
              "the EXIF was refused");
    }
    if (!meta.xmp.empty()) {
        check(heif_context_add_XMP_metadata(ctx.get(), handle.get(), meta.xmp.data(),
                                            static_cast<int>(meta.xmp.size())),
              "the XMP was refused");
    }

    WriteContext writeCtx;
    writeCtx.sink = &out;
    heif_writer writer{1, onHeifWrite};
    const heif_error written = heif_context_write(ctx.get(), &writer, &writeCtx);
    if (writeCtx.sinkError) {
        std::rethrow_exception(writeCtx.sinkError);
    }
    check(written, "the file could not be written");
}

}  // namespace formats

void encodeAvif(const Picture& picture, const EncodeOptions& options, Sink& out) {
    formats::encodeAvif(picture, options, formats::AvifTuning{}, out);
}

}  // namespace imbrix::imaging
