#include "tools/magick/content.h"

namespace imbrix::magick {

namespace {

using namespace std::string_view_literals;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// XML text whose first element is <svg ...>, after an optional byte-order mark,
// XML declaration, comments and document type.
bool looksLikeSvg(std::string_view head) {
    if (startsWith(head, "\xef\xbb\xbf"sv)) {
        head.remove_prefix(3);
    }
    const auto first = head.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || head[first] != '<') {
        return false;
    }
    head.remove_prefix(first);
    for (std::size_t pos = 0; (pos = head.find('<', pos)) != std::string_view::npos; ++pos) {
        const std::string_view tag = head.substr(pos);
        if (startsWith(tag, "<?"sv) || startsWith(tag, "<!"sv)) {
            continue;  // declaration, comment or document type
        }
        return startsWith(tag, "<svg"sv) || startsWith(tag, "<svg:svg"sv);
    }
    return false;
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
    if (looksLikeSvg(head)) {
        return SourceKind::Svg;
    }
    // No signature we know: a damaged file of these kinds gets its own reader's message.
    // TGA has no signature at all.
    if (extension == ".tga") {
        return SourceKind::Tga;
    }
    if (extension == ".svg" || extension == ".svgz") {
        return SourceKind::Svg;
    }
    if (extension == ".jxl") {
        return SourceKind::JpegXl;
    }
    if (extension == ".wmp" || extension == ".wdp" || extension == ".jxr" || extension == ".hdp") {
        return SourceKind::JpegXr;
    }
    return SourceKind::Other;
}

}  // namespace imbrix::magick
