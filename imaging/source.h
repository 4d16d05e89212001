// Imbrix imaging layer: encoded bytes to decode, from memory or from a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace imbrix::imaging {

/// Encoded bytes. Decoders read from a span, so tests and the engine can hand
/// them memory; files are read into memory first (FileBytes).
using Bytes = std::span<const std::uint8_t>;

/// The largest file FileBytes reads: 2 GiB, more than a picture within the
/// pixel cap takes even uncompressed at 16 bits per channel.
inline constexpr std::uint64_t kMaxFileBytes = std::uint64_t{2} << 30;

/// A whole regular file, read into memory that the object owns: a file that
/// another program shrinks or rewrites afterwards cannot touch these bytes.
/// Throws Error naming the file when it cannot be read:
///   "Cannot open file \"<path>\". <reason>" when it cannot be opened, is not a
///   regular file (a named pipe, a socket or a device is refused without
///   waiting on it) or is larger than kMaxFileBytes;
///   "Cannot read file \"<path>\". <reason>" when reading fails or the file
///   changed size while it was read.
class FileBytes {
public:
    explicit FileBytes(const std::string& path);
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    Bytes bytes() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

}  // namespace imbrix::imaging
