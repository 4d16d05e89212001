// Imbrix imaging layer: a picture's extent, read from its header alone.
//
// Where a format lets the size of the data bound the picture it can hold, a
// header claiming more is refused here, before any decoder sees it. Each bound
// is the loosest the format allows, so that an honest file (even one cut short
// by a broken download) always passes:
//  - JPEG (Huffman coded): every block codes its DC value with a Huffman code
//    of at least one bit, and no run covers DC values, so the bits of the file
//    are at least the blocks of its smallest component. Arithmetic coding can
//    spend far less than a bit per block: no bound there.
//  - PNG: deflate expands at most 1032 times; the rows with their filter bytes
//    must come out of the file's bytes.
//  - GIF: an LZW code of w bits stands for at most 2^w pixels (the table has
//    no longer entry), so a bit covers at most 4096 / 12 pixels. giflib fails
//    on a frame whose codes end early, so frames are checked when complete.
//  - BMP without compression: our reader refuses a file without its rows.
//  - TGA: a run-length packet of two bytes covers at most 128 pixels.
// Nothing bounds the other formats (their codecs can describe a large flat
// picture in a few bytes): the memory budget is what stands between them and
// the machine.
#include "imaging/probe.h"

#include <jxl/decode.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "imaging/error.h"
#include "imaging/formats/tiffmemory.h"

namespace imbrix::imaging {

namespace {

// Bounds-checked reads: past the end, a reader gives nothing.
class Reader {
public:
    explicit Reader(Bytes data) : data_(data) {}

