#include "tools/magick/direct.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <istream>
#include <streambuf>

#include "imaging/colour.h"
#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/exif.h"
#include "imaging/metadata.h"
#include "imaging/resize.h"
#include "imaging/stages.h"
#include "tools/magick/pdf.h"

namespace imbrix::magick {

namespace {

// Adding a format is one line here.
constexpr std::array kEncoders{
    DirectEncoder{OutputFormat::Bmp, imaging::encodeBmp, false, false, false},
    DirectEncoder{OutputFormat::Tga, imaging::encodeTga, false, false, false},
    DirectEncoder{OutputFormat::Psd, imaging::encodePsd, true, true, false},
    DirectEncoder{OutputFormat::Ico, imaging::encodeIco, false, false, true},
    DirectEncoder{OutputFormat::Jxl, imaging::encodeJxl, true, true, false},
    DirectEncoder{OutputFormat::Avif, imaging::encodeAvif, true, true, false},
    DirectEncoder{OutputFormat::Jp2, imaging::encodeJp2, false, false, false},
    DirectEncoder{OutputFormat::Gif, imaging::encodeGif, false, false, false},
    DirectEncoder{OutputFormat::Pdf, nullptr, false, false, false},
};

// An icon holds at most 256 x 256 pixels (as the helpers' route plans it).
constexpr imaging::ResizeOptions kIconFit{imaging::ResizeMode::Fit, 256, 256, 0, 0, false};

std::uint32_t le16(imaging::Bytes data, std::size_t at) {
    return data[at] | std::uint32_t{data[at + 1]} << 8;
}

// The bytes as a stream, without copying them.
class MemoryBuffer : public std::streambuf {
public:
    explicit MemoryBuffer(imaging::Bytes data) {
        // The stream only reads: the cast never leads to a write.
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data.data()));
        setg(begin, begin, begin + data.size());
    }
};

// True when the first frame of the GIF starts at the screen's corner and
// covers it: ImageMagick then reads the picture the decoder draws on the
// screen (otherwise the frame alone, at its own size).
bool gifFirstFrameFillsScreen(imaging::Bytes gif) {
    if (gif.size() < 13) {
        return false;
    }
    const std::uint32_t screenWidth = le16(gif, 6);
    const std::uint32_t screenHeight = le16(gif, 8);
    std::size_t at = 13;
    if (gif[10] & 0x80) {
        at += 3u << ((gif[10] & 7) + 1);  // the global colour table
    }
    while (at < gif.size()) {
        const std::uint8_t block = gif[at];
        if (block == 0x2C) {  // the first image descriptor
            if (at + 9 > gif.size()) {
                return false;
            }
            return le16(gif, at + 1) == 0 && le16(gif, at + 3) == 0 &&
                   le16(gif, at + 5) == screenWidth && le16(gif, at + 7) == screenHeight;
        }
        if (block != 0x21 || at + 2 > gif.size()) {
            return false;
        }
        at += 2;  // an extension: its label, then sub-blocks up to an empty one
        while (at < gif.size() && gif[at] != 0) {
            at += std::size_t{gif[at]} + 1;
        }
        ++at;
    }
    return false;
}

// The EXIF block of a JPEG (its first APP1 "Exif" segment); empty when the
// segments before the frame hold none.
imaging::Bytes jpegExif(imaging::Bytes jpeg) {
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const std::uint8_t marker = jpeg[at + 1];
        if (marker == 0xDA || (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                               marker != 0xC8 && marker != 0xCC)) {
            break;  // the frame or the scan: no metadata segments after it count
        }
        const std::size_t length = std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size()) {
            break;
        }
        const imaging::Bytes body = jpeg.subspan(at + 4, length - 2);
        if (marker == 0xE1 && body.size() > 6 && std::memcmp(body.data(), "Exif\0\0", 6) == 0) {
            return body.subspan(6);
        }
        at += 2 + length;
    }
    return {};
}

