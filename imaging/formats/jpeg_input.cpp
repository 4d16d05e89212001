// JPEG sources through libjpeg-turbo.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
// jerror.h after jpeglib.h: it uses its types.
#include <jerror.h>

#include "imaging/colour.h"
#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/exif.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

constexpr int kApp1 = JPEG_APP0 + 1;
constexpr int kApp2 = JPEG_APP0 + 2;  // ICC profile chunks
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
    enum class Stop { None, Error, TooManyScans, TooShort } stop = Stop::None;
    int code = 0;                         // libjpeg's message code of the error
    char explanation[JMSG_LENGTH_MAX]{};  // libjpeg's own text for it
    JDIMENSION width = 0, height = 0;     // the picture's size, for TooShort
    bool sawEnd = false;                  // the data ended (libjpeg then adds an end marker)
};

[[noreturn]] void stopWithMessage(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    err->stop = ErrorManager::Stop::Error;
    if (err->sawEnd) {
        // Whatever went wrong after the data ended (a scan cut short, a header
        // without its picture) is reported as what caused it: the file ends early.
        err->pub.msg_code = JWRN_JPEG_EOF;
    }
    err->code = err->pub.msg_code;
    // Formats into a fixed buffer: no allocation.
    err->pub.format_message(cinfo, err->explanation);
    std::longjmp(err->jump, 1);
}

extern "C" [[noreturn]] void onError(j_common_ptr cinfo) {
    stopWithMessage(cinfo);
}

// Codes whose text tells the user that the file ends early.
bool meansTruncated(int code) {
    return code == JWRN_JPEG_EOF || code == JERR_INPUT_EOF || code == JERR_INPUT_EMPTY;
}

// The user's text for the error that stopped libjpeg: "JPEG error #N", then
// libjpeg's explanation on a line of its own. JERR_NO_SOI (#53) stays alone:
// the run explains it as an unknown format or an empty or damaged file.
std::string errorText(const ErrorManager& err) {
    if (err.stop == ErrorManager::Stop::TooManyScans) {
        return "JPEG error: more than " + std::to_string(kMaxScans) + " scans";
    }
    if (err.stop == ErrorManager::Stop::TooShort) {
        return "JPEG error: the file is truncated or damaged (too short for a " +
               std::to_string(err.width) + " x " + std::to_string(err.height) + " picture)";
    }
    std::string text = "JPEG error #" + std::to_string(err.code);
    if (err.code == JERR_NO_SOI || err.explanation[0] == '\0') {
        return text;
    }
    text += "\r\r";
    text += err.explanation;
    if (meansTruncated(err.code)) {
        text += ": the file is truncated";
    }
    return text;
}

// Warnings that mean the picture's data are missing or damaged: libjpeg would
// go on and fill the rest with grey (or with garbage), so a file cut short
// would convert to a partly grey picture. They fail the decode. Other warnings
// leave the picture whole (stray bytes between segments, an unknown JFIF
// revision, a bad ICC profile that is not used) and are ignored.
bool damagesPicture(int code) {
    switch (code) {
        case JWRN_HIT_MARKER:         // a scan's data end before its blocks do
        case JWRN_HUFF_BAD_CODE:      // corrupt Huffman-coded data
        case JWRN_ARITH_BAD_CODE:     // corrupt arithmetic-coded data
        case JWRN_MUST_RESYNC:        // a restart marker missing: blocks are lost
        case JWRN_BOGUS_PROGRESSION:  // scans out of order: coefficients lost
            return true;
        default:
            return false;
    }
}

// Messages: level -1 is a warning, higher levels are trace output. Nothing goes
// to stderr.
//
// The end of the data (JWRN_JPEG_EOF) is a failure when blocks are still to
// come: libjpeg then also says that a scan's data ended early. A sequential
// file that lacks only its end marker holds every block and decodes. A file of
// several scans (progressive ones, above all) cut between two scans gives no
// such sign and would come out blurred or without a colour, so the end of the
// data is a failure there; such a file must have its end marker.
extern "C" void onMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) {
        return;
    }
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    const int code = err->pub.msg_code;
    if (code == JWRN_JPEG_EOF) {
        err->sawEnd = true;
        const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (d->progressive_mode || d->comps_in_scan < d->num_components) {
            stopWithMessage(cinfo);
        }
        return;
    }
    if (damagesPicture(code)) {
        stopWithMessage(cinfo);
    }
}