    std::size_t size() const { return data_.size(); }
    bool has(std::size_t offset, std::size_t count) const {
        return offset <= data_.size() && count <= data_.size() - offset;
    }
    std::uint8_t u8(std::size_t at) const { return data_[at]; }
    std::uint16_t be16(std::size_t at) const {
        return static_cast<std::uint16_t>(data_[at] << 8 | data_[at + 1]);
    }
    std::uint32_t be32(std::size_t at) const {
        return std::uint32_t{data_[at]} << 24 | std::uint32_t{data_[at + 1]} << 16 |
               std::uint32_t{data_[at + 2]} << 8 | data_[at + 3];
    }
    std::uint64_t be64(std::size_t at) const {
        return std::uint64_t{be32(at)} << 32 | be32(at + 4);
    }
    std::uint16_t le16(std::size_t at) const {
        return static_cast<std::uint16_t>(data_[at] | data_[at + 1] << 8);
    }
    std::uint32_t le32(std::size_t at) const {
        return data_[at] | std::uint32_t{data_[at + 1]} << 8 | std::uint32_t{data_[at + 2]} << 16 |
               std::uint32_t{data_[at + 3]} << 24;
    }
    bool startsWith(std::string_view magic, std::size_t at = 0) const {
        return has(at, magic.size()) &&
               std::memcmp(data_.data() + at, magic.data(), magic.size()) == 0;
    }
    Bytes span(std::size_t offset, std::size_t count) const { return data_.subspan(offset, count); }

private:
    Bytes data_;
};

using Extent = std::optional<PictureExtent>;

Extent extent(std::uint64_t width, std::uint64_t height, std::uint64_t frames = 1) {
    if (width == 0 || height == 0 || width > std::numeric_limits<std::uint32_t>::max() ||
        height > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return PictureExtent{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         std::max<std::uint64_t>(frames, 1)};
}

[[noreturn]] void refuse(const char* format, std::uint64_t width, std::uint64_t height,
                         std::size_t bytes) {
    throw Error(std::string(format) + " error: the header claims " + std::to_string(width) + " x " +
                std::to_string(height) + " pixels, more than a file of " + std::to_string(bytes) +
                " bytes can hold");
}

// Saturating a * b, for bounds whose factors come from a hostile header.
std::uint64_t times(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return a * b;
}

// --- PNG ---------------------------------------------------------------------

constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};

Extent probePng(const Reader& r) {
    if (!r.has(8, 25) || !r.startsWith("IHDR", 12)) {
        return std::nullopt;
    }
    const std::uint32_t width = r.be32(16);
    const std::uint32_t height = r.be32(20);
    const unsigned depth = r.u8(24);
    unsigned channels = 0;
    switch (r.u8(25)) {
        case 0:
            channels = 1;
            break;
        case 2:
            channels = 3;
            break;
        case 3:
            channels = 1;
            break;
        case 4:
            channels = 2;
            break;
        case 6:
            channels = 4;
            break;
        default:
            return std::nullopt;
    }
    if (depth == 0 || depth > 16) {
        return std::nullopt;
    }
    // The rows of a picture without interlacing: the fewest bytes its stream inflates to.
    const std::uint64_t rowBytes = 1 + (times(width, channels * depth) + 7) / 8;
    constexpr std::uint64_t kDeflateRatio = 1032;
    constexpr std::uint64_t kSlack = 1 << 16;
    if (times(rowBytes, height) > times(r.size(), kDeflateRatio) + kSlack) {
        refuse("PNG", width, height, r.size());
    }
    return extent(width, height);
}

// --- JPEG --------------------------------------------------------------------

Extent probeJpeg(const Reader& r) {
    std::size_t at = 2;
    for (;;) {
        // Markers may be preceded by any number of fill bytes.
        while (r.has(at, 1) && r.u8(at) == 0xFF && r.has(at + 1, 1) && r.u8(at + 1) == 0xFF) {
            ++at;
        }
        if (!r.has(at, 4) || r.u8(at) != 0xFF) {
            return std::nullopt;
        }
        const unsigned marker = r.u8(at + 1);
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;  // no length
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) {
            return std::nullopt;  // no frame header before the image data
        }
        const std::size_t length = r.be16(at + 2);
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (!frame) {
            at += 2 + length;
            continue;
        }
        if (length < 8 || !r.has(at + 4, length - 2)) {
            return std::nullopt;
        }
        const std::uint32_t height = r.be16(at + 5);
        const std::uint32_t width = r.be16(at + 7);
        const unsigned components = r.u8(at + 9);
        if (height == 0 || width == 0 || components == 0 || length < 8 + 3 * components) {
            return std::nullopt;  // a height set later (DNL) or a broken header
        }
        const bool arithmetic = marker >= 0xC9;
        if (!arithmetic) {
            unsigned hMax = 1, vMax = 1;
            for (unsigned c = 0; c < components; ++c) {
                const unsigned sampling = r.u8(at + 11 + 3 * c);
                hMax = std::max(hMax, sampling >> 4);
                vMax = std::max(vMax, sampling & 15u);
            }
            std::uint64_t fewestBlocks = std::numeric_limits<std::uint64_t>::max();
            for (unsigned c = 0; c < components; ++c) {
                const unsigned sampling = r.u8(at + 11 + 3 * c);
                const std::uint64_t h = sampling >> 4, v = sampling & 15u;
                if (h == 0 || v == 0) {
                    return std::nullopt;
                }
                const std::uint64_t w = (width * h + hMax - 1) / hMax;
                const std::uint64_t ht = (height * v + vMax - 1) / vMax;
                fewestBlocks = std::min(fewestBlocks, ((w + 7) / 8) * ((ht + 7) / 8));
            }
            if (fewestBlocks > times(r.size(), 8)) {
                refuse("JPEG", width, height, r.size());
            }
        }
        return extent(width, height);
    }
}

// --- GIF ---------------------------------------------------------------------

// The bytes of a chain of sub-blocks starting at `at`; `at` ends after the
// terminator. False when the data ends first.
bool skipSubBlocks(const Reader& r, std::size_t& at, std::uint64_t* total = nullptr) {
    for (;;) {
        if (!r.has(at, 1)) {
            return false;
        }
        const std::size_t length = r.u8(at++);
        if (length == 0) {
            return true;
        }
        if (!r.has(at, length)) {
            return false;
        }
        at += length;
        if (total) {
            *total += length;
        }
    }
}

Extent probeGif(const Reader& r) {
    if (!r.has(0, 13)) {
        return std::nullopt;
    }
    std::uint64_t width = r.le16(6);
    std::uint64_t height = r.le16(8);
    const unsigned flags = r.u8(10);
    std::size_t at = 13;
    if (flags & 0x80) {
        at += 3 * (std::size_t{2} << (flags & 7));
    }
    std::uint64_t frames = 0;
    std::uint64_t right = 0, bottom = 0;
    while (r.has(at, 1)) {
        const unsigned block = r.u8(at++);
        if (block == 0x3B) {
            break;
        }
        if (block == 0x21) {
            ++at;  // the label
            if (!skipSubBlocks(r, at)) {
                break;
            }
            continue;
        }
        if (block != 0x2C || !r.has(at, 10)) {
            break;  // the decoders tell what is wrong
        }
        const std::uint64_t left = r.le16(at), top = r.le16(at + 2);
        const std::uint64_t frameWidth = r.le16(at + 4), frameHeight = r.le16(at + 6);
        const unsigned frameFlags = r.u8(at + 8);
        at += 9;
        if (frameFlags & 0x80) {
            at += 3 * (std::size_t{2} << (frameFlags & 7));
        }
        ++at;  // the LZW minimum code size
        ++frames;
        right = std::max(right, left + frameWidth);
        bottom = std::max(bottom, top + frameHeight);
        std::uint64_t codeBytes = 0;
        if (!skipSubBlocks(r, at, &codeBytes)) {
            break;  // cut short: the frames so far count
        }
        constexpr std::uint64_t kPixelsPerBit = 4096 / 12 + 1;
        if (frameWidth * frameHeight > codeBytes * 8 * kPixelsPerBit + 4096) {
            refuse("GIF", frameWidth, frameHeight, r.size());
        }
    }
    // A screen of zero size takes the frames' extent, as the decoder does.
    if (width == 0 || height == 0) {
        width = right;
        height = bottom;
    }
    return extent(width, height, frames);
}

// --- BMP and ICO -------------------------------------------------------------

Extent probeBmp(const Reader& r) {
    if (!r.has(14, 16)) {
        return std::nullopt;
    }
    const std::uint32_t headerSize = r.le32(14);
    if (headerSize == 12) {
        return extent(r.le16(18), r.le16(20));
    }
    if (headerSize < 40 || !r.has(14, 20)) {
        return std::nullopt;
    }
    const auto width = static_cast<std::int32_t>(r.le32(18));
    const auto height = static_cast<std::int32_t>(r.le32(22));
    if (width <= 0 || height == 0 || height == std::numeric_limits<std::int32_t>::min()) {
        return std::nullopt;
    }
    const std::uint64_t w = static_cast<std::uint32_t>(width);
    const std::uint64_t h = static_cast<std::uint32_t>(height < 0 ? -height : height);
    const unsigned bitsPerPixel = r.le16(28);
    const std::uint32_t compression = r.le32(30);
    // Rows stored as they are (BI_RGB, BI_BITFIELDS): the file holds every bit.
    if ((compression == 0 || compression == 3) && bitsPerPixel > 0 &&
        times(times(w, h), bitsPerPixel) / 8 > r.size()) {
        refuse("BMP", w, h, r.size());
    }
    return extent(w, h);
}

Extent probeIco(const Reader& r) {
    if (!r.has(0, 6)) {
        return std::nullopt;
    }
    const unsigned count = r.le16(4);
    Extent largest;
    for (unsigned i = 0; i < count && r.has(6 + 16 * std::size_t{i}, 16); ++i) {
        const std::size_t entry = 6 + 16 * std::size_t{i};
        std::uint64_t width = r.u8(entry) ? r.u8(entry) : 256;
        std::uint64_t height = r.u8(entry + 1) ? r.u8(entry + 1) : 256;
        const std::uint32_t size = r.le32(entry + 8);
        const std::uint32_t offset = r.le32(entry + 12);
        if (r.has(offset, 8) && r.startsWith(kPngSignature, offset)) {
            const std::size_t available = std::min<std::size_t>(size, r.size() - offset);
            const Extent png = probePng(Reader(r.span(offset, available)));
            if (png) {
                width = png->width;
                height = png->height;
            }
        } else if (r.has(offset, 12) && r.le32(offset) >= 12) {
            // The bitmap's own header (its height counts the mask's rows too).
            const std::uint64_t dibWidth =
                r.le32(offset) == 12 ? r.le16(offset + 4) : r.le32(offset + 4) & 0x7FFFFFFF;
            const std::uint64_t dibHeight =
                (r.le32(offset) == 12 ? r.le16(offset + 6) : r.le32(offset + 8) & 0x7FFFFFFF) / 2;
            width = std::max(width, dibWidth);
            height = std::max(height, dibHeight);
        }
        const Extent candidate = extent(width, height);
        if (candidate && (!largest || candidate->pixels() > largest->pixels())) {
            largest = candidate;
        }
    }
    return largest;
}

// --- TIFF (libtiff, from memory) ---------------------------------------------

int tiffQuiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;  // handled: nothing reaches libtiff's global handlers
}

