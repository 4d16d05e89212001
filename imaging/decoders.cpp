// The two ways into the decoders: the picture loaders (by extension) and decode
// by content (by the first bytes). Both tables name every decoder in one place.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging {

namespace {

using DecodeFn = Raster (*)(Bytes);

struct PictureLoader {
    std::string_view extension;  // lower case, without its dot
    DecodeFn decode;
};

constexpr std::array kPictureLoaders = {
    PictureLoader{"bmp", formats::decodeBmp},  PictureLoader{"ico", formats::decodeIco},
    PictureLoader{"tif", formats::decodeTiff}, PictureLoader{"tiff", formats::decodeTiff},
    PictureLoader{"jpg", formats::decodeJpeg}, PictureLoader{"jpeg", formats::decodeJpeg},
    PictureLoader{"png", formats::decodePng},  PictureLoader{"gif", formats::decodeGif},
    PictureLoader{"svg", formats::decodeSvg},  PictureLoader{"webp", formats::decodeWebp},
    PictureLoader{"wmp", formats::decodeJxr},
};

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
    DecodeFn decode;
};

// The same decoders as the picture loaders, so one file decodes to the same
// pixels either way (JPEG and WEBP with their EXIF orientation, PNG without).
constexpr std::array kContentDecoders = {
    ContentDecoder{ContentFormat::Png, isPng, formats::decodePng},
    ContentDecoder{ContentFormat::Jpeg, isJpeg, formats::decodeJpeg},
    ContentDecoder{ContentFormat::Gif, isGif, formats::decodeGif},
    ContentDecoder{ContentFormat::Webp, isWebp, formats::decodeWebp},
    ContentDecoder{ContentFormat::Ico, isIco, formats::decodeIco},
    ContentDecoder{ContentFormat::Bmp, isBmp, formats::decodeBmp},
};

const PictureLoader* findLoader(std::string_view extension) {
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    for (const PictureLoader& loader : kPictureLoaders) {
        if (loader.extension == lower) {
            return &loader;
        }
    }
    return nullptr;
}

const PictureLoader& loaderFor(std::string_view extension) {
    const PictureLoader* loader = findLoader(extension);
    if (!loader) {
        throw Error("Unknown picture file extension (." + std::string(extension) + ")");
    }
    return *loader;
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

Raster decodeWithPictureLoader(std::string_view extension, Bytes data) {
    return loaderFor(extension).decode(data);
}

Raster loadPicture(const std::string& path) {
    const PictureLoader& loader = loaderFor(extensionOf(path));
    const FileBytes file(path);
    return loader.decode(file.bytes());
}

ContentFormat sniffContent(Bytes data) {
    for (const ContentDecoder& decoder : kContentDecoders) {
        if (decoder.matches(data)) {
            return decoder.format;
        }
    }
    return ContentFormat::Unknown;
}

Raster decodeByContent(Bytes data, std::string_view name) {
    const std::string prefix = "Cannot decode \"" + std::string(name) + "\": ";
    for (const ContentDecoder& decoder : kContentDecoders) {
        if (decoder.matches(data)) {
            try {
                return decoder.decode(data);
            } catch (const Error& e) {
                throw Error(prefix + e.what());
            }
        }
    }
    throw Error(prefix + "unknown or damaged image data");
}

}  // namespace imbrix::imaging
