// JPEG XR (.wmp) sources through jxrlib, read from memory.
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// jxrlib's C headers, last: they define min and max as macros.
extern "C" {
#include <JXRGlue.h>
}
#undef min
#undef max

#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

[[noreturn]] void fail(const std::string& why) { throw Error("JPEG XR error: " + why); }

void check(ERR err, const char* step) {
    if (Failed(err)) {
        fail(std::string(step) + " failed (" + std::to_string(err) + ")");
    }
}

struct StreamClose {
    void operator()(WMPStream* s) const { s->Close(&s); }
};
struct DecoderRelease {
    void operator()(PKImageDecode* d) const { d->Release(&d); }
};

bool same(const PKPixelFormatGUID& a, const PKPixelFormatGUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The layouts we take from the decoder as they are and turn into BGRA ourselves.
// 16-bit integer samples are scaled to 8 bits; packed 16-bit RGB, floating and
// fixed-point, CMYK and YCC layouts are refused.
enum class Layout {
    Bgr24, Rgb24, Bgrx32, Bgra32, Pbgra32, Rgbx32, Rgba32, Prgba32, Gray8,
    Rgb48, Rgba64, Prgba64, Gray16,
};

struct Format {
    const PKPixelFormatGUID* guid;
    Layout layout;
    std::size_t bytes;  // per pixel
};

const Format* findFormat(const PKPixelFormatGUID& pf) {
    static const Format kFormats[] = {
        {&GUID_PKPixelFormat24bppBGR, Layout::Bgr24, 3},
        {&GUID_PKPixelFormat24bppRGB, Layout::Rgb24, 3},
        {&GUID_PKPixelFormat32bppBGR, Layout::Bgrx32, 4},
        {&GUID_PKPixelFormat32bppBGRA, Layout::Bgra32, 4},
        {&GUID_PKPixelFormat32bppPBGRA, Layout::Pbgra32, 4},
        {&GUID_PKPixelFormat32bppRGB, Layout::Rgbx32, 4},
        {&GUID_PKPixelFormat32bppRGBA, Layout::Rgba32, 4},
        {&GUID_PKPixelFormat32bppPRGBA, Layout::Prgba32, 4},
        {&GUID_PKPixelFormat8bppGray, Layout::Gray8, 1},
        {&GUID_PKPixelFormat48bppRGB, Layout::Rgb48, 6},
        {&GUID_PKPixelFormat64bppRGBA, Layout::Rgba64, 8},
        {&GUID_PKPixelFormat64bppPRGBA, Layout::Prgba64, 8},
        {&GUID_PKPixelFormat16bppGray, Layout::Gray16, 2},
    };
    for (const Format& f : kFormats) {
        if (same(*f.guid, pf)) {
            return &f;
        }
    }
    return nullptr;
}

// A little-endian 16-bit sample scaled to 8 bits, rounded.
std::uint8_t sample16(const std::uint8_t* p) {
    const unsigned v = unsigned{p[0]} | unsigned{p[1]} << 8;
    return static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
}

void toBgra(Layout layout, const std::uint8_t* in, std::uint8_t* out) {
    switch (layout) {
        case Layout::Bgr24:
            out[kBlue] = in[0];
            out[kGreen] = in[1];
            out[kRed] = in[2];
            out[kAlpha] = 255;
            break;
        case Layout::Rgb24:
            out[kRed] = in[0];
            out[kGreen] = in[1];
            out[kBlue] = in[2];
            out[kAlpha] = 255;
            break;
        case Layout::Gray8:
            out[kBlue] = out[kGreen] = out[kRed] = in[0];
            out[kAlpha] = 255;
            break;
        case Layout::Bgrx32:
            std::memcpy(out, in, 3);
            out[kAlpha] = 255;
            break;
        case Layout::Bgra32:
        case Layout::Pbgra32: std::memcpy(out, in, 4); break;
        case Layout::Rgbx32:
        case Layout::Rgba32:
        case Layout::Prgba32:
            out[kRed] = in[0];
            out[kGreen] = in[1];
            out[kBlue] = in[2];
            out[kAlpha] = layout == Layout::Rgbx32 ? 255 : in[3];
            break;
        case Layout::Rgb48:
        case Layout::Rgba64:
        case Layout::Prgba64:
            out[kRed] = sample16(in);
            out[kGreen] = sample16(in + 2);
            out[kBlue] = sample16(in + 4);
            out[kAlpha] = layout == Layout::Rgb48 ? 255 : sample16(in + 6);
            break;
        case Layout::Gray16:
            out[kBlue] = out[kGreen] = out[kRed] = sample16(in);
            out[kAlpha] = 255;
            break;
    }
}

}  // namespace

