// libFuzzer entry for one decoder. IMBRIX_FUZZ_INPUT names what the bytes go to:
// a picture loader's extension ("png", "jpg", ...), "content" for decode by
// content, "jpegyuv" for the JPEG decoder into luma and chroma planes, "exif"
// for the EXIF orientation reader, "probe" for the header probe, or "metadata"
// for the metadata reader (exiv2) and the EXIF and XMP rewriting for output,
// or "resize" for decode by content with a resize hint (the JPEG and WEBP
// decoders' reduction on load) followed by the resize stage.
//
// A decoder may refuse any input, but only with imaging::Error; any other
// exception, a crash, a sanitizer report or a raster that breaks its own
// invariants is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/exif.h"
#include "imaging/metadata.h"
#include "imaging/probe.h"
#include "imaging/raster.h"
#include "imaging/resize.h"
#include "imaging/stages.h"

namespace {

using imbrix::imaging::Raster;

constexpr std::string_view kInput = IMBRIX_FUZZ_INPUT;

// Reads every byte of the picture, so a pixel left unallocated or a row outside
// the buffer shows up under AddressSanitizer here rather than in a later user.
void checkRaster(const Raster& picture) {
    if (picture.empty() || picture.width() == 0 || picture.height() == 0 ||
        std::uint64_t{picture.width()} * picture.height() > imbrix::imaging::kMaxPixels ||
        picture.stride() < std::size_t{picture.width()} * 4) {
        std::abort();
    }
    unsigned sum = 0;
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        const std::uint8_t* row = picture.row(y);
        for (std::size_t i = 0; i < std::size_t{picture.width()} * 4; ++i) {
            sum += row[i];
        }
    }
    // Keeps the reads from being optimised away.
    asm volatile("" : : "r"(sum));
}

}  // namespace

// A huge allocation asked for by a damaged header must fail the way it does in
// the program (a null pointer or std::bad_alloc), not abort the fuzzer. This
// matters most in the JPEG XR decoder's child process, where jxrlib sizes its
// buffers from the header before the picture size is known to be sane.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const imbrix::imaging::Bytes bytes(data, size);
    try {
        if (kInput == "exif") {
            const int orientation = imbrix::imaging::exif::orientation(bytes);
            if (orientation < 1 || orientation > 8) {
                std::abort();
            }
            Raster small(3, 2);
            const Raster turned =
                imbrix::imaging::exif::applyOrientation(std::move(small), orientation);
            const bool swapped = imbrix::imaging::exif::swapsSides(orientation);
            if (turned.width() != (swapped ? 2u : 3u)) {
                std::abort();
            }
        } else if (kInput == "jpegyuv") {
            // Refusing is fine (an empty answer); planes must match their size.
            if (const auto planes = imbrix::imaging::decodeJpegYuv420(bytes)) {
                const std::uint64_t luma = std::uint64_t{planes->width} * planes->height;
                const std::uint64_t chroma =
                    std::uint64_t{planes->chromaWidth()} * planes->chromaHeight();
                if (luma == 0 || luma > imbrix::imaging::kMaxPixels || planes->y.size() != luma ||
                    planes->u.size() != chroma || planes->v.size() != chroma) {
                    std::abort();
                }
                unsigned sum = 0;
                for (const std::uint8_t sample : planes->y)
                    sum += sample;
                for (const std::uint8_t sample : planes->u)
                    sum += sample;
                for (const std::uint8_t sample : planes->v)
                    sum += sample;
                asm volatile("" : : "r"(sum));
            }
        } else if (kInput == "probe") {
            // An extent the probe gives has pixels, at least one frame.
            if (const auto extent = imbrix::imaging::probePicture(bytes)) {
                if (extent->width == 0 || extent->height == 0 || extent->frames == 0 ||
                    extent->pixels() < std::uint64_t{extent->width} * extent->height) {
                    std::abort();
                }
            }
        } else if (kInput == "metadata") {
            // Never throws; whatever it read can be rewritten for output, and
            // the bytes themselves taken as an EXIF block and as XMP too.
            imbrix::imaging::Metadata meta;
            imbrix::imaging::metadata::read(bytes, meta);
            const auto exif = imbrix::imaging::metadata::exifForOutput(meta.exif, 640, 480);
            const auto xmp = imbrix::imaging::metadata::xmpForOutput(meta.xmp, 640, 480);
            const auto raw = imbrix::imaging::metadata::exifForOutput(bytes, 3, 2);
            const auto rawXmp = imbrix::imaging::metadata::xmpForOutput(bytes, 3, 2);
            asm volatile("" : : "r"(exif.size() + xmp.size() + raw.size() + rawXmp.size()));
        } else if (kInput == "resize") {
            // The resize comes from the data's length, so that the bytes stay a
            // whole file (and the corpus's files good seeds): a box, a long side
            // or a percentage, sometimes enlarging.
            imbrix::imaging::ResizeOptions options;
            options.enlarge = size % 7 == 0;
            switch (size % 3) {
                case 0:
                    options.mode = imbrix::imaging::ResizeMode::Fit;
                    options.width = static_cast<std::uint32_t>(size % 509 + 1);
                    options.height = static_cast<std::uint32_t>(size / 509 % 509 + 1);
                    break;
                case 1:
                    options.mode = imbrix::imaging::ResizeMode::LongSide;
                    options.longSide = static_cast<std::uint32_t>(size % 1021 + 1);
                    break;
                default:
                    options.mode = imbrix::imaging::ResizeMode::Percent;
                    options.percent = static_cast<std::uint32_t>(size % 150 + 1);
                    break;
            }
            imbrix::imaging::Picture picture =
                imbrix::imaging::decodePictureByContent(bytes, "fuzz", {options});
            const imbrix::imaging::PixelSize full =
                picture.meta.fullWidth != 0
                    ? imbrix::imaging::PixelSize{picture.meta.fullWidth, picture.meta.fullHeight}
                    : imbrix::imaging::PixelSize{picture.pixels.width(), picture.pixels.height()};
            imbrix::imaging::resizeStage(options)(picture, {});
            if (imbrix::imaging::PixelSize{picture.pixels.width(), picture.pixels.height()} !=
                imbrix::imaging::resizeTarget(options, full)) {
                std::abort();
            }
            checkRaster(picture.pixels);
        } else if (kInput == "content") {
            checkRaster(imbrix::imaging::decodeByContent(bytes, "fuzz"));
        } else {
            checkRaster(imbrix::imaging::decodeWithPictureLoader(kInput, bytes));
        }
    } catch (const imbrix::imaging::Error&) {
        // A clean refusal.
    }
    return 0;
}
