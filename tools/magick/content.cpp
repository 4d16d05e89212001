#include "tools/magick/content.h"

#include <zlib.h>

#include <algorithm>

namespace imbrix::magick {

namespace {

using namespace std::string_view_literals;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::uint64_t byteAt(std::string_view d, std::size_t at) {
    return static_cast<unsigned char>(d[at]);
}
std::uint64_t le16(std::string_view d, std::size_t at) {
    return byteAt(d, at) | byteAt(d, at + 1) << 8;
}
std::uint64_t le32(std::string_view d, std::size_t at) {
    return le16(d, at) | le16(d, at + 2) << 16;
}
std::uint64_t be16(std::string_view d, std::size_t at) {
    return byteAt(d, at) << 8 | byteAt(d, at + 1);
}
std::uint64_t be32(std::string_view d, std::size_t at) {
    return be16(d, at) << 16 | be16(d, at + 2);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

enum class Answer { Yes, No, Unfinished };

// XML text whose root element is <svg> (with or without a namespace prefix),
// after an optional byte-order mark, XML declaration, processing instructions,
// comments and a document type with its internal subset, however long.
Answer looksLikeSvg(std::string_view head) {
    std::string narrow;
    if (startsWith(head, "\xef\xbb\xbf"sv)) {
        head.remove_prefix(3);
    } else if (startsWith(head, "\xff\xfe"sv) || startsWith(head, "\xfe\xff"sv)) {
        // UTF-16: the markup that matters here is ASCII, one byte of each pair.
        const std::size_t low = head[0] == '\xff' ? 2 : 3;
        for (std::size_t i = low; i < head.size(); i += 2) {
            const std::size_t pair = low == 2 ? i + 1 : i - 1;
            if (pair >= head.size()) {
                break;
            }
            narrow += head[pair] == '\0' ? head[i] : '\x01';
        }
        head = narrow;
    }
    std::size_t pos = 0;
    while (true) {
        while (pos < head.size() && isSpace(head[pos])) {
            ++pos;
        }
        if (pos >= head.size()) {
            return Answer::Unfinished;
        }
        const std::string_view rest = head.substr(pos);
        if (rest[0] != '<') {
            return Answer::No;
        }
        std::size_t end = std::string_view::npos;
        if (startsWith(rest, "<?"sv)) {
            end = rest.find("?>");
            end = end == std::string_view::npos ? end : end + 2;
        } else if (startsWith(rest, "<!--"sv)) {
            end = rest.find("-->", 4);
            end = end == std::string_view::npos ? end : end + 3;
        } else if (startsWith(rest, "<!DOCTYPE"sv)) {
            // Up to the '>' outside quotes and outside the internal subset,
            // whose comments may hold anything.
            char quote = 0;
            bool subset = false;
            for (std::size_t i = 9; i < rest.size(); ++i) {
                const char c = rest[i];
                if (quote) {
                    quote = c == quote ? 0 : quote;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (subset && startsWith(rest.substr(i), "<!--"sv)) {
                    const std::size_t close = rest.find("-->", i + 4);
                    if (close == std::string_view::npos) {
                        break;
                    }
                    i = close + 2;
                } else if (c == '[') {
                    subset = true;
                } else if (c == ']') {
                    subset = false;
                } else if (c == '>' && !subset) {
                    end = i + 1;
                    break;
                }
            }
        } else if (startsWith(rest, "<!"sv)) {
            return Answer::No;
        } else {
            // The root element: its name up to a space, '>' or '/'.
            std::size_t i = 1;
            while (i < rest.size() && !isSpace(rest[i]) && rest[i] != '>' && rest[i] != '/') {
                ++i;
            }
            if (i >= rest.size()) {
                return Answer::Unfinished;
            }
            std::string_view name = rest.substr(1, i - 1);
            const std::size_t colon = name.find(':');
            if (colon != std::string_view::npos) {
                name.remove_prefix(colon + 1);
            }
            return name == "svg" ? Answer::Yes : Answer::No;
        }
        if (end == std::string_view::npos) {
            return Answer::Unfinished;
        }
        pos += end;
    }
}

// The start of a gzip stream, inflated up to kHeadSize bytes.
std::string inflateHead(std::string_view head) {
    std::string out(kHeadSize, '\0');
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) {
        return {};
    }
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(head.data()));
    zs.avail_in = static_cast<uInt>(head.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    inflate(&zs, Z_SYNC_FLUSH);
    out.resize(out.size() - zs.avail_out);
    inflateEnd(&zs);
    return out;
}

// A TGA header that names an image type, a size and a pixel depth that fit.
bool soundTgaHeader(std::string_view d) {
    if (d.size() < 18) {
        return false;
    }
    const auto mapType = byteAt(d, 1);
    const auto type = byteAt(d, 2);
    const auto bits = byteAt(d, 16);
    const bool mapped = type == 1 || type == 9;
    const bool colour = type == 2 || type == 10;
    const bool gray = type == 3 || type == 11;
    if (mapType > 1 || !(mapped || colour || gray) || (mapped && mapType != 1)) {
        return false;
    }
    if (le16(d, 12) == 0 || le16(d, 14) == 0) {
        return false;
    }
    return colour ? (bits == 15 || bits == 16 || bits == 24 || bits == 32)
                  : (bits == 8 || bits == 16);
}

// ISO base media files: the brands of the "ftyp" box say HEIC or AVIF.
SourceKind isoKind(std::string_view head) {
    if (head.size() < 16 || head.substr(4, 4) != "ftyp") {
        return SourceKind::Unknown;
    }
    const std::size_t size = std::min<std::size_t>(be32(head, 0), head.size());
    bool heic = false;
    for (std::size_t at = 8; at + 4 <= size; at += 4) {
        if (at == 12) {
            continue;  // the minor version
        }
        const std::string_view brand = head.substr(at, 4);
        if (brand == "avif" || brand == "avis") {
            return SourceKind::Avif;
        }
        heic = heic || brand == "heic" || brand == "heix" || brand == "hevc" || brand == "hevx" ||
               brand == "heim" || brand == "heis" || brand == "mif1" || brand == "msf1";
    }
    return heic ? SourceKind::Heic : SourceKind::Unknown;
}

// The width and height tags of the first directory of a TIFF-like file (TIFF,
// or JPEG XR with its own tags).
std::optional<PictureSize> ifdSize(std::string_view d, unsigned widthTag, unsigned heightTag) {
    if (d.size() < 8) {
        return std::nullopt;
    }
    const bool little = d[0] == 'I';
    const auto u16 = [&](std::size_t at) { return little ? le16(d, at) : be16(d, at); };
    const auto u32 = [&](std::size_t at) { return little ? le32(d, at) : be32(d, at); };
    const std::uint64_t ifd = u32(4);
    if (ifd + 2 > d.size()) {
        return std::nullopt;
    }
    const std::uint64_t count = u16(ifd);
    PictureSize size;
    for (std::uint64_t i = 0; i < count && ifd + 2 + i * 12 + 12 <= d.size(); ++i) {
        const std::size_t entry = ifd + 2 + i * 12;
        const auto tag = u16(entry);
        const auto type = u16(entry + 2);
        // SHORT values sit in the first two bytes of the value field, LONG in all four.
        const std::uint64_t value = type == 3   ? u16(entry + 8)
                                    : type == 1 ? byteAt(d, entry + 8)
                                                : u32(entry + 8);
        if (tag == widthTag) {
            size.width = value;
        } else if (tag == heightTag) {
            size.height = value;
        }
    }
    if (size.width == 0 && size.height == 0) {
        return std::nullopt;
    }
    return size;
}

// The markers of a JPEG walked up to its first frame header (SOFn): where
// that header starts, and whether an ICC profile segment came before it.
struct JpegFrame {
    std::size_t at;
    bool profile;
};
std::optional<JpegFrame> jpegFrame(std::string_view d) {
    constexpr std::string_view kIcc("ICC_PROFILE\0", 12);
    bool profile = false;
    std::size_t pos = 2;
    while (pos + 4 <= d.size()) {
        if (byteAt(d, pos) != 0xff) {
            return std::nullopt;
        }
        const auto marker = byteAt(d, pos + 1);
        if (marker == 0xff) {
            ++pos;  // fill byte
            continue;
        }
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            pos += 2;
            continue;
        }
        const std::uint64_t length = be16(d, pos + 2);
        const bool frame =
            marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            return JpegFrame{pos, profile};
        }
        if (length < 2) {
            return std::nullopt;
        }
        profile = profile || (marker == 0xe2 && d.substr(pos + 4, kIcc.size()) == kIcc);
        pos += 2 + length;
    }
    return std::nullopt;
}

std::optional<PictureSize> jpegSize(std::string_view d) {
    const std::optional<JpegFrame> frame = jpegFrame(d);
    if (!frame || frame->at + 9 > d.size()) {
        return std::nullopt;
    }
    return PictureSize{be16(d, frame->at + 7), be16(d, frame->at + 5)};
}

}  // namespace

