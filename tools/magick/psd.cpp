#include "tools/magick/psd.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <string_view>

namespace imbrix::magick {

namespace {

constexpr std::size_t kHeaderSize = 26;

std::uint64_t bigEndian(const char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

// Copies `count` bytes from `in` to `out`; false when `in` ends first.
bool copyBytes(std::ifstream& in, std::ofstream& out, std::uint64_t count) {
    std::array<char, 1 << 16> buffer;
    while (count > 0) {
        const auto chunk = static_cast<std::streamsize>(
            count < buffer.size() ? count : static_cast<std::uint64_t>(buffer.size()));
        if (!in.read(buffer.data(), chunk)) {
            return false;
        }
        out.write(buffer.data(), chunk);
        count -= static_cast<std::uint64_t>(chunk);
    }
    return true;
}

}  // namespace

std::string copyPsdWithoutLayers(const std::string& fromPath, const std::string& toPath) {
    std::ifstream in(fromPath, std::ios::binary);
    std::array<char, kHeaderSize> header{};
    if (!in.read(header.data(), header.size()) || std::string_view(header.data(), 4) != "8BPS") {
        return "the intermediate picture is not a PSD file";
    }
    // Version 2 (PSB) gives the layer section's length in 8 bytes.
    const std::uint64_t version = bigEndian(header.data() + 4, 2);
    if (version != 1 && version != 2) {
        return "the intermediate PSD file has an unknown version";
    }
    const std::size_t layerLengthBytes = version == 2 ? 8 : 4;

    std::ofstream out(toPath, std::ios::binary | std::ios::trunc);
    out.write(header.data(), header.size());
    // Colour mode data and image resources: a 4-byte length and the bytes.
    for (int section = 0; section < 2; ++section) {
        std::array<char, 4> length{};
        if (!in.read(length.data(), length.size())) {
            return "the intermediate PSD file is truncated";
        }
        out.write(length.data(), length.size());
        if (!copyBytes(in, out, bigEndian(length.data(), length.size()))) {
            return "the intermediate PSD file is truncated";
        }
    }
    std::array<char, 8> layerLength{};
    if (!in.read(layerLength.data(), static_cast<std::streamsize>(layerLengthBytes)) ||
        !in.seekg(static_cast<std::streamoff>(bigEndian(layerLength.data(), layerLengthBytes)),
                  std::ios::cur) ||
        in.peek() == std::ifstream::traits_type::eof()) {
        return "the intermediate PSD file is truncated";
    }
    const std::array<char, 8> empty{};
    out.write(empty.data(), static_cast<std::streamsize>(layerLengthBytes));
    // The image data section runs to the end of the file.
    out << in.rdbuf();
    out.close();
    if (!out) {
        return "cannot write the PSD file";
    }
    return {};
}

}  // namespace imbrix::magick
