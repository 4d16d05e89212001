// PSD encoder: one flat RGB(A) picture, every channel's rows compressed with
// PackBits, as Photoshop, GIMP, ImageMagick and Pillow all read it.
//
// A picture with transparency also gets one layer holding it: Photoshop and
// GIMP take transparency from layers only (they show the flat picture's alpha
// as a channel of its own). The flat picture is then stored as Photoshop
// stores it, its colours blended with white, which ImageMagick undoes when it
// reads; readers without layers (Pillow) show it so. An opaque picture gets no
// layer.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputmeta.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

// The largest side of a PSD (the large document format, PSB, goes further).
constexpr std::uint32_t kMaxSide = 30000;
constexpr std::uint16_t kRle = 1;
constexpr std::uint16_t kRgbMode = 3;

// Photoshop's image resources.
constexpr std::uint16_t kIptcResource = 0x0404;
constexpr std::uint16_t kIccResource = 0x040F;
constexpr std::uint16_t kExifResource = 0x0422;
constexpr std::uint16_t kXmpResource = 0x0424;

class Writer {
public:
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u16(std::uint32_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        u8(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(v >> 16);
        u16(v & 0xFFFF);
    }
    void text(const char* s) {
        while (*s) {
            u8(static_cast<std::uint8_t>(*s++));
        }
    }
    void append(Bytes data) { bytes.insert(bytes.end(), data.begin(), data.end()); }
    // Patches a big-endian 32-bit value written earlier at `at`.
    void patch32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
        }
    }
    std::vector<std::uint8_t> bytes;
};

// PackBits (Apple's RLE, as PSD and TIFF use it): a byte n < 128 is followed by
// n + 1 bytes as they are, a byte 257 - n by one byte repeated n times (2..128).
// `out` needs room for n + (n + 127) / 128 bytes. Returns the bytes written.
std::size_t packBits(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 128 && in[i + run] == in[i]) {
            ++run;
        }
        if (run >= 2) {
            out[o++] = static_cast<std::uint8_t>(257 - run);
            out[o++] = in[i];
            i += run;
            continue;
        }
        // Bytes as they are, up to the next run of three (a run of two costs
        // as much either way and would only split the literal).
        const std::size_t start = i;
        while (i < n && i - start < 128 &&
               !(i + 2 < n && in[i] == in[i + 1] && in[i] == in[i + 2])) {
            ++i;
        }
        out[o++] = static_cast<std::uint8_t>(i - start - 1);
        std::copy(in + start, in + i, out + o);
        o += i - start;
    }
    return o;
}

// Channels of one picture, compressed: every row's byte count, then the rows.
struct PackedChannels {
    std::vector<std::uint16_t> counts;            // channel by channel, row by row
    std::vector<std::vector<std::uint8_t>> rows;  // each channel's rows
};

// Compresses the channels at `offsets` (kRed, kGreen, kBlue, kAlpha) of the
// raster, unpremultiplied, the colours blended with white by alpha when
// `overWhite`.
PackedChannels packChannels(const Raster& raster, const std::vector<int>& offsets, bool overWhite) {
    const std::uint32_t width = raster.width();
    const std::uint32_t height = raster.height();
    PackedChannels packed;
    packed.counts.assign(std::size_t{height} * offsets.size(), 0);
    packed.rows.resize(offsets.size());
    // Room for the worst case at once: growing would copy the data again and
    // again, and only the pages written are ever touched.
    const std::size_t worstRow = width + (width + 127) / 128;
    for (auto& rows : packed.rows) {
        rows.reserve(worstRow * height);
    }
    std::vector<std::uint8_t> straight(std::size_t{width} * 4);
    std::vector<std::uint8_t> plane(width);
    std::vector<std::uint8_t> scratch(worstRow);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* src = raster.row(y);
        if (raster.premultiplied && raster.hasAlpha) {
            formats::unpremultiplyRow(src, straight.data(), width);
            src = straight.data();
        }
        for (std::size_t c = 0; c < offsets.size(); ++c) {
            const int offset = offsets[c];
            const bool blend = overWhite && offset != kAlpha;
            const std::uint8_t* p = src + offset;
            for (std::uint32_t x = 0; x < width; ++x, p += 4) {
                unsigned v = *p;
                if (blend) {
                    const unsigned a = p[kAlpha - offset];
                    v = (v * a + 255 * (255 - a) + 127) / 255;
                }
                plane[x] = static_cast<std::uint8_t>(v);
            }
            const std::size_t n = packBits(plane.data(), width, scratch.data());
            packed.counts[c * height + y] = static_cast<std::uint16_t>(n);
            packed.rows[c].insert(packed.rows[c].end(), scratch.begin(), scratch.begin() + n);
        }
    }
    return packed;
}

// The size of one channel's data in a layer: compression, counts and rows.
std::uint32_t layerChannelSize(const PackedChannels& packed, std::size_t channel,
                               std::uint32_t height) {
    return static_cast<std::uint32_t>(2 + 2 * std::size_t{height} + packed.rows[channel].size());
}

