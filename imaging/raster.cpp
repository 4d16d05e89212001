#include "imaging/raster.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "imaging/error.h"

namespace imbrix::imaging {

void checkPictureSize(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0) {
        throw Error("Picture has no pixels (" + std::to_string(width) + " x " +
                    std::to_string(height) + ")");
    }
    // Both sides fit in 32 bits for every format we read; guard the product anyway.
    if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels) {
        throw Error("Picture is too large (" + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels, at most " + std::to_string(kMaxPixels) +
                    ")");
    }
}

Raster::Raster(std::uint32_t width, std::uint32_t height) {
    checkPictureSize(width, height);
    width_ = width;
    height_ = height;
    stride_ = std::size_t{width} * 4;
    charge_ = MemoryCharge(stride_ * height_);
    // Zeroed: every pixel starts black and fully transparent. calloc gets a
    // large block as fresh pages from the system, which are zero already: no
    // pass over the memory before the decoder's own.
    pixels_.reset(static_cast<std::uint8_t*>(std::calloc(stride_ * height_, 1)));
    if (!pixels_) {
        throw Error("Not enough memory for a picture of " + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels");
    }
}

void Raster::Free::operator()(std::uint8_t* p) const {
    std::free(p);
}

Raster Raster::clone() const {
    Raster copy;
    if (empty()) {
        return copy;
    }
    copy = Raster(width_, height_);
    std::memcpy(copy.pixels_.get(), pixels_.get(), byteSize());
    copy.premultiplied = premultiplied;
    copy.hasAlpha = hasAlpha;
    return copy;
}

void premultiply(Raster& raster) {
    if (raster.premultiplied) {
        return;
    }
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const unsigned a = p[kAlpha];
            if (a == 255) {
                continue;
            }
            for (int c = 0; c < 3; ++c) {
                p[c] = static_cast<std::uint8_t>((p[c] * a + 127) / 255);
            }
        }
    }
    raster.premultiplied = true;
}

void unpremultiply(Raster& raster) {
    if (!raster.premultiplied) {
        return;
    }
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const unsigned a = p[kAlpha];
            if (a == 255) {
                continue;
            }
            if (a == 0) {
                p[0] = p[1] = p[2] = 0;
                continue;
            }
            for (int c = 0; c < 3; ++c) {
                const unsigned v = (p[c] * 255u + a / 2) / a;
                p[c] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
            }
        }
    }
    raster.premultiplied = false;
}

}  // namespace imbrix::imaging