extern "C" void onProgress(j_common_ptr cinfo) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxScans) {
        auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
        err->stop = ErrorManager::Stop::TooManyScans;
        std::longjmp(err->jump, 1);
    }
}

// What both decoders below share: libjpeg's state, our error and progress
// hooks, and the EXIF orientation and ICC profile read with the header.
struct JpegReader {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    jpeg_progress_mgr progress{};
    bool created = false;
    int orientation = 1;
    JOCTET* icc = nullptr;  // libjpeg's malloc'ed copy of the profile, if any
    unsigned int iccSize = 0;

    Bytes profile() const { return icc ? Bytes(icc, iccSize) : Bytes(); }

    JpegReader() {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = onError;
        err.pub.emit_message = onMessage;
    }
    ~JpegReader() {
        std::free(icc);
        if (created) {
            jpeg_destroy_decompress(&cinfo);
        }
    }
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;
};

// Every block of a Huffman-coded picture takes at least one bit in the scan
// that first codes it: a progressive file's DC scans (which libjpeg needs before
// anything else) as well as a sequential file's scans. So a complete file holds
// at least one bit per block of its smallest component. A tiny file that claims
// a huge picture is refused here, before libjpeg allocates a buffer for its
// coefficients and the decoder one for its pixels. (Arithmetic coding can take
// far less than a bit per block: such files are not checked.)
void checkDataCovers(JpegReader& r, Bytes data) {
    const jpeg_decompress_struct& c = r.cinfo;
    if (c.arith_code || c.num_components <= 0 ||
        std::uint64_t{c.image_width} * c.image_height > kMaxPixels) {
        return;  // beyond the size cap, which refuses it with its own message
    }
    std::uint64_t fewest = UINT64_MAX;
    for (int i = 0; i < c.num_components; ++i) {
        const jpeg_component_info& comp = c.comp_info[i];
        fewest = std::min(fewest, std::uint64_t{comp.width_in_blocks} * comp.height_in_blocks);
    }
    if (std::uint64_t{data.size()} * 8 < fewest) {
        r.err.stop = ErrorManager::Stop::TooShort;
        r.err.width = c.image_width;
        r.err.height = c.image_height;
        std::longjmp(r.err.jump, 1);
    }
}

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
    jpeg_save_markers(&r.cinfo, kApp2, 0xFFFF);
    jpeg_read_header(&r.cinfo, TRUE);
    checkDataCovers(r, data);
    // A profile whose chunks do not add up is left out (libjpeg warns, we go on).
    if (!jpeg_read_icc_profile(&r.cinfo, &r.icc, &r.iccSize)) {
        r.icc = nullptr;
        r.iccSize = 0;
    }
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

// Orientations that mirror the stored picture's columns, or its rows.
bool reversesColumns(int orientation) {
    return orientation == 2 || orientation == 3 || orientation == 7 || orientation == 8;
}
bool reversesRows(int orientation) {
    return orientation == 3 || orientation == 4 || orientation == 6 || orientation == 7;
}

struct Decoder : JpegReader {
    explicit Decoder(const DecodeHint& h) : hint(h) {}
    const DecodeHint& hint;
    unsigned shrink = 1;  // libjpeg's reduction: 1, 2, 4 or 8
    Raster picture;
    // Set when a C++ step (the size check, the allocation) failed.
    std::string cxxError;
};

// The picture's full size as it is shown.
PixelSize uprightSize(const JpegReader& r) {
    const PixelSize stored{r.cinfo.image_width, r.cinfo.image_height};
    return exif::swapsSides(r.orientation) ? PixelSize{stored.height, stored.width} : stored;
}