Extent probeTiff(Bytes data) {
    formats::TiffMemory source{data};
    const std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(
        TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    if (!options) {
        return std::nullopt;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), tiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), tiffQuiet, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), 64 << 20);
    // The header and the first directory only: nothing of the image data is read.
    const std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(
        formats::openTiffInMemory("probe", source, options.get()), TIFFClose);
    if (!tif) {
        return std::nullopt;
    }
    std::uint32_t width = 0, height = 0;
    if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height)) {
        return std::nullopt;
    }
    return extent(width, height);
}

// --- WEBP (libwebp's demuxer) ------------------------------------------------

Extent probeWebp(Bytes data) {
    const WebPData bytes{data.data(), data.size()};
    const std::unique_ptr<WebPDemuxer, decltype(&WebPDemuxDelete)> demux(WebPDemux(&bytes),
                                                                         WebPDemuxDelete);
    if (demux) {
        return extent(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH),
                      WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT),
                      WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT));
    }
    int width = 0, height = 0;
    if (WebPGetInfo(data.data(), data.size(), &width, &height)) {
        return extent(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    }
    return std::nullopt;
}

// --- JPEG XR -----------------------------------------------------------------

Extent probeJpegXr(const Reader& r) {
    if (!r.has(0, 8)) {
        return std::nullopt;
    }
    const std::uint32_t directory = r.le32(4);
    if (!r.has(directory, 2)) {
        return std::nullopt;
    }
    const unsigned count = r.le16(directory);
    std::uint64_t width = 0, height = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t entry = directory + 2 + 12 * std::size_t{i};
        if (!r.has(entry, 12)) {
            break;
        }
        const unsigned tag = r.le16(entry);
        const unsigned type = r.le16(entry + 2);
        const std::uint64_t value = type == 3 ? r.le16(entry + 8) : r.le32(entry + 8);
        if (tag == 0xBC80) {
            width = value;
        } else if (tag == 0xBC81) {
            height = value;
        }
    }
    return extent(width, height);
}

