// JPEG encoder: libjpeg-turbo, reading BGRX rows straight from the raster.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputmeta.h"

namespace imbrix::imaging {

namespace {

constexpr std::size_t kOutputChunk = 64 * 1024;
constexpr JDIMENSION kRowsPerCall = 16;
// The most data one marker segment holds (its 16-bit length counts itself).
constexpr std::size_t kMaxSegment = 65533;
constexpr unsigned kApp1 = JPEG_APP0 + 1;
constexpr unsigned kApp13 = JPEG_APP0 + 13;

// A marker segment's data, ready before compression starts: nothing may be
// allocated where libjpeg can leave by longjmp.
struct Segment {
    unsigned marker;
    std::vector<JOCTET> data;
};

// EXIF, XMP, IPTC and the comment as marker segments, each after its
// identifying prefix. A part too large for one segment is left out: the
// standard XMP and EXIF have no continuation (the thumbnail, which makes EXIF
// large, is gone already), and a torn segment would make the file unreadable.
std::vector<Segment> descriptiveSegments(const formats::OutputMetadata& meta) {
    std::vector<Segment> segments;
    auto add = [&](unsigned marker, std::string_view prefix, Bytes data) {
        if (data.empty() || prefix.size() + data.size() > kMaxSegment) {
            return;
        }
        Segment segment{marker, std::vector<JOCTET>(prefix.begin(), prefix.end())};
        segment.data.insert(segment.data.end(), data.begin(), data.end());
        segments.push_back(std::move(segment));
    };
    using namespace std::string_view_literals;
    add(kApp1, "Exif\0\0"sv, meta.exif);
    add(kApp1, "http://ns.adobe.com/xap/1.0/\0"sv, meta.xmp);
    if (!meta.iptc.empty()) {
        add(kApp13, "Photoshop 3.0\0"sv, formats::iptcResourceBlock(meta.iptc));
    }
    const auto* comment = reinterpret_cast<const std::uint8_t*>(meta.comment.data());
    add(JPEG_COM, ""sv, Bytes(comment, meta.comment.size()));
    return segments;
}

struct JpegErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg sees a jpeg_error_mgr*
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
};

struct JpegDestination {
    jpeg_destination_mgr pub;  // first member: libjpeg sees a jpeg_destination_mgr*
    Sink* sink = nullptr;
    std::vector<JOCTET> buffer;
    std::exception_ptr sinkError;  // what the sink threw, rethrown after libjpeg unwound
};

extern "C" void onJpegError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

extern "C" void onJpegMessage(j_common_ptr, int) {}

bool flushToSink(JpegDestination& dest, std::size_t size) noexcept {
    try {
        dest.sink->write(dest.buffer.data(), size);
        return true;
    } catch (...) {
        dest.sinkError = std::current_exception();
        return false;
    }
}

void resetBuffer(JpegDestination& dest) {
    dest.pub.next_output_byte = dest.buffer.data();
    dest.pub.free_in_buffer = dest.buffer.size();
}

extern "C" void onInitDestination(j_compress_ptr cinfo) {
    resetBuffer(*reinterpret_cast<JpegDestination*>(cinfo->dest));
}

extern "C" boolean onEmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    // libjpeg expects the whole buffer to be taken, whatever free_in_buffer says.
    if (!flushToSink(*dest, dest->buffer.size())) {
        auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
        std::longjmp(err->jump, 1);
    }
    resetBuffer(*dest);
    return TRUE;
}

extern "C" void onTermDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    if (!flushToSink(*dest, dest->buffer.size() - dest->pub.free_in_buffer)) {
        auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
        std::longjmp(err->jump, 1);
    }
}