// The Orientation tag of an EXIF block read as ImageMagick reads it: any
// integer type, not only the SHORT that the format prescribes (and that the
// program's own decoder insists on). 1 when there is none.
int lenientOrientation(imaging::Bytes tiff) {
    if (tiff.size() < 8 ||
        !((tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M'))) {
        return 1;
    }
    const bool big = tiff[0] == 'M';
    const auto u16 = [&](std::size_t at) -> std::uint32_t {
        return big ? (std::uint32_t{tiff[at]} << 8 | tiff[at + 1])
                   : (std::uint32_t{tiff[at + 1]} << 8 | tiff[at]);
    };
    const auto u32 = [&](std::size_t at) -> std::uint32_t {
        return big ? (u16(at) << 16 | u16(at + 2)) : (u16(at + 2) << 16 | u16(at));
    };
    const std::size_t ifd = u32(4);
    if (ifd > tiff.size() || tiff.size() - ifd < 2) {
        return 1;
    }
    const std::size_t count = u16(ifd);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + i * 12;
        if (entry + 12 > tiff.size()) {
            return 1;
        }
        if (u16(entry) != 0x0112) {
            continue;
        }
        const std::uint32_t type = u16(entry + 2);
        // SHORT and SSHORT hold the value in their first two bytes, LONG and SLONG in four.
        const std::uint32_t value = type == 3 || type == 8   ? u16(entry + 8)
                                    : type == 4 || type == 9 ? u32(entry + 8)
                                                             : 1;
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

bool animatedWebp(imaging::Bytes webp) {
    // RIFF....WEBPVP8X, then the flags: bit 1 marks an animation.
    return webp.size() > 20 && webp[12] == 'V' && webp[13] == 'P' && webp[14] == '8' &&
           webp[15] == 'X' && (webp[20] & 0x02) != 0;
}

// ImageMagick 6's "-colorspace Gray" of sRGB pixels: Rec. 709 luma weights on
// the stored (gamma-encoded) values, truncated to 8 bits. Being linear, it gives
// the same on premultiplied values.
void magickGray(imaging::Raster& raster) {
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const double luma = 0.212656 * p[imaging::kRed] + 0.715158 * p[imaging::kGreen] +
                                0.072186 * p[imaging::kBlue];
            const auto v = static_cast<std::uint8_t>(std::min(255.0, luma + 1e-6));
            p[imaging::kRed] = p[imaging::kGreen] = p[imaging::kBlue] = v;
        }
    }
}

std::string sizeText(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// Resizes the picture to `target`, the size planned from its full size.
void resizeTo(imaging::Picture& picture, const Request& request, imaging::PixelSize full,
              imaging::PixelSize target) {
    const imaging::PixelSize drawn{picture.pixels.width(), picture.pixels.height()};
    if (target == full && drawn == full) {
        return;
    }
    if (picture.meta.fullWidth == 0) {
        // Drawn at its full size: the whole picture onto the whole target, as
        // ImageMagick's "-resize WxH!" of the helpers' route does.
        picture.pixels = imaging::resample(picture.pixels, target.width, target.height);
        return;
    }
    // Drawn smaller by the decoder: the resize stage knows where its pixels lie.
    // A fit into the target itself gives it, but for the rounding of the side
    // that does not constrain: then the request's resize and the icon's fit go
    // one after the other, as planned.
    const imaging::ResizeOptions exact{
        imaging::ResizeMode::Fit, target.width, target.height, 0, 0, true};
    if (imaging::resizeTarget(exact, full) == target) {
        imaging::resizeStage(exact)(picture, {});
        return;
    }
    imaging::resizeStage(request.resize)(picture, {});
    imaging::resizeStage(kIconFit)(picture, {});
}

}  // namespace

const DirectEncoder* directEncoder(OutputFormat format) {
    for (const DirectEncoder& encoder : kEncoders) {
        if (encoder.format == format) {
            return &encoder;
        }
    }
    return nullptr;
}

bool decodesInProcess(const Request& request, SourceKind kind, imaging::Bytes file) {
    switch (kind) {
        case SourceKind::Jpeg: {
            // The decoder applies the EXIF orientation as -auto-orient does, but
            // for a tag of another integer type than SHORT, which ImageMagick
            // applies and the decoder ignores.
            const imaging::Bytes exif = jpegExif(file);
            return imaging::exif::orientation(exif) == lenientOrientation(exif);
        }
        case SourceKind::Png:  // ImageMagick 6 applies no eXIf orientation, nor does the decoder
        case SourceKind::Bmp:
            return true;
        case SourceKind::Webp:
            // The decoder applies the EXIF orientation (ImageMagick 6 does not),
            // as the program's own outputs have it. Animations go to the helpers.
            return !animatedWebp(file);
        case SourceKind::Tiff:
            // The decoder leaves a picture stored on its side as it is stored.
            return imaging::exif::orientation(file) == 1;
        case SourceKind::Ico:
            // ImageMagick reads an icon's first picture, the decoder its largest.
            return file.size() >= 6 && le16(file, 4) == 1;
        case SourceKind::Gif: {
            if (!gifFirstFrameFillsScreen(file)) {
                return false;
            }
            if (request.format != OutputFormat::Gif) {
                return true;
            }
            MemoryBuffer buffer(file);
            std::istream in(&buffer);
            const auto frames = countGifFrames(in, 1);
            return frames && *frames == 1;
        }
        default:
            return false;
    }
}

std::optional<Density> pdfDensity(SourceKind kind, imaging::Bytes file) {
    const auto be16 = [&](std::size_t at) { return std::uint32_t{file[at]} << 8 | file[at + 1]; };
    const auto be32 = [&](std::size_t at) { return be16(at) << 16 | be16(at + 2); };
    if (kind == SourceKind::Jpeg) {
        // The JFIF segment, among those before the frame.
        std::size_t at = 2;
        while (at + 4 <= file.size() && file[at] == 0xFF) {
            const std::uint8_t marker = file[at + 1];
            if (marker == 0xDA || (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                                   marker != 0xC8 && marker != 0xCC)) {
                break;
            }
            const std::size_t length = be16(at + 2);
            if (length < 2 || at + 2 + length > file.size()) {
                break;
            }
            if (marker == 0xE0 && length >= 16 &&
                std::memcmp(file.data() + at + 4, "JFIF\0", 5) == 0) {
                const unsigned unit = file[at + 11];
                const double x = be16(at + 12);
                const double y = be16(at + 14);
                if (unit == 0 || x == 0 || y == 0) {
                    return Density{};
                }
                if (unit == 1) {
                    return Density{x, y};
                }
                if (unit == 2) {
                    return Density{x * 2.54, y * 2.54};
                }
                return std::nullopt;
            }
            at += 2 + length;
        }
        return Density{};
    }
    if (kind == SourceKind::Png) {
        // The chunks before the picture's data: pHYs is among them when it is there.
        std::size_t at = 8;
        while (at + 12 <= file.size()) {
            const std::uint32_t length = be32(at);
            if (length > file.size() - at - 12) {
                break;
            }
            const std::uint8_t* type = file.data() + at + 4;
            if (std::memcmp(type, "IDAT", 4) == 0) {
                break;
            }
            if (std::memcmp(type, "pHYs", 4) == 0 && length == 9) {
                const double x = be32(at + 8);
                const double y = be32(at + 12);
                if (file[at + 16] != 1 || x == 0 || y == 0) {
                    return std::nullopt;  // an aspect ratio only
                }
                return Density{x * 0.0254, y * 0.0254};
            }
            at += 12 + std::size_t{length};
        }
        return Density{};
    }
    return std::nullopt;
}

void writeInProcess(const Request& request, const DirectEncoder& encoder, SourceKind kind,
                    imaging::Bytes file, const PictureLimits& limits, int fd,
                    const std::string& title) {
    // The decoder may draw a picture smaller that the resize (or the icon's
    // fit) will shrink anyway.
    imaging::DecodeHint hint;
    hint.resize = request.resize.active() || !encoder.iconSize ? request.resize : kIconFit;
    imaging::Picture picture;
    try {
        picture = kind == SourceKind::Tiff
                      ? imaging::decodePicture("tif", file, hint)
                      : imaging::decodePictureByContent(file, request.input, hint);
    } catch (const imaging::Error& e) {
        throw DirectFailure(e.what(), true);
    }
    const imaging::PixelSize full =
        picture.meta.fullWidth != 0
            ? imaging::PixelSize{picture.meta.fullWidth, picture.meta.fullHeight}
            : imaging::PixelSize{picture.pixels.width(), picture.pixels.height()};
    if (full.width > limits.maxSide || full.height > limits.maxSide ||
        std::uint64_t{full.width} * full.height > limits.maxPixels) {
        throw DirectFailure("the picture is too large (" + sizeText(full.width, full.height) + ")",
                            true);
    }
    imaging::PixelSize target = imaging::resizeTarget(request.resize, full);
    if (encoder.iconSize) {
        target = imaging::resizeTarget(kIconFit, target);
    }
    if (target.width > limits.maxSide || target.height > limits.maxSide ||
        std::uint64_t{target.width} * target.height > limits.maxPixels) {
        throw DirectFailure("the resized picture would be too large (" +
                                sizeText(target.width, target.height) + ")",
                            false);
    }
    try {
        resizeTo(picture, request, full, target);
        if (!encoder.keepsProfile || request.grayscale) {
            imaging::colour::convertToSrgb(picture);
            picture.meta.icc.clear();
        }
        if (request.grayscale) {
            magickGray(picture.pixels);
        }
        picture.meta.stripDescriptive();
        if (encoder.keepsMetadata && !request.stripMetadata) {
            imaging::metadata::read(file, picture.meta);
        }
        imaging::EncodeOptions options;
        options.quality = request.quality;
        imaging::FileSink sink(fd, request.output);
        if (encoder.encode) {
            encoder.encode(picture, options, sink);
        } else {
            const Density density = pdfDensity(kind, file).value_or(Density{});
            writePicturePdf(picture, {title, request.quality, density.x, density.y}, sink);
        }
        sink.flush();
    } catch (const imaging::Error& e) {
        throw DirectFailure(e.what(), false);
    }
}

}  // namespace imbrix::magick
