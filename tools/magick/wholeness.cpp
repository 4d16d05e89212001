#include "tools/magick/wholeness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "platform/uniquefd.h"

namespace imbrix::magick {

namespace {

using namespace std::string_view_literals;

std::uint32_t le16(std::string_view d, std::size_t at) {
    return std::uint32_t{static_cast<unsigned char>(d[at])} |
           std::uint32_t{static_cast<unsigned char>(d[at + 1])} << 8;
}
std::uint32_t le32(std::string_view d, std::size_t at) {
    return le16(d, at) | le16(d, at + 2) << 16;
}
std::uint32_t be16(std::string_view d, std::size_t at) {
    return std::uint32_t{static_cast<unsigned char>(d[at])} << 8 |
           std::uint32_t{static_cast<unsigned char>(d[at + 1])};
}
std::uint32_t be32(std::string_view d, std::size_t at) {
    return be16(d, at) << 16 | be16(d, at + 2);
}
std::uint64_t be64(std::string_view d, std::size_t at) {
    return std::uint64_t{be32(d, at)} << 32 | be32(d, at + 4);
}
unsigned byteAt(std::string_view d, std::size_t at) {
    return static_cast<unsigned char>(d[at]);
}

bool startsWith(std::string_view d, std::string_view prefix) {
    return d.substr(0, prefix.size()) == prefix;
}

// A box or chunk type for a message: its letters, or "?" for anything else.
std::string typeName(std::string_view type) {
    std::string name;
    for (const char c : type) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
        name += plain ? c : '?';
    }
    return name;
}

std::string endsAfter(const std::string& what, std::uint64_t have, std::uint64_t need,
                      const char* unit = "bytes") {
    return what + " ends after " + std::to_string(have) + " of " + std::to_string(need) + " " +
           unit;
}

// --- PNG ---------------------------------------------------------------------------

std::string checkPng(std::string_view d) {
    if (!startsWith(d, "\x89PNG\r\n\x1a\n"sv)) {
        return "no PNG signature";
    }
    std::size_t pos = 8;
    bool imageData = false;
    for (bool first = true;; first = false) {
        if (d.size() - pos < 12) {
            return "the file ends before its IEND chunk";
        }
        const std::uint32_t length = be32(d, pos);
        const std::string_view type = d.substr(pos + 4, 4);
        if (first && (type != "IHDR" || length != 13)) {
            return "the file does not begin with an IHDR chunk";
        }
        if (length > d.size() - pos - 12) {
            return endsAfter("the " + typeName(type) + " chunk", d.size() - pos - 12, length);
        }
        pos += 12 + std::size_t{length};
        imageData = imageData || type == "IDAT";
        if (type == "IEND") {
            return imageData ? std::string() : "the file has no IDAT chunk";
        }
    }
}

// --- TGA ---------------------------------------------------------------------------

std::string checkTga(std::string_view d) {
    if (d.size() < 18) {
        return "the file ends inside its header";
    }
    const unsigned idLength = byteAt(d, 0);
    const unsigned mapType = byteAt(d, 1);
    const unsigned type = byteAt(d, 2);
    const std::uint64_t mapLength = le16(d, 5);
    const unsigned mapBits = byteAt(d, 7);
    const std::uint64_t width = le16(d, 12);
    const std::uint64_t height = le16(d, 14);
    const unsigned bits = byteAt(d, 16);
    const bool mapped = type == 1 || type == 9;
    const bool colour = type == 2 || type == 10;
    const bool gray = type == 3 || type == 11;
    if (mapType > 1 || !(mapped || colour || gray)) {
        return "the header names no image type";
    }
    if (width == 0 || height == 0) {
        return "the header gives no size";
    }
    const bool bitsFit =
        colour ? (bits == 15 || bits == 16 || bits == 24 || bits == 32) : (bits == 8 || bits == 16);
    if (!bitsFit) {
        return "the header gives " + std::to_string(bits) + " bits a pixel for its image type";
    }
    if (mapped && (mapType != 1 || mapLength == 0)) {
        return "the header names a colour map that is not there";
    }
    if (mapType == 1 && !(mapBits == 15 || mapBits == 16 || mapBits == 24 || mapBits == 32)) {
        return "the colour map has entries of " + std::to_string(mapBits) + " bits";
    }
    const std::uint64_t dataStart =
        18 + idLength + (mapType == 1 ? mapLength * ((mapBits + 7) / 8) : 0);
    if (dataStart > d.size()) {
        return "the file ends inside its colour map";
    }
    const std::uint64_t pixelBytes = (bits + 7) / 8;
    const std::uint64_t pixels = width * height;
    const std::uint64_t available = d.size() - dataStart;
    if (type < 9) {
        if (available < pixels * pixelBytes) {
            return endsAfter("the pixel data", available, pixels * pixelBytes);
        }
        return {};
    }
    // Run-length packets: a count byte, then one pixel (a run) or that many pixels.
    std::uint64_t pos = dataStart;
    std::uint64_t done = 0;
    while (done < pixels) {
        if (pos >= d.size()) {
            return endsAfter("the run-length data", done, pixels, "pixels");
        }
        const unsigned head = byteAt(d, pos++);
        const std::uint64_t count = (head & 0x7f) + 1;
        const std::uint64_t bytes = (head & 0x80) ? pixelBytes : count * pixelBytes;
        if (bytes > d.size() - pos) {
            return endsAfter("the run-length data", done, pixels, "pixels");
        }
        pos += bytes;
        done += count;
    }
    return {};
}

// --- BMP ---------------------------------------------------------------------------

// Run-length pixel data (RLE8, or RLE4 when `nibbles`), walked to its end mark.
std::string checkBmpRunLength(std::string_view d, std::size_t pos, bool nibbles) {
    while (true) {
        if (d.size() - pos < 2) {
            return "the run-length data ends before its end mark";
        }
        const unsigned count = byteAt(d, pos);
        const unsigned code = byteAt(d, pos + 1);
        pos += 2;
        if (count > 0 || code == 0) {
            continue;  // a run, or the end of a row
        }
        if (code == 1) {
            return {};  // the end of the picture
        }
        std::size_t skip = 2;  // code 2: a move, two bytes
        if (code > 2) {
            // That many pixels as they are, padded to an even number of bytes.
            skip = nibbles ? (code + 1) / 2 : code;
            skip += skip & 1;
        }
        if (skip > d.size() - pos) {
            return "the run-length data ends before its end mark";
        }
        pos += skip;
    }
}

std::string checkBmp(std::string_view d) {
    if (d.size() < 26 || !startsWith(d, "BM"sv)) {
        return "the file ends inside its header";
    }
    const std::uint64_t offset = le32(d, 10);
    const std::uint64_t headerSize = le32(d, 14);
    std::int64_t width = 0;
    std::int64_t height = 0;
    unsigned bits = 0;
    std::uint32_t compression = 0;
    std::uint64_t imageSize = 0;
    if (headerSize == 12) {
        width = le16(d, 18);
        height = static_cast<std::int16_t>(le16(d, 20));
        bits = le16(d, 24);
    } else if (headerSize >= 40 && d.size() >= 54) {
        width = static_cast<std::int32_t>(le32(d, 18));
        height = static_cast<std::int32_t>(le32(d, 22));
        bits = le16(d, 28);
        compression = le32(d, 30);
        imageSize = le32(d, 34);
    } else {
        return headerSize >= 40 ? "the file ends inside its header"
                                : "the header is of no known kind";
    }
    if (14 + headerSize > d.size()) {
        return "the file ends inside its header";
    }
    if (width <= 0 || height == 0) {
        return "the header gives no size";
    }
    if (offset < 14 + headerSize || offset > d.size()) {
        return "the pixel data would begin outside the file";
    }
    const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
    const std::uint64_t available = d.size() - offset;
    switch (compression) {
        case 0:    // plain rows
        case 3:    // bit fields
        case 6: {  // bit fields with alpha
            if (!(bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
                  bits == 32)) {
                return "the header gives " + std::to_string(bits) + " bits a pixel";
            }
            const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
            if (available < stride * rows) {
                return endsAfter("the pixel data", available, stride * rows);
            }
            return {};
        }
        case 1:
        case 2:
            return checkBmpRunLength(d, offset, compression == 2);
        case 4:  // JPEG
        case 5:  // PNG
            if (available < imageSize || imageSize == 0) {
                return endsAfter("the embedded picture", available, imageSize);
            }
            return {};
        default:
            return "the header names compression " + std::to_string(compression);
    }
}

// --- GIF ---------------------------------------------------------------------------

// Skips data sub-blocks (a length byte, that many bytes) up to the empty one.
bool skipSubBlocks(std::string_view d, std::size_t& pos) {
    while (pos < d.size()) {
        const std::size_t length = byteAt(d, pos++);
        if (length == 0) {
            return true;
        }
        if (length > d.size() - pos) {
            return false;
        }
        pos += length;
    }
    return false;
}

std::string checkGif(std::string_view d) {
    if (d.size() < 13 || !(startsWith(d, "GIF87a"sv) || startsWith(d, "GIF89a"sv))) {
        return "the file ends inside its header";
    }
    const unsigned screenFlags = byteAt(d, 10);
    std::size_t pos = 13;
    if (screenFlags & 0x80) {
        pos += 3u << ((screenFlags & 7) + 1);
    }
    std::size_t pictures = 0;
    const std::string cut = "the file ends before its trailer";
    while (true) {
        if (pos >= d.size()) {
            return cut;
        }
        const unsigned block = byteAt(d, pos++);
        if (block == 0x3b) {
            return pictures > 0 ? std::string() : "the file holds no picture";
        }
        if (block == 0x21) {  // an extension: its label, then sub-blocks
            ++pos;
            if (!skipSubBlocks(d, pos)) {
                return cut;
            }
        } else if (block == 0x2c) {  // a picture: descriptor, colour table, code size, data
            if (d.size() - pos < 10) {
                return cut;
            }
            const unsigned flags = byteAt(d, pos + 8);
            pos += 9;
            if (flags & 0x80) {
                pos += 3u << ((flags & 7) + 1);
            }
            ++pos;  // LZW minimum code size
            if (pos > d.size() || !skipSubBlocks(d, pos)) {
                return cut;
            }
            ++pictures;
        } else {
            return "a block of unknown kind (" + std::to_string(block) + ") follows picture " +
                   std::to_string(pictures);
        }
    }
}

// --- ICO ---------------------------------------------------------------------------

std::string checkIco(std::string_view d) {
    if (d.size() < 6 || le16(d, 0) != 0 || (le16(d, 2) != 1 && le16(d, 2) != 2)) {
        return "the file ends inside its header";
    }
    const std::size_t count = le16(d, 4);
    const std::size_t directoryEnd = 6 + 16 * count;
    if (count == 0) {
        return "the directory lists no picture";
    }
    if (directoryEnd > d.size()) {
        return "the file ends inside its directory";
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::string which = "picture " + std::to_string(i + 1);
        const std::size_t entry = 6 + 16 * i;
        const std::uint64_t size = le32(d, entry + 8);
        const std::uint64_t offset = le32(d, entry + 12);
        if (offset < directoryEnd || offset >= d.size() || size == 0) {
            return which + " lies outside the file";
        }
        if (size > d.size() - offset) {
            return endsAfter(which, d.size() - offset, size);
        }
        const std::string_view picture = d.substr(offset, size);
        if (startsWith(picture, "\x89PNG"sv)) {
            const std::string damage = checkPng(picture);
            if (!damage.empty()) {
                return which + ": " + damage;
            }
            continue;
        }
        if (picture.size() < 40 || le32(picture, 0) != 40) {
            return which + " is neither a PNG nor a bitmap";
        }
        // A bitmap of twice the height: the colour rows, then a 1-bit mask.
        const std::int64_t width = static_cast<std::int32_t>(le32(picture, 4));
        const std::int64_t height = static_cast<std::int32_t>(le32(picture, 8)) / 2;
        const unsigned bits = le16(picture, 14);
        const std::uint64_t used = le32(picture, 32);
        if (width <= 0 || height <= 0 || bits == 0 || bits > 32) {
            return which + " has no size";
        }
        const std::uint64_t palette = bits <= 8 ? (used != 0 ? used : 1u << bits) * 4 : 0;
        const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
        const std::uint64_t need = 40 + palette + stride * static_cast<std::uint64_t>(height);
        if (picture.size() < need) {
            return endsAfter(which, picture.size(), need);
        }
    }
    return {};
}

// --- WEBP --------------------------------------------------------------------------

std::string checkWebp(std::string_view d) {
    if (d.size() < 12 || !startsWith(d, "RIFF"sv) || d.substr(8, 4) != "WEBP") {
        return "the file ends inside its header";
    }
    const std::uint64_t riffSize = le32(d, 4);
    if (riffSize < 4 || riffSize > d.size() - 8) {
        return endsAfter("the RIFF data", d.size() - 8, riffSize);
    }
    const std::size_t end = static_cast<std::size_t>(8 + riffSize);
    std::size_t pos = 12;
    bool picture = false;
    while (pos < end) {
        if (end - pos < 8) {
            return "the RIFF data ends inside a chunk header";
        }
        const std::string_view type = d.substr(pos, 4);
        const std::uint64_t length = le32(d, pos + 4);
        if (length > end - pos - 8) {
            return endsAfter("the " + typeName(type) + " chunk", end - pos - 8, length);
        }
        picture = picture || type == "VP8 " || type == "VP8L" || type == "ANMF";
        pos += 8 + static_cast<std::size_t>(length);
        if ((length & 1) != 0 && pos < end) {
            ++pos;  // padding
        }
    }
    return picture ? std::string() : "the file holds no picture";
}

// --- ISO boxes (AVIF, JXL container, JP2) ------------------------------------------

struct Box {
    std::string_view type;
    std::string_view content;
};

// The top-level boxes, each complete; a box of size 0 runs to the end of the file.
std::string readBoxes(std::string_view d, std::vector<Box>& boxes) {
    std::size_t pos = 0;
    while (pos < d.size()) {
        if (d.size() - pos < 8) {
            return "the file ends inside a box header";
        }
        std::uint64_t size = be32(d, pos);
        const std::string_view type = d.substr(pos + 4, 4);
        std::size_t header = 8;
        if (size == 1) {
            if (d.size() - pos < 16) {
                return "the file ends inside a box header";
            }
            size = be64(d, pos + 8);
            header = 16;
        } else if (size == 0) {
            size = d.size() - pos;
        }
        if (size < header) {
            return "the '" + typeName(type) + "' box has an impossible size";
        }
        if (size > d.size() - pos) {
            return endsAfter("the '" + typeName(type) + "' box", d.size() - pos, size);
        }
        boxes.push_back({type, d.substr(pos + header, static_cast<std::size_t>(size) - header)});
        pos += static_cast<std::size_t>(size);
    }
    return {};
}

const Box* findBox(const std::vector<Box>& boxes, std::string_view type) {
    for (const Box& box : boxes) {
        if (box.type == type) {
            return &box;
        }
    }
    return nullptr;
}

std::string checkAvif(std::string_view d) {
    std::vector<Box> boxes;
    std::string damage = readBoxes(d, boxes);
    if (!damage.empty()) {
        return damage;
    }
    if (boxes.empty() || boxes.front().type != "ftyp") {
        return "the file does not begin with an ftyp box";
    }
    for (const char* type : {"meta", "mdat"}) {
        if (!findBox(boxes, type)) {
            return std::string("the file has no ") + type + " box";
        }
    }
    return {};
}

std::string checkJxl(std::string_view d) {
    if (startsWith(d, "\xff\x0a"sv)) {
        return {};  // a bare codestream: no lengths outside its entropy-coded data
    }
    std::vector<Box> boxes;
    std::string damage = readBoxes(d, boxes);
    if (!damage.empty()) {
        return damage;
    }
    if (!findBox(boxes, "jxlc") && !findBox(boxes, "jxlp")) {
        return "the container has no codestream box";
    }
    return {};
}

std::string checkJp2(std::string_view d) {
    std::vector<Box> boxes;
    std::string damage = readBoxes(d, boxes);
    if (!damage.empty()) {
        return damage;
    }
    const Box* codestream = findBox(boxes, "jp2c");
    if (!codestream) {
        return "the file has no codestream box";
    }
    const std::string_view c = codestream->content;
    if (!startsWith(c, "\xff\x4f\xff\x51"sv)) {
        return "the codestream does not begin with its SOC and SIZ markers";
    }
    if (c.size() < 6 || c.substr(c.size() - 2) != "\xff\xd9"sv) {
        return "the codestream ends before its EOC marker";
    }
    return {};
}

// --- PSD ---------------------------------------------------------------------------

std::string checkPsd(std::string_view d) {
    if (d.size() < 26 || !startsWith(d, "8BPS"sv)) {
        return "the file ends inside its header";
    }
    const unsigned version = be16(d, 4);
    const std::uint64_t channels = be16(d, 12);
    const std::uint64_t height = be32(d, 14);
    const std::uint64_t width = be32(d, 18);
    const unsigned depth = be16(d, 22);
    if ((version != 1 && version != 2) || channels == 0 || channels > 56 || width == 0 ||
        height == 0 || !(depth == 1 || depth == 8 || depth == 16 || depth == 32)) {
        return "the header is invalid";
    }
    const bool big = version == 2;
    std::size_t pos = 26;
    // Colour mode data, image resources, layers and masks: each a length and its bytes.
    for (const char* section : {"colour mode data", "image resources", "layer and mask data"}) {
        const bool wide = big && std::string_view(section) == "layer and mask data";
        const std::size_t lengthBytes = wide ? 8 : 4;
        if (d.size() - pos < lengthBytes) {
            return std::string("the file ends before its ") + section;
        }
        const std::uint64_t length = wide ? be64(d, pos) : be32(d, pos);
        pos += lengthBytes;
        if (length > d.size() - pos) {
            return endsAfter(std::string("the ") + section, d.size() - pos, length);
        }
        pos += static_cast<std::size_t>(length);
    }
    if (d.size() - pos < 2) {
        return "the file ends before its image data";
    }
    const unsigned compression = be16(d, pos);
    pos += 2;
    const std::uint64_t rows = channels * height;
    const std::uint64_t rowBytes = depth == 1 ? (width + 7) / 8 : width * (depth / 8);
    const std::uint64_t available = d.size() - pos;
    std::uint64_t need = 0;
    if (compression == 0) {
        need = rows * rowBytes;
    } else if (compression == 1) {
        // The size of every row, then the rows.
        const std::uint64_t countBytes = big ? 4 : 2;
        if (available < rows * countBytes) {
            return endsAfter("the image data's row sizes", available, rows * countBytes);
        }
        need = rows * countBytes;
        for (std::uint64_t row = 0; row < rows; ++row) {
            const std::size_t at = pos + static_cast<std::size_t>(row * countBytes);
            need += big ? be32(d, at) : be16(d, at);
        }
    } else if (compression == 2 || compression == 3) {
        need = 1;  // a deflate stream: its end is inside its data
    } else {
        return "the image data names compression " + std::to_string(compression);
    }
    if (available < need) {
        return endsAfter("the image data", available, need);
    }
    return {};
}

// --- PDF, SVG ----------------------------------------------------------------------

std::string checkPdf(std::string_view d) {
    const std::size_t tailStart = d.size() > 1024 ? d.size() - 1024 : 0;
    const std::string_view tail = d.substr(tailStart);
    const std::size_t eof = tail.rfind("%%EOF");
    if (eof == std::string_view::npos) {
        return "the file ends before its %%EOF mark";
    }
    const std::size_t mark = tail.rfind("startxref", eof);
    if (mark == std::string_view::npos) {
        return "the file gives no startxref offset";
    }
    std::size_t pos = mark + 9;
    while (pos < eof && (tail[pos] == ' ' || tail[pos] == '\r' || tail[pos] == '\n')) {
        ++pos;
    }
    std::uint64_t offset = 0;
    bool digits = false;
    while (pos < eof && tail[pos] >= '0' && tail[pos] <= '9' && offset < d.size()) {
        offset = offset * 10 + static_cast<std::uint64_t>(tail[pos++] - '0');
        digits = true;
    }
    if (!digits || offset >= d.size()) {
        return "the cross-reference offset lies outside the file";
    }
    // A table ("xref") or a cross-reference stream ("12 0 obj").
    const std::string_view at = d.substr(static_cast<std::size_t>(offset), 4);
    if (at != "xref" && !(at[0] >= '0' && at[0] <= '9')) {
        return "no cross-reference table where the file says";
    }
    return {};
}

std::string checkSvg(std::string_view d) {
    const std::size_t last = d.find_last_not_of(" \t\r\n");
    const std::string_view text = d.substr(0, last == std::string_view::npos ? 0 : last + 1);
    if (text.size() < 6 || (text.substr(text.size() - 6) != "</svg>" &&
                            (text.size() < 10 || text.substr(text.size() - 10) != "</svg:svg>"))) {
        return "the document ends before its closing </svg> tag";
    }
    return {};
}

}  // namespace