// --- JPEG XL (libjxl's basic information, and its frame headers) -------------

Extent probeJpegXl(Bytes data) {
    const std::unique_ptr<JxlDecoder, decltype(&JxlDecoderDestroy)> decoder(
        JxlDecoderCreate(nullptr), JxlDecoderDestroy);
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FRAME) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), data.data(), data.size()) != JXL_DEC_SUCCESS) {
        return std::nullopt;
    }
    JxlDecoderCloseInput(decoder.get());
    JxlBasicInfo info{};
    bool haveInfo = false;
    std::uint64_t frames = 0;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) {
                return std::nullopt;
            }
            haveInfo = true;
            if (!info.have_animation) {
                break;
            }
        } else if (status == JXL_DEC_FRAME) {
            ++frames;
        } else {
            break;  // the end, or data the decoder will report on
        }
    }
    if (!haveInfo) {
        return std::nullopt;
    }
    return extent(info.xsize, info.ysize, frames);
}

// --- ISO boxes: HEIC, AVIF and JPEG 2000 -------------------------------------

struct Box {
    std::size_t body = 0;  ///< where its contents start
    std::size_t end = 0;   ///< where it ends
};

// The box at `at` within [.., limit), or nothing when it does not fit.
std::optional<Box> boxAt(const Reader& r, std::size_t at, std::size_t limit) {
    if (at > limit || limit - at < 8 || !r.has(at, 8)) {
        return std::nullopt;
    }
    std::uint64_t size = r.be32(at);
    std::size_t header = 8;
    if (size == 1) {
        if (limit - at < 16 || !r.has(at, 16)) {
            return std::nullopt;
        }
        size = r.be64(at + 8);
        header = 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < header || size > limit - at) {
        return std::nullopt;
    }
    Box box;
    box.body = at + header;
    box.end = at + static_cast<std::size_t>(size);
    return box;
}