SourceKind classifySource(std::string_view head, std::string_view extension) {
    if (startsWith(head, "\xff\x0a"sv) || startsWith(head, "\0\0\0\x0cJXL \r\n\x87\n"sv)) {
        return SourceKind::JpegXl;
    }
    if (startsWith(head, "II\xbc"sv)) {
        return SourceKind::JpegXr;
    }
    if (startsWith(head, "\xff\xd8\xff"sv)) {
        return SourceKind::Jpeg;
    }
    if (startsWith(head, "\x89PNG\r\n\x1a\n"sv)) {
        return SourceKind::Png;
    }
    if (startsWith(head, "GIF87a"sv) || startsWith(head, "GIF89a"sv)) {
        return SourceKind::Gif;
    }
    if (startsWith(head, "8BPS\0\x01"sv) || startsWith(head, "8BPS\0\x02"sv)) {
        return SourceKind::Psd;
    }
    if (startsWith(head, "\0\0\0\x0cjP  \r\n\x87\n"sv)) {
        return SourceKind::Jp2;
    }
    if (startsWith(head, "\xff\x4f\xff\x51"sv)) {
        return SourceKind::J2k;
    }
    if (startsWith(head, "II*\0"sv) || startsWith(head, "MM\0*"sv) || startsWith(head, "II+\0"sv) ||
        startsWith(head, "MM\0+"sv)) {
        return SourceKind::Tiff;
    }
    if (head.size() >= 16 && startsWith(head, "RIFF"sv) && head.substr(8, 4) == "WEBP") {
        return SourceKind::Webp;
    }
    if (const SourceKind iso = isoKind(head); iso != SourceKind::Unknown) {
        return iso;
    }
    // "BM" and a DIB header size that a bitmap has.
    if (head.size() >= 18 && startsWith(head, "BM"sv)) {
        const auto dib = le32(head, 14);
        if (dib == 12 || dib == 16 || dib == 40 || dib == 52 || dib == 56 || dib == 64 ||
            dib == 108 || dib == 124) {
            return SourceKind::Bmp;
        }
    }
    // An icon directory: reserved 0, type 1, at least one picture.
    if (head.size() >= 22 && startsWith(head, "\0\0\x01\0"sv) && le16(head, 4) > 0 &&
        byteAt(head, 9) == 0) {
        return SourceKind::Ico;
    }
    const bool svgName = extension == ".svg" || extension == ".svgz";
    const bool gzip = startsWith(head, "\x1f\x8b"sv);
    const Answer svg = looksLikeSvg(gzip ? std::string_view(inflateHead(head)) : head);
    if (svg == Answer::Yes || (svg == Answer::Unfinished && svgName)) {
        return SourceKind::Svg;
    }
    if (extension == ".tga" && soundTgaHeader(head)) {
        return SourceKind::Tga;
    }
    // What starts as XML (or is compressed) under an SVG name: librsvg says what is wrong.
    if (svgName && (gzip || head.find('<') != std::string_view::npos)) {
        const auto first = head.find_first_not_of(" \t\r\n\xef\xbb\xbf");
        if (gzip || (first != std::string_view::npos && head[first] == '<')) {
            return SourceKind::Svg;
        }
    }
    return SourceKind::Unknown;
}

