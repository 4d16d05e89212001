// JPEG sources through libjpeg-turbo.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
// jerror.h after jpeglib.h: it uses its types.
#include <jerror.h>

#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/exif.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

constexpr int kApp1 = JPEG_APP0 + 1;
// A progressive file may have any number of scans, each a full pass over the
// coefficients; hostile files use that to burn minutes. Real encoders write
// fewer than twenty.
constexpr int kMaxScans = 1000;

// libjpeg reports fatal errors through error_exit, which must not return. We
// jump back to decode() and throw from there: C++ exceptions never cross libjpeg.
// The callbacks run inside libjpeg's frames, so they only store plain values
// (nothing that allocates or throws); the user's text is made after the jump.
struct ErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg sees only this
    std::jmp_buf jump;
    enum class Stop { None, Error, TooManyScans } stop = Stop::None;
    int code = 0;  // libjpeg's message code of the error
};

extern "C" [[noreturn]] void onError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    err->stop = ErrorManager::Stop::Error;
    err->code = err->pub.msg_code;
    std::longjmp(err->jump, 1);
}

// The user's text for the error that stopped libjpeg.
std::string errorText(const ErrorManager& err) {
    if (err.stop == ErrorManager::Stop::TooManyScans) {
        return "JPEG error: more than " + std::to_string(kMaxScans) + " scans";
    }
    return "JPEG error #" + std::to_string(err.code);
}

// Warnings (a premature end of data, a corrupt segment) are not failures; the
// library recovers as well as it can, and nothing goes to stderr.
extern "C" void onMessage(j_common_ptr) {}

extern "C" void onProgress(j_common_ptr cinfo) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxScans) {
        auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
        err->stop = ErrorManager::Stop::TooManyScans;
        std::longjmp(err->jump, 1);
    }
}

// What both decoders below share: libjpeg's state, our error and progress
// hooks, and the EXIF orientation read with the header.
struct JpegReader {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    jpeg_progress_mgr progress{};
    bool created = false;
    int orientation = 1;

    JpegReader() {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = onError;
        err.pub.output_message = onMessage;
    }
    ~JpegReader() {
        if (created) {
            jpeg_destroy_decompress(&cinfo);
        }
    }
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;
};