// The first box of `type` among the boxes in [from, limit).
std::optional<Box> findBox(const Reader& r, std::size_t from, std::size_t limit,
                           std::string_view type) {
    std::size_t at = from;
    while (const std::optional<Box> box = boxAt(r, at, limit)) {
        if (r.startsWith(type, at + 4)) {
            return box;
        }
        at = box->end;
    }
    return std::nullopt;
}

Extent probeHeif(const Reader& r) {
    // meta (a full box) > iprp > ipco > every ispe: the largest is the picture's
    // (a grid's own extent is larger than its tiles').
    const std::optional<Box> meta = findBox(r, 0, r.size(), "meta");
    if (!meta) {
        return std::nullopt;
    }
    const std::optional<Box> iprp = findBox(r, meta->body + 4, meta->end, "iprp");
    const std::optional<Box> ipco = iprp ? findBox(r, iprp->body, iprp->end, "ipco") : std::nullopt;
    if (!ipco) {
        return std::nullopt;
    }
    Extent largest;
    std::size_t at = ipco->body;
    while (const std::optional<Box> box = boxAt(r, at, ipco->end)) {
        if (r.startsWith("ispe", at + 4) && box->end - box->body >= 12) {
            const Extent candidate = extent(r.be32(box->body + 4), r.be32(box->body + 8));
            if (candidate && (!largest || candidate->pixels() > largest->pixels())) {
                largest = candidate;
            }
        }
        at = box->end;
    }
    return largest;
}

Extent probeJp2Codestream(const Reader& r, std::size_t at) {
    // SOC, then SIZ: Lsiz Rsiz Xsiz Ysiz XOsiz YOsiz.
    if (!r.has(at, 24) || r.be16(at) != 0xFF4F || r.be16(at + 2) != 0xFF51) {
        return std::nullopt;
    }
    const std::uint32_t xsiz = r.be32(at + 8), ysiz = r.be32(at + 12);
    const std::uint32_t xosiz = r.be32(at + 16), yosiz = r.be32(at + 20);
    if (xosiz >= xsiz || yosiz >= ysiz) {
        return std::nullopt;
    }
    return extent(xsiz - xosiz, ysiz - yosiz);
}

Extent probeJp2(const Reader& r) {
    const std::optional<Box> header = findBox(r, 0, r.size(), "jp2h");
    if (header) {
        const std::optional<Box> ihdr = findBox(r, header->body, header->end, "ihdr");
        if (ihdr && ihdr->end - ihdr->body >= 8) {
            return extent(r.be32(ihdr->body + 4), r.be32(ihdr->body));
        }
    }
    const std::optional<Box> codestream = findBox(r, 0, r.size(), "jp2c");
    return codestream ? probeJp2Codestream(r, codestream->body) : std::nullopt;
}

bool isHeifBrand(const Reader& r, std::size_t at) {
    static constexpr std::array<std::string_view, 10> kBrands{
        "heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif", "avis"};
    return std::any_of(kBrands.begin(), kBrands.end(),
                       [&](std::string_view brand) { return r.startsWith(brand, at); });
}