std::string_view magickCoder(SourceKind kind) {
    switch (kind) {
        case SourceKind::Jpeg:
            return "jpeg";
        case SourceKind::Png:
            return "png";
        case SourceKind::Gif:
            return "gif";
        case SourceKind::Bmp:
            return "bmp";
        case SourceKind::Ico:
            return "ico";
        case SourceKind::Tiff:
            return "tiff";
        case SourceKind::Webp:
            return "webp";
        case SourceKind::Psd:
            return "psd";
        case SourceKind::Jp2:
            return "jp2";
        case SourceKind::J2k:
            return "j2k";
        case SourceKind::Heic:
            return "heic";
        case SourceKind::Avif:
            return "avif";
        case SourceKind::Tga:
            return "tga";
        default:
            return {};
    }
}

std::string_view kindName(SourceKind kind) {
    switch (kind) {
        case SourceKind::JpegXl:
            return "JPEG XL";
        case SourceKind::Svg:
            return "SVG";
        case SourceKind::JpegXr:
            return "JPEG XR";
        case SourceKind::Jpeg:
            return "JPEG";
        case SourceKind::Png:
            return "PNG";
        case SourceKind::Gif:
            return "GIF";
        case SourceKind::Bmp:
            return "BMP";
        case SourceKind::Ico:
            return "ICO";
        case SourceKind::Tiff:
            return "TIFF";
        case SourceKind::Webp:
            return "WEBP";
        case SourceKind::Psd:
            return "PSD";
        case SourceKind::Jp2:
        case SourceKind::J2k:
            return "JPEG 2000";
        case SourceKind::Heic:
            return "HEIC";
        case SourceKind::Avif:
            return "AVIF";
        case SourceKind::Tga:
            return "TGA";
        case SourceKind::Unknown:
            break;
    }
    return "unknown";
}

