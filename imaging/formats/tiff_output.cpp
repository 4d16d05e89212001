// TIFF encoder: libtiff writing into a growable memory file, then to the sink.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputmeta.h"
#include "imaging/metadata.h"

namespace imbrix::imaging {

namespace {

// LZW works on whole strips; about 64 KB of pixels per strip keeps its tables
// warm without holding much memory.
constexpr std::size_t kStripBytes = 64 * 1024;

// libtiff seeks back to patch offsets, so the file is assembled in memory.
struct MemoryFile {
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
    std::string error;  // first error libtiff reported
};

extern "C" tmsize_t onTiffRead(thandle_t handle, void* data, tmsize_t size) {
    auto* file = static_cast<MemoryFile*>(handle);
    if (size < 0 || file->position >= file->bytes.size()) {
        return 0;
    }
    const std::size_t n =
        std::min(static_cast<std::size_t>(size), file->bytes.size() - file->position);
    std::memcpy(data, file->bytes.data() + file->position, n);
    file->position += n;
    return static_cast<tmsize_t>(n);
}

extern "C" tmsize_t onTiffWrite(thandle_t handle, void* data, tmsize_t size) {
    auto* file = static_cast<MemoryFile*>(handle);
    if (size < 0) {
        return -1;
    }
    const auto n = static_cast<std::size_t>(size);
    try {
        if (file->position + n > file->bytes.size()) {
            file->bytes.resize(file->position + n);
        }
    } catch (...) {  // out of memory: libtiff sees a failed write
        return -1;
    }
    std::memcpy(file->bytes.data() + file->position, data, n);
    file->position += n;
    return size;
}

extern "C" toff_t onTiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) {
        base = file->position;
    } else if (whence == SEEK_END) {
        base = file->bytes.size();
    }
    const std::uint64_t target = base + offset;
    if (target > std::numeric_limits<std::uint32_t>::max()) {  // classic TIFF stays under 4 GB
        return static_cast<toff_t>(-1);
    }
    // Seeking past the end is allowed; the gap is filled by the next write.
    file->position = static_cast<std::size_t>(target);
    return target;
}

extern "C" int onTiffClose(thandle_t) {
    return 0;
}

extern "C" toff_t onTiffSize(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->bytes.size();
}

extern "C" int onTiffMap(thandle_t, void**, toff_t*) {
    return 0;
}

extern "C" void onTiffUnmap(thandle_t, void*, toff_t) {}

extern "C" int onTiffError(TIFF*, void* user, const char* module, const char* format,
                           va_list args) {
    auto* file = static_cast<MemoryFile*>(user);
    if (file->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        file->error = text;
        if (file->error.empty() && module) {
            file->error = module;
        }
    }
    return 1;  // handled: the process-wide handler is not called
}

extern "C" int onTiffWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
struct OptionsFreer {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

[[noreturn]] void failed(const MemoryFile& file) {
    throw Error("Cannot write TIFF: " +
                (file.error.empty() ? std::string("libtiff failed") : file.error));
}

}  // namespace

void encodeTiff(const Picture& picture, const EncodeOptions& /*options*/, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty()) {
        throw Error("Cannot write TIFF: the picture has no pixels");
    }
    const formats::OutputMetadata meta =
        formats::prepareMetadata(picture.meta, raster.width(), raster.height());
    MemoryFile file;
    {
        std::unique_ptr<TIFFOpenOptions, OptionsFreer> options(TIFFOpenOptionsAlloc());
        if (!options) {
            throw Error("Cannot write TIFF: not enough memory");
        }
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onTiffError, &file);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onTiffWarning, &file);
        std::unique_ptr<TIFF, TiffCloser> tif(
            TIFFClientOpenExt("picture.tif", "w", &file, onTiffRead, onTiffWrite, onTiffSeek,
                              onTiffClose, onTiffSize, onTiffMap, onTiffUnmap, options.get()));
        if (!tif) {
            failed(file);
        }
        TIFF* t = tif.get();
        const std::uint32_t width = raster.width();
        const std::size_t rowBytes = std::size_t{width} * 3;
        const auto rowsPerStrip = static_cast<std::uint32_t>(
            std::clamp<std::size_t>(kStripBytes / rowBytes, 1, raster.height()));
        const bool tagsSet = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) &&
                             TIFFSetField(t, TIFFTAG_IMAGELENGTH, raster.height()) &&
                             TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) &&
                             TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3) &&
                             TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
                             TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                             TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
                             TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
                             TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
                             TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
                             TIFFSetField(t, TIFFTAG_XRESOLUTION, 96.0) &&
                             TIFFSetField(t, TIFFTAG_YRESOLUTION, 96.0) &&
                             TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        if (!tagsSet) {
            failed(file);
        }
        if (!meta.icc.empty() &&
            !TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(meta.icc.size()),
                          meta.icc.data())) {
            failed(file);
        }
        // Colour values go out as they are; the alpha byte is dropped.
        std::vector<std::uint8_t> rgb(rowBytes);
        for (std::uint32_t y = 0; y < raster.height(); ++y) {
            const std::uint8_t* p = raster.row(y);
            std::uint8_t* q = rgb.data();
            for (std::uint32_t x = 0; x < width; ++x, p += 4, q += 3) {
                q[0] = p[kRed];
                q[1] = p[kGreen];
                q[2] = p[kBlue];
            }
            if (TIFFWriteScanline(t, rgb.data(), y, 0) < 0) {
                failed(file);
            }
        }
        if (!TIFFFlush(t)) {
            failed(file);
        }
    }  // TIFFClose writes nothing more after a successful flush
    if (!file.error.empty()) {
        failed(file);
    }
    if (!meta.exif.empty() || !meta.xmp.empty() || !meta.iptc.empty()) {
        // libtiff writes the pixels and the profile; exiv2 then adds the tags it
        // knows how to lay out (EXIF and GPS directories, XMP, IPTC) around them.
        // TIFF has no comment field of its own; it goes nowhere.
        const std::vector<std::uint8_t> tagged =
            metadata::writeIntoTiff(file.bytes, meta.exif, meta.xmp, meta.iptc);
        out.write(tagged.data(), tagged.size());
        return;
    }
    out.write(file.bytes.data(), file.bytes.size());
}

}  // namespace imbrix::imaging