bool isHeif(const Reader& r) {
    const std::optional<Box> ftyp = boxAt(r, 0, r.size());
    if (!ftyp || !r.startsWith("ftyp", 4) || ftyp->end - ftyp->body < 8) {
        return false;
    }
    if (isHeifBrand(r, ftyp->body)) {
        return true;
    }
    for (std::size_t at = ftyp->body + 8; at + 4 <= ftyp->end; at += 4) {
        if (isHeifBrand(r, at)) {
            return true;
        }
    }
    return false;
}

// --- PSD and TGA -------------------------------------------------------------

Extent probePsd(const Reader& r) {
    if (!r.has(0, 26) || (r.be16(4) != 1 && r.be16(4) != 2)) {
        return std::nullopt;
    }
    return extent(r.be32(18), r.be32(14));
}

// TGA has no signature: a header is taken for one only when every field is one
// a TGA file can hold.
Extent probeTga(const Reader& r) {
    if (!r.has(0, 18)) {
        return std::nullopt;
    }
    const unsigned mapType = r.u8(1), imageType = r.u8(2), mapDepth = r.u8(7);
    const unsigned depth = r.u8(16), descriptor = r.u8(17);
    const bool mapped = imageType == 1 || imageType == 9;
    const bool known =
        mapped || imageType == 2 || imageType == 3 || imageType == 10 || imageType == 11;
    const auto depthIs = [](unsigned d, std::initializer_list<unsigned> allowed) {
        return std::find(allowed.begin(), allowed.end(), d) != allowed.end();
    };
    if (mapType > 1 || !known || (mapped && mapType != 1) || (descriptor & 0xC0) != 0 ||
        !depthIs(depth, {8, 15, 16, 24, 32}) ||
        (mapType == 1 && !depthIs(mapDepth, {15, 16, 24, 32}))) {
        return std::nullopt;
    }
    const std::uint64_t width = r.le16(12), height = r.le16(14);
    if (width * height > std::uint64_t{r.size()} * 64 + 64) {
        refuse("TGA", width, height, r.size());
    }
    return extent(width, height);
}

}  // namespace

std::uint64_t PictureExtent::pixels() const {
    return times(times(width, height), frames);
}

std::optional<PictureExtent> probePicture(Bytes data) {
    const Reader r(data);
    if (r.startsWith(kPngSignature)) {
        return probePng(r);
    }
    if (r.startsWith("\xFF\xD8\xFF")) {
        return probeJpeg(r);
    }
    if (r.startsWith("GIF87a") || r.startsWith("GIF89a")) {
        return probeGif(r);
    }
    if (r.startsWith("BM")) {
        return probeBmp(r);
    }
    if (r.startsWith(std::string_view("\0\0\1\0", 4))) {
        return probeIco(r);
    }
    if (r.startsWith("II*\0") || r.startsWith(std::string_view("MM\0*", 4)) ||
        r.startsWith("II+\0") || r.startsWith(std::string_view("MM\0+", 4))) {
        return probeTiff(data);
    }
    if (r.startsWith("RIFF") && r.startsWith("WEBP", 8)) {
        return probeWebp(data);
    }
    if (r.startsWith("II\xBC")) {
        return probeJpegXr(r);
    }
    if (r.startsWith("8BPS")) {
        return probePsd(r);
    }
    if (r.startsWith("\xFF\x0A") ||
        r.startsWith(std::string_view("\0\0\0\x0CJXL \x0D\x0A\x87\x0A", 12))) {
        return probeJpegXl(data);
    }
    if (r.startsWith(std::string_view("\0\0\0\x0CjP  \x0D\x0A\x87\x0A", 12))) {
        return probeJp2(r);
    }
    if (r.startsWith("\xFF\x4F\xFF\x51")) {
        return probeJp2Codestream(r, 0);
    }
    if (isHeif(r)) {
        return probeHeif(r);
    }
    return probeTga(r);
}

}  // namespace imbrix::imaging