std::optional<PictureSize> headerSize(SourceKind kind, std::string_view d) {
    switch (kind) {
        case SourceKind::Png:
            if (d.size() >= 24) {
                return PictureSize{be32(d, 16), be32(d, 20)};
            }
            break;
        case SourceKind::Gif:
            if (d.size() >= 10) {
                return PictureSize{le16(d, 6), le16(d, 8)};
            }
            break;
        case SourceKind::Psd:
            if (d.size() >= 22) {
                return PictureSize{be32(d, 18), be32(d, 14)};
            }
            break;
        case SourceKind::Tga:
            if (d.size() >= 18) {
                return PictureSize{le16(d, 12), le16(d, 14)};
            }
            break;
        case SourceKind::Bmp:
            if (d.size() >= 26) {
                if (le32(d, 14) == 12) {
                    return PictureSize{le16(d, 18), le16(d, 20)};
                }
                // The height is negative for rows stored top down.
                const auto height = static_cast<std::int32_t>(le32(d, 22));
                const auto width = static_cast<std::int32_t>(le32(d, 18));
                const auto magnitude = [](std::int32_t v) {
                    return v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(std::int64_t{v})
                                 : static_cast<std::uint64_t>(v);
                };
                return PictureSize{magnitude(width), magnitude(height)};
            }
            break;
        case SourceKind::Jpeg:
            return jpegSize(d);
        case SourceKind::Webp:
            if (d.size() >= 30 && d.substr(12, 4) == "VP8X") {
                return PictureSize{(le32(d, 24) & 0xffffff) + 1, (le32(d, 27) & 0xffffff) + 1};
            }
            if (d.size() >= 25 && d.substr(12, 4) == "VP8L") {
                const std::uint64_t bits = le32(d, 21);
                return PictureSize{(bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1};
            }
            if (d.size() >= 30 && d.substr(12, 4) == "VP8 ") {
                return PictureSize{le16(d, 26) & 0x3fff, le16(d, 28) & 0x3fff};
            }
            break;
        case SourceKind::Jp2:
        case SourceKind::J2k: {
            // The codestream's SIZ segment: the reference grid less its offset.
            const std::size_t siz = d.find("\xff\x4f\xff\x51"sv);
            if (siz != std::string_view::npos && siz + 24 <= d.size()) {
                const std::uint64_t xsiz = be32(d, siz + 8);
                const std::uint64_t ysiz = be32(d, siz + 12);
                const std::uint64_t xo = be32(d, siz + 16);
                const std::uint64_t yo = be32(d, siz + 20);
                return PictureSize{xsiz > xo ? xsiz - xo : 0, ysiz > yo ? ysiz - yo : 0};
            }
            break;
        }
        case SourceKind::Heic:
        case SourceKind::Avif: {
            // Every image spatial extent property ("ispe"): the largest counts.
            std::optional<PictureSize> largest;
            for (std::size_t at = d.find("ispe");
                 at != std::string_view::npos && at + 16 <= d.size(); at = d.find("ispe", at + 4)) {
                const PictureSize size{be32(d, at + 8), be32(d, at + 12)};
                if (!largest || size.width * size.height > largest->width * largest->height) {
                    largest = size;
                }
            }
            return largest;
        }
        case SourceKind::Tiff:
            if (startsWith(d, "II*\0"sv) || startsWith(d, "MM\0*"sv)) {
                return ifdSize(d, 256, 257);
            }
            break;
        case SourceKind::JpegXr:
            return ifdSize(d, 0xbc80, 0xbc81);
        default:
            break;
    }
    return std::nullopt;
}

bool jpegIsCmykWithoutProfile(std::string_view head) {
    if (!startsWith(head, "\xff\xd8"sv)) {
        return false;
    }
    // The frame header's component count: 4 for CMYK and YCCK.
    const std::optional<JpegFrame> frame = jpegFrame(head);
    return frame && frame->at + 9 < head.size() && byteAt(head, frame->at + 9) == 4 &&
           !frame->profile;
}

bool heifHasIccProfile(std::string_view d) {
    // Every colour property: its type follows the box header.
    for (std::size_t at = d.find("colr"); at != std::string_view::npos && at + 8 <= d.size();
         at = d.find("colr", at + 4)) {
        const std::string_view type = d.substr(at + 4, 4);
        if (type == "prof" || type == "rICC") {
            return true;
        }
    }
    return false;
}

std::optional<std::uint64_t> countGifFrames(std::istream& in, std::uint64_t cap) {
    char header[13];
    if (!in.read(header, sizeof header)) {
        return std::nullopt;
    }
    const std::string_view h(header, sizeof header);
    if (!startsWith(h, "GIF87a"sv) && !startsWith(h, "GIF89a"sv)) {
        return std::nullopt;
    }
    const auto flags = byteAt(h, 10);
    if (flags & 0x80) {
        in.ignore(3 * (std::streamsize{2} << (flags & 7)));
    }
    // Sub-blocks up to their terminator; false when the stream ends first.
    const auto skipSubBlocks = [&in] {
        while (true) {
            const int length = in.get();
            if (length == std::char_traits<char>::eof()) {
                return false;
            }
            if (length == 0) {
                return true;
            }
            in.ignore(length);
        }
    };
    std::uint64_t frames = 0;
    while (frames <= cap) {
        const int block = in.get();
        if (block == 0x2c) {
            char descriptor[9];
            if (!in.read(descriptor, sizeof descriptor)) {
                break;
            }
            const auto local = static_cast<unsigned char>(descriptor[8]);
            if (local & 0x80) {
                in.ignore(3 * (std::streamsize{2} << (local & 7)));
            }
            in.get();  // the LZW minimum code size
            ++frames;
            if (!skipSubBlocks()) {
                break;
            }
        } else if (block == 0x21) {
            in.get();  // the extension's label
            if (!skipSubBlocks()) {
                break;
            }
        } else {
            break;  // the trailer, or damage: the reader says which
        }
    }
    if (frames == 0) {
        return std::nullopt;
    }
    return frames;
}

}  // namespace imbrix::magick
