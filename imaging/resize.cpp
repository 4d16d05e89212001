// Imbrix imaging layer: resizing.
#include "imaging/resize.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <vector>

#include "imaging/error.h"
#include "imaging/stages.h"

namespace imbrix::imaging {

namespace {

// The side a picture of `side` pixels gets when shrunk by `shrink` (> 0):
// rounded half up, at least 1, as libvips' resize rounds it.
std::uint32_t scaledSide(std::uint32_t side, double shrink) {
    const double scaled = std::floor(static_cast<double>(side) / shrink + 0.5);
    return static_cast<std::uint32_t>(
        std::clamp(scaled, 1.0, static_cast<double>(kMaxResizeSide) * kMaxResizePercent));
}

// How many times smaller the picture becomes (below 1: larger), or nothing
// when the options leave its size alone.
std::optional<double> shrinkOf(const ResizeOptions& options, PixelSize full) {
    if (full.width == 0 || full.height == 0) {
        return std::nullopt;
    }
    double shrink = 1;
    switch (options.mode) {
        case ResizeMode::None:
            return std::nullopt;
        case ResizeMode::Fit:
            if (options.width == 0 || options.height == 0) {
                return std::nullopt;
            }
            shrink = std::max(static_cast<double>(full.width) / options.width,
                              static_cast<double>(full.height) / options.height);
            break;
        case ResizeMode::LongSide:
            if (options.longSide == 0) {
                return std::nullopt;
            }
            shrink = static_cast<double>(std::max(full.width, full.height)) / options.longSide;
            break;
        case ResizeMode::Percent:
            if (options.percent == 0) {
                return std::nullopt;
            }
            shrink = 100.0 / options.percent;
            break;
    }
    if (shrink < 1 && !options.enlarge) {
        return std::nullopt;
    }
    return shrink;
}

}  // namespace

PixelSize resizeTarget(const ResizeOptions& options, PixelSize full) {
    const std::optional<double> shrink = shrinkOf(options, full);
    if (!shrink) {
        return full;
    }
    return {scaledSide(full.width, *shrink), scaledSide(full.height, *shrink)};
}

unsigned shrinkFactor(const DecodeHint& hint, PixelSize full) {
    const std::optional<double> shrink = shrinkOf(hint.resize, full);
    if (!shrink) {
        return 1;
    }
    const PixelSize target = resizeTarget(hint.resize, full);
    for (unsigned n : {8u, 4u, 2u}) {
        const auto reduced = [n](std::uint32_t side) { return (side + n - 1) / n; };
        // At least twice the target left for the resampler.
        if (reduced(full.width) >= 2 * std::uint64_t{target.width} &&
            reduced(full.height) >= 2 * std::uint64_t{target.height}) {
            return n;
        }
    }
    return 1;
}

namespace {

constexpr double kLobes = 3.0;

double sinc(double x) {
    if (x == 0) {
        return 1;
    }
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

double lanczos(double x) {
    x = std::abs(x);
    return x < kLobes ? sinc(x) * sinc(x / kLobes) : 0;
}

// The filter taps of every output position along one axis: the first input
// index and the normalised weights.
struct Taps {
    std::vector<std::uint32_t> first;
    std::vector<float> weights;  // `width` per output position
    std::uint32_t width = 0;
};

Taps makeTaps(std::uint32_t in, std::uint32_t out) {
    const double scale = static_cast<double>(in) / out;
    // Shrinking widens the filter so that it averages every input pixel.
    const double support = kLobes * std::max(scale, 1.0);
    const double step = 1.0 / std::max(scale, 1.0);
    Taps taps;
    taps.width = static_cast<std::uint32_t>(std::ceil(support)) * 2 + 1;
    taps.first.resize(out);
    taps.weights.assign(std::size_t{out} * taps.width, 0.0f);
    std::vector<double> w(taps.width);
    for (std::uint32_t o = 0; o < out; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        const auto lo = static_cast<std::int64_t>(std::floor(centre - support));
        double sum = 0;
        for (std::uint32_t k = 0; k < taps.width; ++k) {
            w[k] = lanczos((static_cast<double>(lo + k) - centre) * step);
        }
        // Taps outside the picture fold onto its edge pixels.
        taps.first[o] = static_cast<std::uint32_t>(std::clamp<std::int64_t>(lo, 0, in - 1));
        float* row = &taps.weights[std::size_t{o} * taps.width];
        for (std::uint32_t k = 0; k < taps.width; ++k) {
            const std::int64_t at = std::clamp<std::int64_t>(lo + k, 0, in - 1);
            row[at - taps.first[o]] += static_cast<float>(w[k]);
            sum += w[k];
        }
        if (sum != 0) {
            for (std::uint32_t k = 0; k < taps.width; ++k) {
                row[k] = static_cast<float>(row[k] / sum);
            }
        }
    }
    return taps;
}

std::uint8_t toByte(float v) {
    return static_cast<std::uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
}

}  // namespace

Raster resample(const Raster& source, std::uint32_t width, std::uint32_t height,
                std::stop_token stop) {
    if (width == 0 || height == 0) {
        throw Error("Picture has no pixels (" + std::to_string(width) + " x " +
                    std::to_string(height) + ")");
    }
    const Raster* input = &source;
    Raster premultipliedCopy;
    if (!source.premultiplied) {
        premultipliedCopy = source.clone();
        premultiply(premultipliedCopy);
        input = &premultipliedCopy;
    }
    const std::uint32_t inW = input->width();
    const std::uint32_t inH = input->height();
    const Taps across = makeTaps(inW, width);
    const Taps down = makeTaps(inH, height);

    // Horizontal pass into floats, then the vertical pass into the result.
    std::vector<float> middle(std::size_t{width} * inH * 4);
    for (std::uint32_t y = 0; y < inH; ++y) {
        if ((y & 63) == 0 && stop.stop_requested()) {
            throw Error(kStoppedMessage);
        }
        const std::uint8_t* in = input->row(y);
        float* out = &middle[std::size_t{y} * width * 4];
        for (std::uint32_t x = 0; x < width; ++x) {
            const float* w = &across.weights[std::size_t{x} * across.width];
            const std::uint8_t* p = in + std::size_t{across.first[x]} * 4;
            const std::uint32_t n = std::min(across.width, inW - across.first[x]);
            float b = 0, g = 0, r = 0, a = 0;
            for (std::uint32_t k = 0; k < n; ++k, p += 4) {
                b += w[k] * p[0];
                g += w[k] * p[1];
                r += w[k] * p[2];
                a += w[k] * p[3];
            }
            out[x * 4 + 0] = b;
            out[x * 4 + 1] = g;
            out[x * 4 + 2] = r;
            out[x * 4 + 3] = a;
        }
    }
    Raster result(width, height);
    result.premultiplied = true;
    result.hasAlpha = source.hasAlpha;
    std::vector<float> sums(std::size_t{width} * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        if ((y & 63) == 0 && stop.stop_requested()) {
            throw Error(kStoppedMessage);
        }
        std::fill(sums.begin(), sums.end(), 0.0f);
        const float* w = &down.weights[std::size_t{y} * down.width];
        const std::uint32_t n = std::min(down.width, inH - down.first[y]);
        for (std::uint32_t k = 0; k < n; ++k) {
            const float* in = &middle[std::size_t{down.first[y] + k} * width * 4];
            for (std::size_t i = 0; i < sums.size(); ++i) {
                sums[i] += w[k] * in[i];
            }
        }
        std::uint8_t* out = result.row(y);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t a = source.hasAlpha ? toByte(sums[x * 4 + 3]) : 255;
            // Premultiplied: no colour above its alpha.
            out[x * 4 + 0] = std::min(toByte(sums[x * 4 + 0]), a);
            out[x * 4 + 1] = std::min(toByte(sums[x * 4 + 1]), a);
            out[x * 4 + 2] = std::min(toByte(sums[x * 4 + 2]), a);
            out[x * 4 + 3] = a;
        }
    }
    return result;
}

Stage resizeStage(const ResizeOptions& options) {
    return [options](Picture& picture, std::stop_token stop) {
        PixelSize full{picture.meta.fullWidth, picture.meta.fullHeight};
        if (full.width == 0 || full.height == 0) {
            full = {picture.pixels.width(), picture.pixels.height()};
        }
        picture.meta.fullWidth = 0;
        picture.meta.fullHeight = 0;
        const PixelSize target = resizeTarget(options, full);
        if (target.width == picture.pixels.width() && target.height == picture.pixels.height()) {
            return;
        }
        picture.pixels = resample(picture.pixels, target.width, target.height, stop);
    };
}

std::string resizeGeometry(const ResizeOptions& options) {
    const std::string shrinkOnly = options.enlarge ? "" : ">";
    switch (options.mode) {
        case ResizeMode::None:
            return {};
        case ResizeMode::Fit:
            return std::to_string(options.width) + "x" + std::to_string(options.height) +
                   shrinkOnly;
        case ResizeMode::LongSide:
            return std::to_string(options.longSide) + "x" + std::to_string(options.longSide) +
                   shrinkOnly;
        case ResizeMode::Percent:
            return std::to_string(options.percent) + "%" + shrinkOnly;
    }
    return {};
}

namespace {

// A whole number of 1..limit at the start of `text`, which it takes off.
std::optional<std::uint32_t> takeNumber(std::string_view& text, std::uint32_t limit) {
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() || text.front() == '+' || value == 0 ||
        value > limit) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

}  // namespace

std::optional<ResizeOptions> parseResizeGeometry(std::string_view geometry) {
    ResizeOptions options;
    options.enlarge = true;
    if (!geometry.empty() && geometry.back() == '>') {
        options.enlarge = false;
        geometry.remove_suffix(1);
    }
    if (!geometry.empty() && geometry.back() == '%') {
        geometry.remove_suffix(1);
        const std::optional<std::uint32_t> percent = takeNumber(geometry, kMaxResizePercent);
        if (!percent || !geometry.empty()) {
            return std::nullopt;
        }
        options.mode = ResizeMode::Percent;
        options.percent = *percent;
        return options;
    }
    const std::optional<std::uint32_t> width = takeNumber(geometry, kMaxResizeSide);
    if (!width || geometry.empty() || geometry.front() != 'x') {
        return std::nullopt;
    }
    geometry.remove_prefix(1);
    const std::optional<std::uint32_t> height = takeNumber(geometry, kMaxResizeSide);
    if (!height || !geometry.empty()) {
        return std::nullopt;
    }
    options.mode = ResizeMode::Fit;
    options.width = *width;
    options.height = *height;
    return options;
}

}  // namespace imbrix::imaging