// Opens `data` and reads its header and EXIF orientation. Called after the
// caller's setjmp: libjpeg's errors leave through it.
void readHeader(JpegReader& r, Bytes data) {
    jpeg_create_decompress(&r.cinfo);
    r.created = true;
    r.progress.progress_monitor = onProgress;
    r.cinfo.progress = &r.progress;
    if (data.size() < 2) {
        // No room for the start-of-image marker: an empty or one-byte file is
        // no JPEG stream, reported as any other file that does not start like one
        // (libjpeg would call an empty buffer JERR_INPUT_EMPTY instead).
        ERREXIT2(&r.cinfo, JERR_NO_SOI, data.empty() ? 0 : data[0], 0);
    }
    jpeg_mem_src(&r.cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_save_markers(&r.cinfo, kApp1, 0xFFFF);
    jpeg_read_header(&r.cinfo, TRUE);
    for (jpeg_saved_marker_ptr m = r.cinfo.marker_list; m; m = m->next) {
        if (m->marker == kApp1) {
            const int o = exif::orientation(Bytes(m->data, m->data_length));
            if (o != 1) {
                r.orientation = o;
                return;
            }
        }
    }
}

struct Decoder : JpegReader {
    Raster picture;
    // Set when a C++ step (the size check, the allocation) failed.
    std::string cxxError;
};

// Allocates the raster once the header is known. Kept apart from run() so that
// no object with a destructor lives in the frame that calls setjmp.
bool allocate(Decoder& d) {
    try {
        checkPictureSize(d.cinfo.output_width, d.cinfo.output_height);
        d.picture = Raster(d.cinfo.output_width, d.cinfo.output_height);
        return true;
    } catch (const Error& e) {
        d.cxxError = e.what();
        return false;
    }
}

// Everything that calls into libjpeg. Returns false on a libjpeg error (in
// d.err) or a failed C++ step (in d.cxxError).
bool run(Decoder& d, Bytes data) {
    if (setjmp(d.err.jump)) {
        return false;
    }
    readHeader(d, data);

    // Adobe CMYK/YCCK files come out as (inverted) CMYK; everything else straight
    // into the raster's byte order, which saves a pass over the pixels.
    const bool cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
    d.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    d.cinfo.dct_method = JDCT_ISLOW;
    d.cinfo.do_fancy_upsampling = TRUE;
    jpeg_calc_output_dimensions(&d.cinfo);
    if (!allocate(d)) {
        return false;
    }
    jpeg_start_decompress(&d.cinfo);
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        JSAMPROW row = d.picture.row(d.cinfo.output_scanline);
        jpeg_read_scanlines(&d.cinfo, &row, 1);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

// libjpeg hands Adobe CMYK over inverted (as Photoshop stores it): a sample of
// 255 means no ink. Each colour is then (255 - ink) scaled by the black's value.
void cmykToBgra(Raster& picture, bool inverted) {
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        std::uint8_t* p = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width(); ++x, p += 4) {
            unsigned c = p[0], m = p[1], yy = p[2], k = p[3];
            if (!inverted) {
                c = 255 - c;
                m = 255 - m;
                yy = 255 - yy;
                k = 255 - k;
            }
            p[kRed] = static_cast<std::uint8_t>((c * k + 127) / 255);
            p[kGreen] = static_cast<std::uint8_t>((m * k + 127) / 255);
            p[kBlue] = static_cast<std::uint8_t>((yy * k + 127) / 255);
            p[kAlpha] = 255;
        }
    }
}

// JFIF stores YCbCr over the full 0..255 range; a lossy WEBP holds BT.601's
// video range. The same matrix, so a rescale of each sample is all it takes.
struct VideoRangeTables {
    std::uint8_t luma[256];
    std::uint8_t chroma[256];
};

constexpr VideoRangeTables makeVideoRangeTables() {
    VideoRangeTables t{};
    for (int v = 0; v < 256; ++v) {
        t.luma[v] = static_cast<std::uint8_t>(16 + (v * 219 + 127) / 255);
        const int c = (v - 128) * 224;
        t.chroma[v] =
            static_cast<std::uint8_t>(128 + (c >= 0 ? (c + 127) / 255 : -((127 - c) / 255)));
    }
    return t;
}

constexpr VideoRangeTables kVideoRange = makeVideoRangeTables();

// The planes of a 4:2:0 decode. libjpeg hands them over a band of whole MCU
// rows at a time (16 luma rows, 8 chroma rows), padded to whole MCUs; the bands
// are rescaled into the picture's planes, which have the picture's own size.
struct YuvDecoder : JpegReader {
    YuvPicture picture;
    std::vector<std::uint8_t> band;  // luma rows, then Cb rows, then Cr rows
    std::vector<JSAMPROW> rows;      // 16 luma, 8 Cb, 8 Cr
    std::size_t lumaStride = 0;
    std::size_t chromaStride = 0;
};

constexpr int kLumaBandRows = 2 * DCTSIZE;
constexpr int kChromaBandRows = DCTSIZE;

bool isYuv420(const jpeg_decompress_struct& cinfo) {
    if (cinfo.jpeg_color_space != JCS_YCbCr || cinfo.num_components != 3) {
        return false;
    }
    const jpeg_component_info* c = cinfo.comp_info;
    return c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2 && c[1].h_samp_factor == 1 &&
           c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1;
}

