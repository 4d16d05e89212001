// The two ways into the decoders: the picture loaders (by extension, from the
// format table) and decode by content (by the first bytes).
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/fileformats.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging {

namespace {

using DecodeFn = Picture (*)(Bytes, const DecodeHint&);

// A decoder that always draws the picture at its own size: the hint is no use to it.
template <Picture (*decode)(Bytes)>
Picture fullSize(Bytes data, const DecodeHint&) {
    return decode(data);
}

// Our decoder for each kind of source; null for the converter's sources. The
// JPEG and WEBP decoders may draw the picture smaller for a resize.
DecodeFn decoderOf(SourceDecoder decoder) {
    switch (decoder) {
        case SourceDecoder::Bmp:
            return fullSize<formats::decodeBmp>;
        case SourceDecoder::Ico:
            return fullSize<formats::decodeIco>;
        case SourceDecoder::Tiff:
            return fullSize<formats::decodeTiff>;
        case SourceDecoder::Jpeg:
            return formats::decodeJpeg;
        case SourceDecoder::Png:
            return fullSize<formats::decodePng>;
        case SourceDecoder::Gif:
            return fullSize<formats::decodeGif>;
        case SourceDecoder::Svg:
            return fullSize<formats::decodeSvg>;
        case SourceDecoder::Webp:
            return formats::decodeWebp;
        case SourceDecoder::JpegXr:
            return fullSize<formats::decodeJxr>;
        case SourceDecoder::None:
        case SourceDecoder::Converter:
            return nullptr;
    }
    return nullptr;
}

bool startsWith(Bytes data, std::string_view magic) {
    return data.size() >= magic.size() && std::memcmp(data.data(), magic.data(), magic.size()) == 0;
}

bool isPng(Bytes d) {
    return startsWith(d, "\x89PNG\r\n\x1A\n");
}
bool isJpeg(Bytes d) {
    return startsWith(d, "\xFF\xD8\xFF");
}
bool isGif(Bytes d) {
    return startsWith(d, "GIF87a") || startsWith(d, "GIF89a");
}
bool isBmp(Bytes d) {
    return startsWith(d, "BM");
}
// Icons (type 1) and cursors (type 2), with at least one image.
bool isIco(Bytes d) {
    return d.size() >= 6 && d[0] == 0 && d[1] == 0 && (d[2] == 1 || d[2] == 2) && d[3] == 0 &&
           (d[4] != 0 || d[5] != 0);
}
bool isWebp(Bytes d) {
    return d.size() >= 12 && startsWith(d, "RIFF") && std::memcmp(d.data() + 8, "WEBP", 4) == 0;
}

struct ContentDecoder {
    ContentFormat format;
    bool (*matches)(Bytes);
    SourceDecoder decoder;
};

// The same decoders as the picture loaders, so one file decodes to the same
// pixels either way (JPEG and WEBP with their EXIF orientation, PNG without).
constexpr std::array kContentDecoders = {
    ContentDecoder{ContentFormat::Png, isPng, SourceDecoder::Png},
    ContentDecoder{ContentFormat::Jpeg, isJpeg, SourceDecoder::Jpeg},
    ContentDecoder{ContentFormat::Gif, isGif, SourceDecoder::Gif},
    ContentDecoder{ContentFormat::Webp, isWebp, SourceDecoder::Webp},
    ContentDecoder{ContentFormat::Ico, isIco, SourceDecoder::Ico},
    ContentDecoder{ContentFormat::Bmp, isBmp, SourceDecoder::Bmp},
};

// The picture loader of an extension (without its dot, any letter case): the
// format table's decoder for it, when the table registers it as a loader.
DecodeFn findLoader(std::string_view extension) {
    if (extension.empty() || extension.front() == '.') {
        return nullptr;
    }
    const FileFormat* format = findFormatByExtension(extension);
    return format && format->pictureLoader ? decoderOf(format->decoder) : nullptr;
}

DecodeFn loaderFor(std::string_view extension) {
    const DecodeFn loader = findLoader(extension);
    if (!loader) {
        throw Error("Unknown picture file extension (." + std::string(extension) + ")");
    }
    return loader;
}
// The extension of the file name in `path`: after the last dot of the last
// path component, empty when there is none.
std::string_view extensionOf(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
}

}  // namespace

bool hasPictureLoader(std::string_view extension) {
    return findLoader(extension) != nullptr;
}

Picture decodePicture(std::string_view extension, Bytes data, const DecodeHint& hint) {
    return loaderFor(extension)(data, hint);
}

Raster decodeWithPictureLoader(std::string_view extension, Bytes data) {
    return decodePicture(extension, data).pixels;
}

Picture loadPictureWithProfile(const std::string& path) {
    const DecodeFn loader = loaderFor(extensionOf(path));
    const FileBytes file(path);
    return loader(file.bytes(), {});
}

Raster loadPicture(const std::string& path) {
    return loadPictureWithProfile(path).pixels;
}

ContentFormat sniffContent(Bytes data) {
    for (const ContentDecoder& decoder : kContentDecoders) {
        if (decoder.matches(data)) {
            return decoder.format;
        }
    }
    return ContentFormat::Unknown;
}

Picture decodePictureByContent(Bytes data, std::string_view name, const DecodeHint& hint) {
    const std::string prefix = "Cannot decode \"" + std::string(name) + "\": ";
    for (const ContentDecoder& decoder : kContentDecoders) {
        if (decoder.matches(data)) {
            try {
                Picture picture = decoderOf(decoder.decoder)(data, hint);
                picture.meta.decodedByContent = decoder.format;
                return picture;
            } catch (const Error& e) {
                throw Error(prefix + e.what());
            }
        }
    }
    throw Error(prefix + "unknown or damaged image data");
}

Raster decodeByContent(Bytes data, std::string_view name) {
    return decodePictureByContent(data, name).pixels;
}

}  // namespace imbrix::imaging
