// Imbrix version information: queries into a VS_VERSIONINFO block.
//
// A block is a tree of nodes, each: wLength, wValueLength, wType (1 = text, whose
// value length counts UTF-16 units), a zero-terminated UTF-16 key, padding to 4
// bytes, the value, padding, then the children up to wLength. Every field is
// checked against the node's and the block's bounds.
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "app/versioninfo.h"

namespace imbrix::app {
namespace {

using Bytes = std::span<const std::uint8_t>;

std::size_t align4(std::size_t at) {
    return (at + 3) & ~std::size_t{3};
}

std::uint16_t le16(Bytes b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

struct Node {
    std::size_t end = 0;
    std::size_t keyBegin = 0;
    std::size_t keyEnd = 0;  // at the terminator
    std::size_t valueBegin = 0;
    std::size_t valueEnd = 0;
    std::size_t childrenBegin = 0;
    bool text = false;
};

std::optional<Node> parseNode(Bytes block, std::size_t at, std::size_t limit) {
    if (at > limit || limit - at < 6)
        return std::nullopt;
    std::size_t length = le16(block, at);
    if (length < 6 || length > limit - at)
        return std::nullopt;
    Node node;
    node.end = at + length;
    std::size_t valueLength = le16(block, at + 2);
    node.text = le16(block, at + 4) == 1;
    node.keyBegin = at + 6;
    std::size_t pos = node.keyBegin;
    while (true) {
        if (node.end - pos < 2)
            return std::nullopt;  // key without terminator
        if (le16(block, pos) == 0)
            break;
        pos += 2;
    }
    node.keyEnd = pos;
    node.valueBegin = std::min(align4(pos + 2), node.end);
    std::size_t valueBytes = node.text ? valueLength * 2 : valueLength;
    node.valueEnd = node.valueBegin + std::min(valueBytes, node.end - node.valueBegin);
    node.childrenBegin = std::min(align4(node.valueEnd), node.end);
    return node;
}

bool keyMatches(Bytes block, const Node& node, std::string_view name) {
    if ((node.keyEnd - node.keyBegin) / 2 != name.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        std::uint16_t unit = le16(block, node.keyBegin + 2 * i);
        auto c = static_cast<unsigned char>(name[i]);
        auto fold = [](unsigned v) { return v >= 'A' && v <= 'Z' ? v + 32 : v; };
        if (fold(unit) != fold(c))
            return false;
    }
    return true;
}

// UTF-16LE to UTF-8; unpaired surrogates become U+FFFD.
std::string toUtf8(Bytes value) {
    std::string out;
    std::size_t units = value.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t cp = le16(value, 2 * i);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units) {
            std::uint32_t low = le16(value, 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> queryVersionValue(Bytes block,
                                                               std::string_view query) {
    std::optional<Node> node = parseNode(block, 0, block.size());
    if (!node)
        return std::nullopt;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t stop = std::min(query.find('\\', start), query.size());
        std::string_view part = query.substr(start, stop - start);
        start = stop + 1;
        if (part.empty())
            continue;
        std::optional<Node> found;
        for (std::size_t at = node->childrenBegin; at < node->end;) {
            std::optional<Node> child = parseNode(block, at, node->end);
            if (!child)
                break;
            if (keyMatches(block, *child, part)) {
                found = child;
                break;
            }
            at = align4(child->end);
        }
        if (!found)
            return std::nullopt;
        node = found;
    }
    Bytes value = block.subspan(node->valueBegin, node->valueEnd - node->valueBegin);
    if (node->text) {
        for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
            if (le16(value, i) == 0)
                return value.first(i);
        }
        return value.first(value.size() & ~std::size_t{1});
    }
    return value;
}

void ReadExeVersionData(const std::string& path, TEXEVersionData& data) {
    std::vector<std::uint8_t> block = readVersionBlock(path);
    auto translation = queryVersionValue(block, "\\VarFileInfo\\Translation\\");
    if (!translation || translation->size() < 4) {
        throw std::system_error(ENODATA, std::system_category(),
                                path + ": the version information names no translation");
    }
    char key[16];
    std::snprintf(key, sizeof key, "%.4x%.4x", le16(*translation, 0), le16(*translation, 2));
    const std::string prefix = std::string("\\StringFileInfo\\") + key;

    struct Field {
        const char* key;
        std::string TEXEVersionData::*member;
    };
    static constexpr Field kFields[] = {
        {"\\CompanyName", &TEXEVersionData::CompanyName},
        {"\\FileDescription", &TEXEVersionData::FileDescription},
        {"\\FileVersion", &TEXEVersionData::FileVersion},
        {"\\InternalName", &TEXEVersionData::InternalName},
        {"\\LegalCopyright", &TEXEVersionData::LegalCopyright},
        {"\\LegalTrademarks", &TEXEVersionData::LegalTrademarks},
        {"\\OriginalFileName", &TEXEVersionData::OriginalFileName},
        {"\\ProductName", &TEXEVersionData::ProductName},
        {"\\ProductVersion", &TEXEVersionData::ProductVersion},
        {"\\Comments", &TEXEVersionData::Comments},
        {"\\PrivateBuild", &TEXEVersionData::PrivateBuild},
        {"\\SpecialBuild", &TEXEVersionData::SpecialBuild},
    };
    for (const Field& field : kFields) {
        if (auto value = queryVersionValue(block, prefix + field.key)) {
            data.*field.member = toUtf8(*value);
        }
    }
}

FileVersionNumbers ReadExeFileVersion(const std::string& path) {
    FileVersionNumbers numbers;
    try {
        std::vector<std::uint8_t> block = readVersionBlock(path);
        auto fixed = queryVersionValue(block, "\\");
        if (!fixed || fixed->size() < 52)
            return numbers;
        Bytes f = *fixed;
        if (le16(f, 0) != 0x04BD || le16(f, 2) != 0xFEEF)
            return numbers;
        numbers.minor = le16(f, 8);
        numbers.major = le16(f, 10);
        numbers.build = le16(f, 12);
        numbers.release = le16(f, 14);
    } catch (const std::system_error&) {
        // No usable block: every number stays 65535.
    }
    return numbers;
}

}  // namespace imbrix::app