Raster decodeJxr(Bytes data) {
    if (data.empty()) {
        fail("the file is empty");
    }
    WMPStream* rawStream = nullptr;
    // jxrlib's memory stream only reads through this pointer.
    check(CreateWS_Memory(&rawStream, const_cast<std::uint8_t*>(data.data()), data.size()),
          "opening the data");
    const std::unique_ptr<WMPStream, StreamClose> stream(rawStream);

    PKImageDecode* rawDecoder = nullptr;
    check(PKImageDecode_Create_WMP(&rawDecoder), "creating the decoder");
    const std::unique_ptr<PKImageDecode, DecoderRelease> decoder(rawDecoder);
    check(decoder->Initialize(decoder.get(), stream.get()), "reading the header");

    I32 width = 0;
    I32 height = 0;
    check(decoder->GetSize(decoder.get(), &width, &height), "reading the size");
    if (width <= 0 || height <= 0) {
        fail("wrong picture size");
    }
    checkPictureSize(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    PKPixelFormatGUID pixelFormat{};
    check(decoder->GetPixelFormat(decoder.get(), &pixelFormat), "reading the pixel format");
    const Format* format = findFormat(pixelFormat);
    if (!format) {
        fail("unsupported pixel format");
    }
    // The decoder leaves the alpha plane out unless told to decode it with the
    // picture (alpha mode 2); the other settings follow the pixel format.
    PKPixelInfo info{};
    info.pGUIDPixFmt = &pixelFormat;
    check(PixelFormatLookup(&info, LOOKUP_FORWARD), "reading the pixel format");
    decoder->WMP.wmiSCP.uAlphaMode = (info.grBit & PK_pixfmtHasAlpha) ? 2 : 0;
    decoder->WMP.wmiI.cfColorFormat = info.cfColorFormat;
    decoder->WMP.wmiI.bdBitDepth = info.bdBitDepth;
    decoder->WMP.wmiI.cBitsPerUnit = info.cbitUnit;

    Raster picture(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    // The decoder writes rows of its own layout, 16-byte aligned, into a buffer
    // of ours; 32-bit layouts go straight into the raster and are fixed in place.
    const std::size_t srcStride = (format->bytes * static_cast<std::size_t>(width) + 15) / 16 * 16;
    std::vector<std::uint8_t> pixels;
    std::uint8_t* target = picture.data();
    std::size_t stride = picture.stride();
    if (format->bytes != 4) {
        pixels.resize(srcStride * static_cast<std::size_t>(height));
        target = pixels.data();
        stride = srcStride;
    }
    const PKRect rect{0, 0, width, height};
    check(decoder->Copy(decoder.get(), &rect, target, static_cast<U32>(stride)),
          "decoding the pixels");

    const bool premultiplied = format->layout == Layout::Pbgra32 ||
                               format->layout == Layout::Prgba32 ||
                               format->layout == Layout::Prgba64;
    std::uint8_t in[8];
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        std::uint8_t* out = picture.row(y);
        const std::uint8_t* row = target + y * stride;
        for (std::uint32_t x = 0; x < picture.width(); ++x, out += 4) {
            // A copy first: in place, the input and output pixel are the same bytes.
            std::memcpy(in, row + x * format->bytes, format->bytes);
            toBgra(format->layout, in, out);
        }
    }
    picture.premultiplied = premultiplied;
    premultiply(picture);
    return picture;
}

}  // namespace imbrix::imaging::formats
