// Imbrix imaging layer: encoded bytes to decode, from memory or from a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace imbrix::imaging {

/// Encoded bytes. Decoders read from a span, so tests and the engine can hand
/// them memory; files are mapped read-only (FileBytes).
using Bytes = std::span<const std::uint8_t>;

/// A whole file, mapped read-only (or read, for files that cannot be mapped).
/// Throws Error("Cannot open file \"<path>\". <reason>") when the file cannot be read.
class FileBytes {
public:
    explicit FileBytes(const std::string& path);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    Bytes bytes() const { return {data_, size_}; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace imbrix::imaging
