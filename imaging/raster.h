// Imbrix imaging layer: the raster every decoder produces and every encoder reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "imaging/memory.h"

namespace imbrix::imaging {

/// The one size cap of the layer: no decoder allocates pixels for a picture with
/// more pixels than this (2^28, a 1 GiB raster). Checked from the header, before
/// any pixel memory exists. Fuzzing builds define IMBRIX_MAX_PIXELS lower, so
/// the fuzzer spends its time on parsing rather than on filling huge rasters.
#ifndef IMBRIX_MAX_PIXELS
#define IMBRIX_MAX_PIXELS (std::uint64_t{1} << 28)
#endif
inline constexpr std::uint64_t kMaxPixels = IMBRIX_MAX_PIXELS;

/// Throws Error("Picture is too large (W x H pixels, at most 268435456)") when
/// width * height exceeds kMaxPixels, and Error("Picture has no pixels (W x H)")
/// when either side is zero. Every decoder calls this before allocating.
void checkPictureSize(std::uint64_t width, std::uint64_t height);

/// 8-bit BGRA pixels, rows top-down, `stride` bytes apart.
///
/// `premultiplied` tells whether colour values are multiplied by alpha (the state
/// after a picture is drawn over a transparent black raster). `hasAlpha` is false
/// for a raster without an alpha channel (a 24-bit raster): its alpha bytes are
/// 255 and carry nothing.
///
/// A raster is move-only; copying pixels is always explicit (clone()).
class Raster {
public:
    Raster() = default;
    /// A zeroed raster (black, fully transparent). Checks the size cap, and
    /// charges its bytes to the memory reservation bound to the thread, if any
    /// (memory.h): MemoryExceeded or MemoryShortfall when it cannot hold them.
    Raster(std::uint32_t width, std::uint32_t height);

    Raster(Raster&&) noexcept = default;
    Raster& operator=(Raster&&) noexcept = default;
    Raster(const Raster&) = delete;
    Raster& operator=(const Raster&) = delete;

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::size_t stride() const { return stride_; }
    bool empty() const { return !pixels_; }

    bool premultiplied = true;
    bool hasAlpha = true;

    std::uint8_t* row(std::uint32_t y) { return pixels_.get() + y * stride_; }
    const std::uint8_t* row(std::uint32_t y) const { return pixels_.get() + y * stride_; }
    std::uint8_t* data() { return pixels_.get(); }
    const std::uint8_t* data() const { return pixels_.get(); }
    std::size_t byteSize() const { return stride_ * height_; }

    Raster clone() const;

private:
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::size_t stride_ = 0;
    struct Free {
        void operator()(std::uint8_t* p) const;
    };
    MemoryCharge charge_;  // given back after the pixels are freed
    std::unique_ptr<std::uint8_t[], Free> pixels_;
};

/// Byte offsets of the channels within a pixel.
inline constexpr int kBlue = 0, kGreen = 1, kRed = 2, kAlpha = 3;

/// Converts an unpremultiplied raster to premultiplied in place (no-op if it already is).
void premultiply(Raster& raster);
/// Converts a premultiplied raster to unpremultiplied in place (no-op if it already is).
/// A pixel with alpha 0 becomes all zero.
void unpremultiply(Raster& raster);

}  // namespace imbrix::imaging
