// Imbrix imaging layer: what the JPEG XR decoder program (imbrix-jxrdecode)
// writes to its standard output, read back by formats/jxr_input.cpp.
//
// First a Reply, then `messageSize` bytes of message (why the decode failed),
// then for a decoded picture `profileSize` bytes of its colour profile (ICC, as
// the file's colour context holds it) and its rows, `width` BGRA pixels each,
// top-down. The numbers are in the machine's own byte order: both ends are
// built together.
#pragma once

#include <cstdint>

namespace imbrix::imaging::jxr {

struct Reply {
    std::uint32_t status;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t premultiplied;
    std::uint32_t messageSize;
    std::uint32_t profileSize;
    std::uint32_t gray;  ///< 1 when the file's samples are gray (replicated into B, G, R)
};

enum : std::uint32_t { kDecoded = 0, kFailed = 1, kTooLarge = 2 };

/// A message is shorter than this.
inline constexpr std::uint32_t kMaxMessage = 1024;
/// A profile is not longer than this (larger colour contexts are left out).
inline constexpr std::uint32_t kMaxProfile = 16u << 20;

}  // namespace imbrix::imaging::jxr
