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
enum class Layout { Bgr24, Rgb24, Bgrx32, Bgra32, Pbgra32, Rgbx32, Rgba32, Prgba32, Gray8 };

struct Format {
    const PKPixelFormatGUID* guid;
    Layout layout;
    std::size_t bytes;
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
    };
    for (const Format& f : kFormats) {
        if (same(*f.guid, pf)) {
            return &f;
        }
    }
    return nullptr;
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

    Raster picture(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
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

    bool premultiplied = format->layout == Layout::Pbgra32 || format->layout == Layout::Prgba32;
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        std::uint8_t* out = picture.row(y);
        const std::uint8_t* in = target + y * stride;
        for (std::uint32_t x = 0; x < picture.width(); ++x, out += 4) {
            switch (format->layout) {
                case Layout::Bgr24:
                    out[kBlue] = in[3 * x];
                    out[kGreen] = in[3 * x + 1];
                    out[kRed] = in[3 * x + 2];
                    out[kAlpha] = 255;
                    break;
                case Layout::Rgb24:
                    out[kRed] = in[3 * x];
                    out[kGreen] = in[3 * x + 1];
                    out[kBlue] = in[3 * x + 2];
                    out[kAlpha] = 255;
                    break;
                case Layout::Gray8:
                    out[kBlue] = out[kGreen] = out[kRed] = in[x];
                    out[kAlpha] = 255;
                    break;
                case Layout::Bgrx32: out[kAlpha] = 255; break;
                case Layout::Rgbx32:
                    std::swap(out[0], out[2]);
                    out[kAlpha] = 255;
                    break;
                case Layout::Rgba32:
                case Layout::Prgba32: std::swap(out[0], out[2]); break;
                case Layout::Bgra32:
                case Layout::Pbgra32: break;
            }
        }
    }
    picture.premultiplied = premultiplied;
    premultiply(picture);
    return picture;
}

}  // namespace imbrix::imaging::formats
