// JPEG XR encoder: jxrlib, fed the raster's rows as 32-bit BGR (alpha ignored).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"

// After the standard headers: JXRGlue.h defines min and max as macros.
#include <JXRGlue.h>
#undef min
#undef max

namespace imbrix::imaging {

namespace {

// The picture quality the platform's JPEG XR encoder writes by default.
constexpr float kImageQuality = 0.9f;

// jxrlib's mapping from image quality to quantisers for 8-bit 4:4:4 pictures,
// as its sample encoder applies it: one row per tenth of quality, each row
// Y, U, V for the low-pass bands then Y, U, V for the high-pass bands.
constexpr int kQuantisers8[12][6] = {
    {67, 79, 86, 72, 90, 98}, {59, 74, 80, 64, 83, 89}, {53, 68, 75, 57, 76, 83},
    {49, 64, 71, 53, 70, 77}, {45, 60, 67, 48, 67, 74}, {40, 56, 62, 42, 59, 66},
    {33, 49, 55, 35, 51, 58}, {27, 44, 49, 28, 45, 50}, {20, 36, 42, 20, 38, 44},
    {13, 27, 34, 13, 28, 34}, {7, 17, 21, 8, 17, 21},   {2, 5, 6, 2, 5, 6},
};

struct Quantisers {
    U8 y, u, v, yHighPass, uHighPass, vHighPass;
};

// Quality in [0.8, 1) is stretched by 1.5 for 8-bit 4:4:4 so that it reaches the
// table's last rows; between two rows the quantisers are interpolated.
Quantisers quantisersFor(float quality) {
    if (quality > 0.8f) {
        quality = 0.8f + (quality - 0.8f) * 1.5f;
    }
    const int row = static_cast<int>(10.f * quality);
    const float frac = 10.f * quality - static_cast<float>(row);
    const int* lo = kQuantisers8[row];
    const int* hi = kQuantisers8[row + 1];
    auto mix = [&](int i) {
        return static_cast<U8>(0.5f + static_cast<float>(lo[i]) * (1.f - frac) +
                               static_cast<float>(hi[i]) * frac);
    };
    return {mix(0), mix(1), mix(2), mix(3), mix(4), mix(5)};
}

// A seekable, growable memory stream in jxrlib's stream interface: the encoder
// writes the container header last, seeking back to patch offsets.
struct MemoryStream {
    WMPStream ws;  // first member: jxrlib sees a WMPStream*
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
    std::size_t end = 0;
};

MemoryStream& self(WMPStream* ws) {
    return *reinterpret_cast<MemoryStream*>(ws);
}

extern "C" ERR onJxrClose(WMPStream** ws) {
    *ws = nullptr;  // the stream belongs to encodeJpegXr
    return WMP_errSuccess;
}

extern "C" Bool onJxrEos(WMPStream* ws) {
    return self(ws).position >= self(ws).end;
}

extern "C" ERR onJxrRead(WMPStream* ws, void* data, size_t size) {
    MemoryStream& s = self(ws);
    if (s.position > s.end || size > s.end - s.position) {
        return WMP_errFileIO;
    }
    std::memcpy(data, s.bytes.data() + s.position, size);
    s.position += size;
    return WMP_errSuccess;
}

extern "C" ERR onJxrWrite(WMPStream* ws, const void* data, size_t size) {
    MemoryStream& s = self(ws);
    if (size == 0) {
        return WMP_errSuccess;
    }
    try {
        if (s.position + size > s.bytes.size()) {
            s.bytes.resize(std::max(s.position + size, s.bytes.size() * 2));
        }
    } catch (...) {  // out of memory: jxrlib sees a failed write
        return WMP_errOutOfMemory;
    }
    std::memcpy(s.bytes.data() + s.position, data, size);
    s.position += size;
    s.end = std::max(s.end, s.position);
    return WMP_errSuccess;
}

extern "C" ERR onJxrSetPos(WMPStream* ws, size_t position) {
    self(ws).position = position;
    return WMP_errSuccess;
}

extern "C" ERR onJxrGetPos(WMPStream* ws, size_t* position) {
    *position = self(ws).position;
    return WMP_errSuccess;
}

struct CodecFactory {
    PKCodecFactory* factory = nullptr;
    ~CodecFactory() {
        if (factory) {
            factory->Release(&factory);
        }
    }
};

struct Encoder {
    PKImageEncode* encoder = nullptr;
    ~Encoder() {
        if (encoder) {
            encoder->Release(&encoder);
        }
    }
};

[[noreturn]] void failed(ERR err) {
    if (err == WMP_errOutOfMemory) {
        throw Error("Cannot write JPEG XR: not enough memory");
    }
    throw Error("Cannot write JPEG XR: jxrlib error " + std::to_string(err));
}

void check(ERR err) {
    if (Failed(err)) {
        failed(err);
    }
}

}  // namespace

void encodeJpegXr(const Picture& picture, const EncodeOptions& /*options*/, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty()) {
        throw Error("Cannot write JPEG XR: the picture has no pixels");
    }
    MemoryStream stream;
    stream.ws.Close = onJxrClose;
    stream.ws.EOS = onJxrEos;
    stream.ws.Read = onJxrRead;
    stream.ws.Write = onJxrWrite;
    stream.ws.SetPos = onJxrSetPos;
    stream.ws.GetPos = onJxrGetPos;
    {
        CodecFactory codecs;
        check(PKCreateCodecFactory(&codecs.factory, WMP_SDK_VERSION));
        Encoder enc;
        check(codecs.factory->CreateCodec(&IID_PKImageWmpEncode,
                                          reinterpret_cast<void**>(&enc.encoder)));

        // The sample encoder's defaults, then its settings for quality 0.9:
        // one level of overlap filtering, full-resolution chroma.
        CWMIStrCodecParam params;
        std::memset(&params, 0, sizeof params);
        params.bVerbose = FALSE;
        params.cfColorFormat = YUV_444;
        params.bdBitDepth = BD_LONG;
        params.bfBitstreamFormat = FREQUENCY;
        params.bProgressiveMode = TRUE;
        params.olOverlap = OL_ONE;
        params.sbSubband = SB_ALL;
        params.uAlphaMode = 0;
        params.uiDefaultQPIndexAlpha = 1;
        const Quantisers q = quantisersFor(kImageQuality);
        params.uiDefaultQPIndex = q.y;
        params.uiDefaultQPIndexU = q.u;
        params.uiDefaultQPIndexV = q.v;
        params.uiDefaultQPIndexYHP = q.yHighPass;
        params.uiDefaultQPIndexUHP = q.uHighPass;
        params.uiDefaultQPIndexVHP = q.vHighPass;
        check(enc.encoder->Initialize(enc.encoder, &stream.ws, &params, sizeof params));

        // 32-bit BGR: the raster's rows as they are, the fourth byte unused.
        check(enc.encoder->SetPixelFormat(enc.encoder, GUID_PKPixelFormat32bppBGR));
        check(enc.encoder->SetSize(enc.encoder, static_cast<I32>(raster.width()),
                                   static_cast<I32>(raster.height())));
        check(enc.encoder->SetResolution(enc.encoder, 96.f, 96.f));
        // jxrlib reads the pixels only; its interface is not const-correct.
        check(enc.encoder->WritePixels(enc.encoder, raster.height(),
                                       const_cast<std::uint8_t*>(raster.data()),
                                       static_cast<U32>(raster.stride())));
    }
    out.write(stream.bytes.data(), stream.end);
}

}  // namespace imbrix::imaging