void addResource(Writer& w, std::uint16_t id, Bytes data) {
    if (data.empty()) {
        return;
    }
    w.text("8BIM");
    w.u16(id);
    w.u16(0);  // an empty name, padded to an even size
    w.u32(static_cast<std::uint32_t>(data.size()));
    w.append(data);
    if (data.size() % 2 != 0) {
        w.u8(0);
    }
}

// The layer and mask section: one layer of the whole picture, its colours
// straight and its transparency in channel -1.
void addLayer(Writer& w, const Raster& raster) {
    const std::uint32_t height = raster.height();
    const PackedChannels layer = packChannels(raster, {kAlpha, kRed, kGreen, kBlue}, false);
    const std::size_t sectionAt = w.bytes.size();
    w.u32(0);  // the section's length, patched below
    const std::size_t infoAt = w.bytes.size();
    w.u32(0);  // the layer info's length, patched below
    // A negative count: the flat picture's first extra channel is its transparency.
    w.u16(static_cast<std::uint16_t>(-1));
    w.u32(0);
    w.u32(0);
    w.u32(height);
    w.u32(raster.width());
    w.u16(4);
    const int ids[] = {-1, 0, 1, 2};
    for (std::size_t c = 0; c < 4; ++c) {
        w.u16(static_cast<std::uint16_t>(ids[c]));
        w.u32(layerChannelSize(layer, c, height));
    }
    w.text("8BIMnorm");
    w.u8(255);  // opacity
    w.u8(0);    // clipping
    w.u8(0);    // flags: visible
    w.u8(0);
    // Extra data: no mask, no blending ranges, the name "Layer 1" as a Pascal
    // string padded to a multiple of four.
    const char name[] = "Layer 1";
    const std::size_t nameSize = (1 + sizeof name - 1 + 3) / 4 * 4;
    w.u32(static_cast<std::uint32_t>(8 + nameSize));
    w.u32(0);
    w.u32(0);
    w.u8(static_cast<std::uint8_t>(sizeof name - 1));
    w.text(name);
    for (std::size_t i = sizeof name; i < nameSize; ++i) {
        w.u8(0);
    }
    for (std::size_t c = 0; c < 4; ++c) {
        w.u16(kRle);
        for (std::uint32_t y = 0; y < height; ++y) {
            w.u16(layer.counts[c * height + y]);
        }
        w.append(layer.rows[c]);
    }
    if ((w.bytes.size() - infoAt) % 2 != 0) {
        w.u8(0);
    }
    w.patch32(infoAt, static_cast<std::uint32_t>(w.bytes.size() - infoAt - 4));
    w.u32(0);  // no global layer mask
    w.patch32(sectionAt, static_cast<std::uint32_t>(w.bytes.size() - sectionAt - 4));
}

}  // namespace

void encodePsd(const Picture& picture, const EncodeOptions& /*options*/, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty()) {
        throw Error("Cannot write PSD: the picture has no pixels");
    }
    const std::uint32_t width = raster.width();
    const std::uint32_t height = raster.height();
    if (width > kMaxSide || height > kMaxSide) {
        throw Error("Cannot write PSD: the picture is too large for the format (" +
                    std::to_string(width) + " x " + std::to_string(height) +
                    " pixels, at most 30000 a side)");
    }
    const bool alpha = !formats::isOpaque(raster);
    const unsigned channels = alpha ? 4 : 3;

    Writer w;
    w.text("8BPS");
    w.u16(1);  // version
    for (int i = 0; i < 6; ++i) {
        w.u8(0);
    }
    w.u16(channels);
    w.u32(height);
    w.u32(width);
    w.u16(8);
    w.u16(kRgbMode);
    w.u32(0);  // no colour mode data

    const formats::OutputMetadata meta = formats::prepareMetadata(picture.meta, width, height);
    const std::size_t resourcesAt = w.bytes.size();
    w.u32(0);
    addResource(w, kIccResource, meta.icc);
    addResource(w, kIptcResource, meta.iptc);
    addResource(w, kExifResource, meta.exif);
    addResource(w, kXmpResource, meta.xmp);
    w.patch32(resourcesAt, static_cast<std::uint32_t>(w.bytes.size() - resourcesAt - 4));

    if (alpha) {
        addLayer(w, raster);
    } else {
        w.u32(0);
    }

    // The flat picture: its counts for every row of every channel, then the rows.
    std::vector<int> order{kRed, kGreen, kBlue};
    if (alpha) {
        order.push_back(kAlpha);
    }
    const PackedChannels flat = packChannels(raster, order, alpha);
    w.u16(kRle);
    for (const std::uint16_t count : flat.counts) {
        w.u16(count);
    }
    out.write(w.bytes.data(), w.bytes.size());
    for (const auto& rows : flat.rows) {
        out.write(rows.data(), rows.size());
    }
}

}  // namespace imbrix::imaging