// Checks the size against the cap once the header is known, and allocates the
// raster once libjpeg has started (for a progressive file, after it has read
// every scan: a damaged one fails before the pixels exist). Kept apart from
// run() so that no object with a destructor lives in the frame that calls setjmp.
// The full size is checked, also when the picture is drawn smaller: a hint
// never lets a picture through that the cap refuses otherwise.
bool checkSize(Decoder& d) {
    try {
        checkPictureSize(d.cinfo.image_width, d.cinfo.image_height);
        d.shrink = shrinkFactor(d.hint, uprightSize(d));
        // Reduced by n, a side that n does not divide ends in a block of fewer
        // pixels, which the resize stage takes for the last one (resize.h). Where
        // the orientation turns it to the front, the picture is reduced by a
        // factor that divides both sides instead, if any.
        const JDIMENSION width = d.cinfo.image_width;
        const JDIMENSION height = d.cinfo.image_height;
        if ((reversesColumns(d.orientation) && width % d.shrink != 0) ||
            (reversesRows(d.orientation) && height % d.shrink != 0)) {
            while (width % d.shrink != 0 || height % d.shrink != 0) {
                d.shrink /= 2;
            }
        }
        return true;
    } catch (const Error& e) {
        d.cxxError = e.what();
        return false;
    }
}

bool allocate(Decoder& d) {
    try {
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
    if (!checkSize(d)) {
        return false;
    }
    if (d.shrink > 1) {
        // libjpeg's scaled inverse DCT: each block drawn at 8 / shrink pixels a
        // side, the picture at ceil(side / shrink).
        d.cinfo.scale_num = 1;
        d.cinfo.scale_denom = d.shrink;
        jpeg_calc_output_dimensions(&d.cinfo);
    }
    jpeg_start_decompress(&d.cinfo);
    if (!allocate(d)) {
        return false;
    }
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        JSAMPROW row = d.picture.row(d.cinfo.output_scanline);
        jpeg_read_scanlines(&d.cinfo, &row, 1);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
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
bool withinCap(const jpeg_decompress_struct& cinfo) {
    try {
        checkPictureSize(cinfo.output_width, cinfo.output_height);
        return true;
    } catch (const Error&) {
        return false;  // the raster route reports it
    }
}

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
        !withinCap(d.cinfo)) {
        return false;
    }
    jpeg_start_decompress(&d.cinfo);
    if (!allocateYuv(d)) {
        return false;
    }
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

Picture decodeJpeg(Bytes data, const DecodeHint& hint) {
    Decoder d(hint);
    if (!run(d, data)) {
        throw Error(d.cxxError.empty() ? errorText(d.err) : d.cxxError);
    }
    d.picture.premultiplied = true;  // opaque: premultiplied and straight agree
    Picture picture{{}, {}};
    picture.meta.bitDepth = d.cinfo.data_precision;
    if (d.cinfo.out_color_space == JCS_CMYK) {
        // libjpeg hands Adobe CMYK over as Photoshop stores it: inverted, a
        // sample of 255 means no ink.
        colour::cmykToSrgb(d.picture, d.profile(), d.cinfo.saw_Adobe_marker);
    }
    picture.pixels = exif::applyOrientation(std::move(d.picture), d.orientation);
    if (d.shrink > 1) {
        const PixelSize full = uprightSize(d);
        picture.meta.fullWidth = full.width;
        picture.meta.fullHeight = full.height;
    }
    if (d.cinfo.out_color_space != JCS_CMYK) {
        const bool gray = d.cinfo.jpeg_color_space == JCS_GRAYSCALE;
        colour::adoptProfile(picture, d.profile(),
                             gray ? colour::SourceModel::Gray : colour::SourceModel::Rgb);
    }
    return picture;
}

}  // namespace imbrix::imaging::formats

namespace imbrix::imaging {

std::optional<YuvPicture> decodeJpegYuv420(Bytes data) {
    formats::YuvDecoder d;
    if (!formats::runYuv(d, data)) {
        return std::nullopt;
    }
    if (!colour::isSrgb(d.profile())) {
        const colour::ProfileSpace space = colour::profileSpace(d.profile());
        if (space == colour::ProfileSpace::Gray || space == colour::ProfileSpace::Cmyk) {
            return std::nullopt;  // the raster route resolves such a profile
        }
    }
    try {
        YuvPicture picture = formats::turnPlanes(std::move(d.picture), d.orientation);
        Picture adopted;
        colour::adoptProfile(adopted, d.profile(), colour::SourceModel::Rgb);
        picture.meta.icc = std::move(adopted.meta.icc);
        return picture;
    } catch (const std::bad_alloc&) {
        return std::nullopt;  // the raster route reports it
    }
}

}  // namespace imbrix::imaging
