// imbrix_versioninfo_gen: writes the C++ source of an executable's version block.
//
// The block has the VS_VERSIONINFO layout (little-endian, UTF-16 keys and values,
// 32-bit alignment): a VS_FIXEDFILEINFO, one StringFileInfo with a single string
// table and a VarFileInfo\Translation naming that table. The generated source
// places the bytes in an ELF section of their own, where ReadExeVersionData
// (app/versioninfo.h) finds them in the built file.
//
// Usage: imbrix_versioninfo_gen --output FILE --section NAME --version A.B.C.D
//            [--string Key=Value]...
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint16_t kLanguage = 0x0409;  // U.S. English
constexpr std::uint16_t kCodePage = 0x04E4;  // Windows-1252

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

void set16(Bytes& out, std::size_t at, std::size_t v) {
    if (v > 0xFFFF)
        throw std::runtime_error("version block too large");
    out[at] = static_cast<std::uint8_t>(v & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void align4(Bytes& out) {
    while (out.size() % 4 != 0)
        out.push_back(0);
}

// UTF-8 to UTF-16LE code units, zero-terminated.
std::vector<std::uint16_t> utf16(const std::string& text) {
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = 0;
        int extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            throw std::runtime_error("invalid UTF-8 in \"" + text + "\"");
        }
        if (i + static_cast<std::size_t>(extra) >= text.size()) {
            throw std::runtime_error("truncated UTF-8 in \"" + text + "\"");
        }
        for (int k = 1; k <= extra; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    units.push_back(0);
    return units;
}

// Opens a node: wLength (patched by closeNode), wValueLength, wType, szKey, padding.
std::size_t openNode(Bytes& out, const std::string& key, std::size_t valueLength,
                     std::uint16_t type) {
    align4(out);
    std::size_t start = out.size();
    put16(out, 0);
    put16(out, static_cast<std::uint16_t>(valueLength));
    put16(out, type);
    for (std::uint16_t u : utf16(key))
        put16(out, u);
    align4(out);
    return start;
}

void closeNode(Bytes& out, std::size_t start) {
    set16(out, start, out.size() - start);
}

struct Options {
    std::string output;
    std::string section;
    std::uint16_t version[4] = {0, 0, 0, 0};
    std::vector<std::pair<std::string, std::string>> strings;
};

Bytes buildBlock(const Options& opt) {
    Bytes out;
    std::size_t root = openNode(out, "VS_VERSION_INFO", 52, 0);
    std::uint32_t ms = (std::uint32_t{opt.version[0]} << 16) | opt.version[1];
    std::uint32_t ls = (std::uint32_t{opt.version[2]} << 16) | opt.version[3];
    put32(out, 0xFEEF04BD);  // signature
    put32(out, 0x00010000);  // structure version 1.0
    put32(out, ms);          // file version
    put32(out, ls);
    put32(out, ms);  // product version
    put32(out, ls);
    put32(out, 0x3F);     // file flags mask
    put32(out, 0);        // file flags
    put32(out, 0x40004);  // VOS_NT_WINDOWS32
    put32(out, 1);        // VFT_APP
    put32(out, 0);        // subtype
    put32(out, 0);        // date
    put32(out, 0);

    std::size_t sfi = openNode(out, "StringFileInfo", 0, 1);
    char table[9];
    std::snprintf(table, sizeof table, "%04X%04X", kLanguage, kCodePage);
    std::size_t st = openNode(out, table, 0, 1);
    for (const auto& [key, value] : opt.strings) {
        auto units = utf16(value);
        std::size_t s = openNode(out, key, units.size(), 1);
        for (std::uint16_t u : units)
            put16(out, u);
        closeNode(out, s);
    }
    closeNode(out, st);
    closeNode(out, sfi);

    std::size_t vfi = openNode(out, "VarFileInfo", 0, 1);
    std::size_t var = openNode(out, "Translation", 4, 0);
    put16(out, kLanguage);
    put16(out, kCodePage);
    closeNode(out, var);
    closeNode(out, vfi);
    closeNode(out, root);
    return out;
}

void parseVersion(const std::string& text, std::uint16_t (&parts)[4]) {
    std::istringstream in(text);
    std::string piece;
    int n = 0;
    while (std::getline(in, piece, '.')) {
        if (n == 4 || piece.empty() || piece.find_first_not_of("0123456789") != piece.npos ||
            piece.size() > 5 || std::stoul(piece) > 0xFFFF) {
            throw std::runtime_error("bad version \"" + text + "\" (want A.B.C.D, each 0-65535)");
        }
        parts[n++] = static_cast<std::uint16_t>(std::stoul(piece));
    }
    if (n == 0)
        throw std::runtime_error("empty version");
}

Options parseArgs(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            throw std::runtime_error("missing value after " + arg);
        std::string value = argv[++i];
        if (arg == "--output") {
            opt.output = value;
        } else if (arg == "--section") {
            opt.section = value;
        } else if (arg == "--version") {
            parseVersion(value, opt.version);
        } else if (arg == "--string") {
            auto eq = value.find('=');
            if (eq == 0 || eq == value.npos)
                throw std::runtime_error("want Key=Value: " + value);
            opt.strings.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    if (opt.output.empty() || opt.section.empty()) {
        throw std::runtime_error("--output and --section are required");
    }
    if (opt.section.find_first_of("\"\\\n") != opt.section.npos) {
        throw std::runtime_error("bad section name");
    }
    return opt;
}

std::string renderSource(const Options& opt, const Bytes& block) {
    std::ostringstream src;
    src << "// Generated by imbrix_versioninfo_gen; do not edit.\n"
        << "// The executable's version block (VS_VERSIONINFO layout), read by\n"
        << "// ReadExeVersionData from the section " << opt.section
        << ".\n\n"
        // The declaration gives the constant external linkage, so it is kept
        // whole under its own name; the attributes belong on the definition only.
        << "extern const unsigned char imbrix_version_block[" << block.size() << "];\n"
        << "__attribute__((section(\"" << opt.section << "\"), used, aligned(4)))\n"
        << "const unsigned char imbrix_version_block[" << block.size() << "] = {";
    for (std::size_t i = 0; i < block.size(); ++i) {
        src << (i % 16 == 0 ? "\n    " : " ") << static_cast<unsigned>(block[i]) << ",";
    }
    src << "\n};\n";
    return src.str();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options opt = parseArgs(argc, argv);
        std::string source = renderSource(opt, buildBlock(opt));
        // Rewrite only when the text changes, so builds stay incremental.
        {
            std::ifstream old(opt.output, std::ios::binary);
            std::ostringstream current;
            current << old.rdbuf();
            if (old && current.str() == source)
                return 0;
        }
        std::string temp = opt.output + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << source;
            if (!out.flush())
                throw std::runtime_error("cannot write " + temp);
        }
        if (std::rename(temp.c_str(), opt.output.c_str()) != 0) {
            std::remove(temp.c_str());
            throw std::runtime_error("cannot write " + opt.output);
        }
    } catch (const std::exception& e) {
        std::cerr << "imbrix_versioninfo_gen: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