// Everything libjpeg may leave by longjmp happens in here; the only objects
// alive across setjmp are plain pointers and integers.
// `grayRows`: null for colour; for gray, room for kRowsPerCall rows of one
// byte per pixel, filled from the raster's green channel.
bool compress(jpeg_compress_struct& cinfo, JpegErrorManager& err, JpegDestination& dest,
              const Raster& raster, int quality, Bytes icc, const std::vector<Segment>& segments,
              JSAMPLE* grayRows, bool fullChroma) {
    if (setjmp(err.jump)) {
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest.pub;
    cinfo.image_width = raster.width();
    cinfo.image_height = raster.height();
    if (grayRows) {
        cinfo.input_components = 1;
        cinfo.in_color_space = JCS_GRAYSCALE;
    } else {
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_EXT_BGRX;  // the alpha byte is skipped
    }
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (!grayRows) {
        // 4:2:0: luma at full size, both chroma components halved each way
        // (4:4:4 when asked: all three at full size).
        cinfo.comp_info[0].h_samp_factor = fullChroma ? 1 : 2;
        cinfo.comp_info[0].v_samp_factor = fullChroma ? 1 : 2;
        for (int c = 1; c < 3; ++c) {
            cinfo.comp_info[c].h_samp_factor = 1;
            cinfo.comp_info[c].v_samp_factor = 1;
        }
    }
    cinfo.optimize_coding = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    // After the JFIF segment, before the frame: EXIF, XMP, the profile (split
    // over APP2 segments by libjpeg), IPTC and the comment.
    std::size_t next = 0;
    for (; next < segments.size() && segments[next].marker == kApp1; ++next) {
        jpeg_write_marker(&cinfo, static_cast<int>(segments[next].marker),
                          segments[next].data.data(),
                          static_cast<unsigned>(segments[next].data.size()));
    }
    if (!icc.empty()) {
        jpeg_write_icc_profile(&cinfo, icc.data(), static_cast<unsigned>(icc.size()));
    }
    for (; next < segments.size(); ++next) {
        jpeg_write_marker(&cinfo, static_cast<int>(segments[next].marker),
                          segments[next].data.data(),
                          static_cast<unsigned>(segments[next].data.size()));
    }
    JSAMPROW rows[kRowsPerCall];
    while (cinfo.next_scanline < cinfo.image_height) {
        const JDIMENSION count = std::min(kRowsPerCall, cinfo.image_height - cinfo.next_scanline);
        for (JDIMENSION i = 0; i < count; ++i) {
            const std::uint8_t* row = raster.row(cinfo.next_scanline + i);
            if (grayRows) {
                JSAMPLE* gray = grayRows + std::size_t{i} * raster.width();
                for (JDIMENSION x = 0; x < raster.width(); ++x) {
                    gray[x] = row[std::size_t{x} * 4 + kGreen];
                }
                rows[i] = gray;
            } else {
                // libjpeg only reads input rows.
                rows[i] = const_cast<JSAMPROW>(row);
            }
        }
        jpeg_write_scanlines(&cinfo, rows, count);
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

}  // namespace

namespace {

void encode(const Picture& picture, const EncodeOptions& options, Sink& out, bool gray) {
    const Raster& raster = picture.pixels;
    int quality = options.quality;
    if (raster.empty()) {
        throw Error("Cannot write JPEG: the picture has no pixels");
    }
    quality = std::clamp(quality, 1, 100);

    JpegErrorManager err;
    jpeg_compress_struct cinfo{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onJpegError;
    err.pub.emit_message = onJpegMessage;

    JpegDestination dest;
    dest.sink = &out;
    dest.buffer.resize(kOutputChunk);
    dest.pub.init_destination = onInitDestination;
    dest.pub.empty_output_buffer = onEmptyOutputBuffer;
    dest.pub.term_destination = onTermDestination;

    const formats::OutputMetadata meta =
        formats::prepareMetadata(picture.meta, raster.width(), raster.height());
    const std::vector<Segment> segments = descriptiveSegments(meta);
    std::vector<JSAMPLE> grayRows(gray ? std::size_t{kRowsPerCall} * raster.width() : 0);
    const bool ok = compress(cinfo, err, dest, raster, quality, meta.icc, segments,
                             gray ? grayRows.data() : nullptr, options.fullChroma);
    jpeg_destroy_compress(&cinfo);
    if (!ok) {
        if (dest.sinkError) {
            std::rethrow_exception(dest.sinkError);
        }
        throw Error(std::string("Cannot write JPEG: ") + err.message);
    }
}

}  // namespace

void encodeJpeg(const Picture& picture, const EncodeOptions& options, Sink& out) {
    encode(picture, options, out, false);
}

void encodeGrayJpeg(const Picture& picture, const EncodeOptions& options, Sink& out) {
    encode(picture, options, out, true);
}

}  // namespace imbrix::imaging