std::string findDamage(OutputFormat format, std::string_view data) {
    switch (format) {
        case OutputFormat::Png:
            return checkPng(data);
        case OutputFormat::Tga:
            return checkTga(data);
        case OutputFormat::Bmp:
            return checkBmp(data);
        case OutputFormat::Gif:
            return checkGif(data);
        case OutputFormat::Ico:
            return checkIco(data);
        case OutputFormat::Webp:
            return checkWebp(data);
        case OutputFormat::Avif:
            return checkAvif(data);
        case OutputFormat::Jxl:
            return checkJxl(data);
        case OutputFormat::Jp2:
            return checkJp2(data);
        case OutputFormat::Psd:
            return checkPsd(data);
        case OutputFormat::Pdf:
            return checkPdf(data);
        case OutputFormat::Svg:
            return checkSvg(data);
    }
    return {};
}

std::string findDamageInFile(OutputFormat format, const std::string& path) {
    // Read, not mapped: a file that shrinks while it is looked at ends the
    // reading early instead of raising SIGBUS.
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return std::system_category().message(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return "not a regular file";
    }
    if (st.st_size <= 0) {
        return "the file is empty";
    }
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t have = 0;
    while (have < data.size()) {
        const ssize_t got = ::read(fd.get(), data.data() + have, data.size() - have);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::system_category().message(errno);
        }
        if (got == 0) {
            break;
        }
        have += static_cast<std::size_t>(got);
    }
    data.resize(have);
    return findDamage(format, data);
}

}  // namespace imbrix::magick
