// What colour management costs: converting a 24-megapixel picture from a wide
// gamut profile to sRGB, and decoding a camera JPEG that carries an sRGB
// profile (which must cost nothing more than one without).
//
// Usage: imbrix_colour_bench PHOTO.jpg WIDE-GAMUT.png [ROUNDS]
// Prints median milliseconds. Built on request: cmake --build build --target
// imbrix_colour_bench.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/decode.h"
#include "imaging/error.h"

namespace {

using namespace imbrix::imaging;

template <typename F>
double medianMs(int rounds, F&& f) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The picture repeated over a 6000 x 4000 raster.
Raster tiled(const Raster& tile) {
    Raster big(6000, 4000);
    for (std::uint32_t y = 0; y < big.height(); ++y) {
        const std::uint8_t* from = tile.row(y % tile.height());
        std::uint8_t* to = big.row(y);
        for (std::uint32_t x = 0; x < big.width(); x += tile.width()) {
            const std::uint32_t n = std::min(tile.width(), big.width() - x);
            std::memcpy(to + std::size_t{x} * 4, from, std::size_t{n} * 4);
        }
    }
    return big;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PHOTO.jpg WIDE-GAMUT.png [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;
    try {
        const FileBytes photo(argv[1]);
        const Picture decoded = decodePicture("jpg", photo.bytes());
        std::printf("camera JPEG %ux%u, profile kept: %zu bytes\n", decoded.pixels.width(),
                    decoded.pixels.height(), decoded.meta.icc.size());
        // The Raster entry, which the program had before profiles were read: the
        // same figure from a build without them shows what reading them costs.
        std::printf("decode camera JPEG: %.1f ms\n",
                    medianMs(rounds, [&] { (void)decodeWithPictureLoader("jpg", photo.bytes()); }));

        const Picture wide = loadPictureWithProfile(argv[2]);
        const Raster big = tiled(wide.pixels);
        for (const bool premultiplied : {false, true}) {
            std::vector<double> times;
            for (int i = 0; i < rounds; ++i) {
                Picture picture{big.clone(), wide.meta};  // the copy is not timed
                picture.pixels.premultiplied = premultiplied;
                times.push_back(medianMs(1, [&] { colour::convertToSrgb(picture); }));
            }
            const double first = times.front();
            std::sort(times.begin(), times.end());
            std::printf(
                "convertToSrgb 24 MP (%s): %.1f ms (first call, making the transform: "
                "%.1f ms)\n",
                premultiplied ? "premultiplied, opaque" : "straight", times[times.size() / 2],
                first);
        }
        const std::vector<std::uint8_t> srgb = colour::srgbProfile();
        const double judged = medianMs(1, [&] { (void)colour::isSrgb(srgb); });
        const double cached = medianMs(rounds * 100, [&] { (void)colour::isSrgb(srgb); });
        std::printf("isSrgb on an sRGB profile: %.3f ms first, %.4f ms after\n", judged, cached);
    } catch (const Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
