// JPEG sources through libjpeg-turbo.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <string>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

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
struct ErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg sees only this
    std::jmp_buf jump;
    std::string message;
};

[[noreturn]] void onError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    err->message = "JPEG error #" + std::to_string(err->pub.msg_code);
    std::longjmp(err->jump, 1);
}

// Warnings (a premature end of data, a corrupt segment) are not failures; the
// library recovers as well as it can, and nothing goes to stderr.
void onMessage(j_common_ptr) {}

void onProgress(j_common_ptr cinfo) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxScans) {
        auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
        err->message = "JPEG error: more than " + std::to_string(kMaxScans) + " scans";
        std::longjmp(err->jump, 1);
    }
}

struct Decoder {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    jpeg_progress_mgr progress{};
    bool created = false;
    int orientation = 1;
    Raster picture;
    // Set when a C++ step (the size check, the allocation) failed.
    std::string cxxError;

    ~Decoder() {
        if (created) {
            jpeg_destroy_decompress(&cinfo);
        }
    }
};

void readOrientation(Decoder& d) {
    for (jpeg_saved_marker_ptr m = d.cinfo.marker_list; m; m = m->next) {
        if (m->marker == kApp1) {
            const int o = exif::orientation(Bytes(m->data, m->data_length));
            if (o != 1) {
                d.orientation = o;
                return;
            }
        }
    }
}

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
// d.err.message) or a failed C++ step (in d.cxxError).
bool run(Decoder& d, Bytes data) {
    d.cinfo.err = jpeg_std_error(&d.err.pub);
    d.err.pub.error_exit = onError;
    d.err.pub.output_message = onMessage;
    if (setjmp(d.err.jump)) {
        return false;
    }
    jpeg_create_decompress(&d.cinfo);
    d.created = true;
    d.progress.progress_monitor = onProgress;
    d.cinfo.progress = &d.progress;
    jpeg_mem_src(&d.cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_save_markers(&d.cinfo, kApp1, 0xFFFF);
    jpeg_read_header(&d.cinfo, TRUE);
    readOrientation(d);

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

}  // namespace

Raster decodeJpeg(Bytes data) {
    Decoder d;
    if (!run(d, data)) {
        throw Error(d.cxxError.empty() ? d.err.message : d.cxxError);
    }
    if (d.cinfo.out_color_space == JCS_CMYK) {
        cmykToBgra(d.picture, d.cinfo.saw_Adobe_marker);
    }
    d.picture.premultiplied = true;  // opaque: premultiplied and straight agree
    return exif::applyOrientation(std::move(d.picture), d.orientation);
}

}  // namespace imbrix::imaging::formats