// Kept apart from runYuv() for the same reason as allocate().
bool allocateYuv(YuvDecoder& d) {
    try {
        checkPictureSize(d.cinfo.output_width, d.cinfo.output_height);
        YuvPicture& p = d.picture;
        p.width = d.cinfo.output_width;
        p.height = d.cinfo.output_height;
        p.y.resize(std::size_t{p.width} * p.height);
        p.u.resize(std::size_t{p.chromaWidth()} * p.chromaHeight());
        p.v.resize(p.u.size());
        // Whole MCUs of 16 x 16 luma and 8 x 8 chroma samples.
        d.chromaStride = (std::size_t{p.width} + 2 * DCTSIZE - 1) / (2 * DCTSIZE) * DCTSIZE;
        d.lumaStride = d.chromaStride * 2;
        d.band.resize(d.lumaStride * kLumaBandRows + 2 * d.chromaStride * kChromaBandRows);
        d.rows.resize(kLumaBandRows + 2 * kChromaBandRows);
        std::uint8_t* at = d.band.data();
        for (int r = 0; r < kLumaBandRows; ++r, at += d.lumaStride) {
            d.rows[static_cast<std::size_t>(r)] = at;
        }
        for (int r = kLumaBandRows; r < kLumaBandRows + 2 * kChromaBandRows;
             ++r, at += d.chromaStride) {
            d.rows[static_cast<std::size_t>(r)] = at;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void storeBand(YuvDecoder& d, std::uint32_t top) {
    YuvPicture& p = d.picture;
    const std::uint32_t lumaRows = std::min<std::uint32_t>(kLumaBandRows, p.height - top);
    for (std::uint32_t r = 0; r < lumaRows; ++r) {
        const std::uint8_t* src = d.rows[r];
        std::uint8_t* dst = p.y.data() + std::size_t{top + r} * p.width;
        for (std::uint32_t x = 0; x < p.width; ++x) {
            dst[x] = kVideoRange.luma[src[x]];
        }
    }
    const std::uint32_t chromaTop = top / 2;
    const std::uint32_t chromaRows =
        std::min<std::uint32_t>(kChromaBandRows, p.chromaHeight() - chromaTop);
    const std::uint32_t cw = p.chromaWidth();
    for (std::uint32_t r = 0; r < chromaRows; ++r) {
        const std::uint8_t* cb = d.rows[kLumaBandRows + r];
        const std::uint8_t* cr = d.rows[kLumaBandRows + kChromaBandRows + r];
        std::uint8_t* u = p.u.data() + std::size_t{chromaTop + r} * cw;
        std::uint8_t* v = p.v.data() + std::size_t{chromaTop + r} * cw;
        for (std::uint32_t x = 0; x < cw; ++x) {
            u[x] = kVideoRange.chroma[cb[x]];
            v[x] = kVideoRange.chroma[cr[x]];
        }
    }
}

// Orientations that mirror the stored picture's columns, or its rows.
bool reversesColumns(int orientation) {
    return orientation == 2 || orientation == 3 || orientation == 7 || orientation == 8;
}
bool reversesRows(int orientation) {
    return orientation == 3 || orientation == 4 || orientation == 6 || orientation == 7;
}

// Each chroma sample covers two columns and two rows of the picture, the last
// one of an odd side only one. Mirrored along an odd side, the chroma would
// come out shifted by a pixel against the luma: only even sides are turned here.
bool planesTurnExactly(int orientation, std::uint32_t width, std::uint32_t height) {
    return !(reversesColumns(orientation) && width % 2 != 0) &&
           !(reversesRows(orientation) && height % 2 != 0);
}

// The plane of a w x h picture as it is shown, for an EXIF orientation of 2 to 8
// (the same turns as exif::applyOrientation for rasters).
std::vector<std::uint8_t> turnPlane(const std::vector<std::uint8_t>& plane, std::uint32_t w,
                                    std::uint32_t h, int orientation) {
    const bool swap = exif::swapsSides(orientation);
    const std::uint32_t tw = swap ? h : w;
    const std::uint32_t th = swap ? w : h;
    std::vector<std::uint8_t> turned(plane.size());
    std::uint8_t* out = turned.data();
    for (std::uint32_t y = 0; y < th; ++y) {
        for (std::uint32_t x = 0; x < tw; ++x) {
            // Where the sample shown at (x, y) is stored.
            std::uint32_t sx = x;
            std::uint32_t sy = y;
            switch (orientation) {
                case 2:
                    sx = w - 1 - x;
                    break;
                case 3:
                    sx = w - 1 - x;
                    sy = h - 1 - y;
                    break;
                case 4:
                    sy = h - 1 - y;
                    break;
                case 5:
                    sx = y;
                    sy = x;
                    break;
                case 6:
                    sx = y;
                    sy = h - 1 - x;
                    break;
                case 7:
                    sx = w - 1 - y;
                    sy = h - 1 - x;
                    break;
                default:  // 8
                    sx = w - 1 - y;
                    sy = x;
                    break;
            }
            *out++ = plane[std::size_t{sy} * w + sx];
        }
    }
    return turned;
}

YuvPicture turnPlanes(YuvPicture picture, int orientation) {
    if (orientation < 2 || orientation > 8) {
        return picture;
    }
    YuvPicture turned;
    const bool swap = exif::swapsSides(orientation);
    turned.width = swap ? picture.height : picture.width;
    turned.height = swap ? picture.width : picture.height;
    turned.y = turnPlane(picture.y, picture.width, picture.height, orientation);
    picture.y = {};
    turned.u = turnPlane(picture.u, picture.chromaWidth(), picture.chromaHeight(), orientation);
    picture.u = {};
    turned.v = turnPlane(picture.v, picture.chromaWidth(), picture.chromaHeight(), orientation);
    return turned;
}

// Everything that calls into libjpeg for the planes. Returns false when the file
// is not a 4:2:0 picture whose planes turn exactly, or when decoding failed.
bool runYuv(YuvDecoder& d, Bytes data) {
    if (setjmp(d.err.jump)) {
        return false;
    }
    readHeader(d, data);
    if (!isYuv420(d.cinfo) ||
        !planesTurnExactly(d.orientation, d.cinfo.image_width, d.cinfo.image_height)) {
        return false;
    }
    d.cinfo.raw_data_out = TRUE;
    d.cinfo.dct_method = JDCT_ISLOW;
    jpeg_calc_output_dimensions(&d.cinfo);
    if (d.cinfo.max_v_samp_factor != 2 || d.cinfo.min_DCT_scaled_size != DCTSIZE ||
        !allocateYuv(d)) {
        return false;
    }
    jpeg_start_decompress(&d.cinfo);
    JSAMPARRAY planes[3] = {d.rows.data(), d.rows.data() + kLumaBandRows,
                            d.rows.data() + kLumaBandRows + kChromaBandRows};
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const JDIMENSION top = d.cinfo.output_scanline;
        if (jpeg_read_raw_data(&d.cinfo, planes, kLumaBandRows) == 0) {
            return false;  // suspended: cannot happen with the whole file in memory
        }
        storeBand(d, top);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

}  // namespace

Raster decodeJpeg(Bytes data) {
    Decoder d;
    if (!run(d, data)) {
        throw Error(d.cxxError.empty() ? errorText(d.err) : d.cxxError);
    }
    if (d.cinfo.out_color_space == JCS_CMYK) {
        cmykToBgra(d.picture, d.cinfo.saw_Adobe_marker);
    }
    d.picture.premultiplied = true;  // opaque: premultiplied and straight agree
    return exif::applyOrientation(std::move(d.picture), d.orientation);
}

}  // namespace imbrix::imaging::formats

namespace imbrix::imaging {

std::optional<YuvPicture> decodeJpegYuv420(Bytes data) {
    formats::YuvDecoder d;
    if (!formats::runYuv(d, data)) {
        return std::nullopt;
    }
    try {
        return formats::turnPlanes(std::move(d.picture), d.orientation);
    } catch (const std::bad_alloc&) {
        return std::nullopt;  // the raster route reports it
    }
}

}  // namespace imbrix::imaging
