// Imbrix imaging layer: resizing.
#include "imaging/resize.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define IMBRIX_RESIZE_AVX2 1
#endif

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
    return reductionFor(full, resizeTarget(hint.resize, full));
}

unsigned reductionFor(PixelSize full, PixelSize target) {
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

// The filter of one axis: for every output position, `count` input positions
// from `first[o]` on, and their weights. Every output has the same count (at an
// edge the window stays inside the picture, with zero weights where the filter
// does not reach), so that the inner loops have a fixed length.
struct Filter {
    std::uint32_t count = 0;
    std::vector<std::uint32_t> first;
    std::vector<double> weights;  // `count` per output position, summing to 1
};

// Where the outputs of one axis lie on the input: output o is centred on input
// position offset + (o + 0.5) * scale, where input pixel i covers [i, i + 1).
struct Axis {
    double scale = 1;  // input pixels per output pixel
    double offset = 0;

    // The same place on an input averaged over blocks of `box` pixels.
    Axis boxed(std::uint32_t box) const { return {scale / box, offset / box}; }
};

// The filter from `in` input positions to `out` outputs placed as `axis` says.
// Taps beyond the picture fold onto its edge pixels.
Filter makeFilter(std::uint32_t in, std::uint32_t out, const Axis& axis) {
    const double scale = axis.scale;
    // Shrinking widens the filter so that it averages every input pixel.
    const double support = kLobes * std::max(scale, 1.0);
    const double step = 1.0 / std::max(scale, 1.0);
    const auto centreOf = [&axis](std::uint32_t o) {
        return axis.offset + (o + 0.5) * axis.scale - 0.5;
    };
    const auto lowest = [support](double centre) {
        return static_cast<std::int64_t>(std::ceil(centre - support));
    };
    const auto highest = [support](double centre) {
        return static_cast<std::int64_t>(std::floor(centre + support));
    };
    std::int64_t span = 1;
    for (std::uint32_t o = 0; o < out; ++o) {
        const double centre = centreOf(o);
        span = std::max(span, highest(centre) - lowest(centre) + 1);
    }
    Filter f;
    f.count = static_cast<std::uint32_t>(std::min<std::int64_t>(span, in));
    f.first.resize(out);
    f.weights.assign(std::size_t{out} * f.count, 0.0);
    const std::int64_t last = std::int64_t{in} - 1;
    for (std::uint32_t o = 0; o < out; ++o) {
        const double centre = centreOf(o);
        const std::int64_t lo = lowest(centre);
        const std::int64_t start = std::clamp<std::int64_t>(lo, 0, in - f.count);
        f.first[o] = static_cast<std::uint32_t>(start);
        double* w = &f.weights[std::size_t{o} * f.count];
        double sum = 0;
        for (std::int64_t i = lo; i <= highest(centre); ++i) {
            const double v = lanczos((static_cast<double>(i) - centre) * step);
            w[std::clamp<std::int64_t>(i, 0, last) - start] += v;
            sum += v;
        }
        if (sum != 0) {
            for (std::uint32_t k = 0; k < f.count; ++k) {
                w[k] /= sum;
            }
        }
    }
    return f;
}

// The vertical pass works on bytes with 14-bit fixed-point weights; each
// output position's weights add up to exactly kOne, so that a flat area stays
// flat (an opaque alpha stays 255). The filter spans at most 25 positions (the
// box shrink keeps its scale below 4), and the absolute weights of a Lanczos-3
// filter add up to less than 1.5: a sum stays far below 2^24, so it is exact as
// an int32 and as a float.
constexpr int kWeightBits = 14;
constexpr int kOne = 1 << kWeightBits;

struct FixedFilter {
    std::uint32_t count = 0;  // even: the taps go in pairs
    std::vector<std::uint32_t> first;
    std::vector<std::int16_t> weights;  // `count` per output position
};

FixedFilter toFixed(const Filter& f) {
    FixedFilter fixed;
    fixed.count = f.count + (f.count & 1);
    fixed.first = f.first;
    const std::size_t out = f.first.size();
    fixed.weights.assign(out * fixed.count, 0);
    for (std::size_t o = 0; o < out; ++o) {
        const double* w = &f.weights[o * f.count];
        std::int16_t* q = &fixed.weights[o * fixed.count];
        int sum = 0;
        std::uint32_t largest = 0;
        for (std::uint32_t k = 0; k < f.count; ++k) {
            q[k] = static_cast<std::int16_t>(std::lround(w[k] * kOne));
            sum += q[k];
            if (std::abs(w[k]) > std::abs(w[largest])) {
                largest = k;
            }
        }
        q[largest] = static_cast<std::int16_t>(q[largest] + (kOne - sum));
    }
    return fixed;
}

// One row of the vertical pass: for each of the `n` bytes of a row, the sum of
// the bytes of `rows` (one per tap, `taps` even) times their weights. The sums
// are kOne times the values; they are stored as floats (exact: below 2^24).
void verticalRow(const std::uint8_t* const* rows, const std::int16_t* weights, std::uint32_t taps,
                 std::size_t n, float* out, std::size_t i = 0) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
        for (std::uint32_t k = 0; k < taps; k += 2) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k + 1] + i));
            // Two taps' weights side by side: each 32-bit lane multiplies a
            // byte of one row and the same byte of the next row and adds them.
            const __m128i w = _mm_set1_epi32(static_cast<int>(
                static_cast<std::uint16_t>(weights[k]) |
                (static_cast<std::uint32_t>(static_cast<std::uint16_t>(weights[k + 1])) << 16)));
            const __m128i lo = _mm_unpacklo_epi8(a, b);
            const __m128i hi = _mm_unpackhi_epi8(a, b);
            s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
            s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
            s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
            s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
        }
        _mm_storeu_ps(out + i, _mm_cvtepi32_ps(s0));
        _mm_storeu_ps(out + i + 4, _mm_cvtepi32_ps(s1));
        _mm_storeu_ps(out + i + 8, _mm_cvtepi32_ps(s2));
        _mm_storeu_ps(out + i + 12, _mm_cvtepi32_ps(s3));
    }
#endif
    for (; i < n; ++i) {
        std::int32_t sum = 0;
        for (std::uint32_t k = 0; k < taps; ++k) {
            sum += weights[k] * rows[k][i];
        }
        out[i] = static_cast<float>(sum);
    }
}

// One row of the horizontal pass: the BGRA pixels of `in` (the vertical pass's
// sums) through `filter` into bytes; `weights` are the filter's, divided by kOne.
void horizontalRow(const float* in, const Filter& filter, const float* weights, std::uint8_t* out) {
    const std::uint32_t count = filter.count;
    const std::size_t width = filter.first.size();
    for (std::size_t x = 0; x < width; ++x, out += 4) {
        const float* p = in + std::size_t{filter.first[x]} * 4;
        const float* w = weights + x * count;
#if defined(__SSE2__)
        // Two sums, so that one tap need not wait for the previous one.
        __m128 even = _mm_setzero_ps();
        __m128 odd = _mm_setzero_ps();
        std::uint32_t k = 0;
        for (; k + 2 <= count; k += 2, p += 8) {
            even = _mm_add_ps(even, _mm_mul_ps(_mm_loadu_ps(p), _mm_set1_ps(w[k])));
            odd = _mm_add_ps(odd, _mm_mul_ps(_mm_loadu_ps(p + 4), _mm_set1_ps(w[k + 1])));
        }
        if (k < count) {
            even = _mm_add_ps(even, _mm_mul_ps(_mm_loadu_ps(p), _mm_set1_ps(w[k])));
        }
        // Rounded to the nearest whole number, then saturated to 0..255.
        __m128i v = _mm_cvtps_epi32(_mm_add_ps(even, odd));
        v = _mm_packs_epi32(v, v);
        v = _mm_packus_epi16(v, v);
        const auto bgra = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
        out[0] = static_cast<std::uint8_t>(bgra);
        out[1] = static_cast<std::uint8_t>(bgra >> 8);
        out[2] = static_cast<std::uint8_t>(bgra >> 16);
        out[3] = static_cast<std::uint8_t>(bgra >> 24);
#else
        float sum[4] = {0, 0, 0, 0};
        for (std::uint32_t k = 0; k < count; ++k, p += 4) {
            for (int c = 0; c < 4; ++c) {
                sum[c] += w[k] * p[c];
            }
        }
        for (int c = 0; c < 4; ++c) {
            out[c] = static_cast<std::uint8_t>(std::clamp(std::nearbyint(sum[c]), 0.0f, 255.0f));
        }
#endif
    }
}

#if IMBRIX_RESIZE_AVX2
// The same two passes with 256-bit registers, for processors that have them
// (chosen at run time: the program itself is built for any x86-64).
[[gnu::target("avx2,fma")]] void verticalRowAvx2(const std::uint8_t* const* rows,
                                                 const std::int16_t* weights, std::uint32_t taps,
                                                 std::size_t n, float* out) {
    std::size_t i = 0;
    const __m256i zero = _mm256_setzero_si256();
    for (; i + 32 <= n; i += 32) {
        __m256i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
        for (std::uint32_t k = 0; k < taps; k += 2) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + i));
            const __m256i w = _mm256_set1_epi32(static_cast<int>(
                static_cast<std::uint16_t>(weights[k]) |
                (static_cast<std::uint32_t>(static_cast<std::uint16_t>(weights[k + 1])) << 16)));
            // Within each 128-bit half, as in verticalRow().
            const __m256i lo = _mm256_unpacklo_epi8(a, b);
            const __m256i hi = _mm256_unpackhi_epi8(a, b);
            s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
            s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
            s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
            s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
        }
        // s0..s3 hold bytes 0-3, 4-7, 8-11, 12-15 in their low halves and
        // 16-19, ..., 28-31 in their high halves.
        _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(_mm256_permute2x128_si256(s0, s1, 0x20)));
        _mm256_storeu_ps(out + i + 8, _mm256_cvtepi32_ps(_mm256_permute2x128_si256(s2, s3, 0x20)));
        _mm256_storeu_ps(out + i + 16, _mm256_cvtepi32_ps(_mm256_permute2x128_si256(s0, s1, 0x31)));
        _mm256_storeu_ps(out + i + 24, _mm256_cvtepi32_ps(_mm256_permute2x128_si256(s2, s3, 0x31)));
    }
    verticalRow(rows, weights, taps, n, out, i);
}

[[gnu::target("avx2,fma")]] void horizontalRowAvx2(const float* in, const Filter& filter,
                                                   const float* weights, std::uint8_t* out) {
    const std::uint32_t count = filter.count;
    const std::size_t width = filter.first.size();
    // Two taps at a time: two neighbouring pixels in one register, each
    // multiplied by its own weight.
    const __m256i spread = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    for (std::size_t x = 0; x < width; ++x, out += 4) {
        const float* p = in + std::size_t{filter.first[x]} * 4;
        const float* w = weights + x * count;
        __m256 sum = _mm256_setzero_ps();
        __m256 more = _mm256_setzero_ps();
#define IMBRIX_WEIGHT_PAIR(k)                                                             \
    _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_castpd_ps(                        \
                                 _mm_load_sd(reinterpret_cast<const double*>(w + (k))))), \
                             spread)
        std::uint32_t k = 0;
        for (; k + 4 <= count; k += 4, p += 16) {
            sum = _mm256_fmadd_ps(_mm256_loadu_ps(p), IMBRIX_WEIGHT_PAIR(k), sum);
            more = _mm256_fmadd_ps(_mm256_loadu_ps(p + 8), IMBRIX_WEIGHT_PAIR(k + 2), more);
        }
        if (k + 2 <= count) {
            sum = _mm256_fmadd_ps(_mm256_loadu_ps(p), IMBRIX_WEIGHT_PAIR(k), sum);
            k += 2;
            p += 8;
        }
#undef IMBRIX_WEIGHT_PAIR
        sum = _mm256_add_ps(sum, more);
        __m128 total = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
        if (k < count) {
            total = _mm_fmadd_ps(_mm_loadu_ps(p), _mm_set1_ps(w[k]), total);
        }
        __m128i v = _mm_cvtps_epi32(total);
        v = _mm_packs_epi32(v, v);
        v = _mm_packus_epi16(v, v);
        const auto bgra = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
        out[0] = static_cast<std::uint8_t>(bgra);
        out[1] = static_cast<std::uint8_t>(bgra >> 8);
        out[2] = static_cast<std::uint8_t>(bgra >> 16);
        out[3] = static_cast<std::uint8_t>(bgra >> 24);
    }
}
#endif

// libvips' "shrink before reduce": a side that shrinks four times or more is
// first averaged over whole blocks of floor(shrink / 2) pixels, so that the
// Lanczos filter works on two to four times the target's size (its taps, and
// so its cost, stay bounded however far the picture shrinks).
std::uint32_t boxSizeFor(double scale) {
    return scale >= 4 ? static_cast<std::uint32_t>(scale / 2) : 1;
}

// The average of each bx x by block of `in` (blocks at the right and bottom
// edges may be smaller: the average of the pixels they hold).
template <typename Sum>
Raster boxShrink(const Raster& in, std::uint32_t bx, std::uint32_t by,
                 const std::stop_token& stop) {
    const std::uint32_t width = (in.width() - 1) / bx + 1;
    const std::uint32_t height = (in.height() - 1) / by + 1;
    Raster out(width, height);
    out.premultiplied = in.premultiplied;
    out.hasAlpha = in.hasAlpha;
    std::vector<Sum> sums(std::size_t{width} * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        if ((y & 15) == 0 && stop.stop_requested()) {
            throw Error(kStoppedMessage);
        }
        std::fill(sums.begin(), sums.end(), Sum{0});
        const std::uint32_t top = y * by;
        const std::uint32_t rows = std::min(by, in.height() - top);
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint8_t* p = in.row(top + r);
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint32_t columns = std::min(bx, in.width() - x * bx);
                Sum* s = &sums[std::size_t{x} * 4];
                for (std::uint32_t c = 0; c < columns; ++c, p += 4) {
                    s[0] += p[0];
                    s[1] += p[1];
                    s[2] += p[2];
                    s[3] += p[3];
                }
            }
        }
        std::uint8_t* o = out.row(y);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t columns = std::min(bx, in.width() - x * bx);
            const Sum n = Sum{columns} * rows;
            for (int c = 0; c < 4; ++c) {
                o[x * 4 + c] = static_cast<std::uint8_t>((sums[x * 4 + c] + n / 2) / n);
            }
        }
    }
    return out;
}

Raster boxShrink(const Raster& in, std::uint32_t bx, std::uint32_t by,
                 const std::stop_token& stop) {
    // 32-bit sums hold blocks of up to 2^24 bytes of 255.
    if (std::uint64_t{bx} * by <= (std::uint64_t{1} << 24)) {
        return boxShrink<std::uint32_t>(in, bx, by, stop);
    }
    return boxShrink<std::uint64_t>(in, bx, by, stop);
}

}  // namespace

namespace {

// resample(), with the outputs placed on the source as `placeX` and `placeY` say.
Raster resampleAxes(const Raster& source, std::uint32_t width, std::uint32_t height,
                    const Axis& placeX, const Axis& placeY, const std::stop_token& stop) {
    if (width == 0 || height == 0) {
        throw Error("Picture has no pixels (" + std::to_string(width) + " x " +
                    std::to_string(height) + ")");
    }
    Raster result(width, height);
    result.premultiplied = true;
    result.hasAlpha = source.hasAlpha;

    const Raster* input = &source;
    Raster premultipliedCopy;
    if (!source.premultiplied && source.hasAlpha) {
        premultipliedCopy = source.clone();
        premultiply(premultipliedCopy);
        input = &premultipliedCopy;
    }
    const std::uint32_t boxX = boxSizeFor(placeX.scale);
    const std::uint32_t boxY = boxSizeFor(placeY.scale);
    Raster boxed;
    if (boxX > 1 || boxY > 1) {
        boxed = boxShrink(*input, boxX, boxY, stop);
        premultipliedCopy = Raster();
        input = &boxed;
    }
    const std::uint32_t inW = input->width();
    const std::uint32_t inH = input->height();
    const Filter across = makeFilter(inW, width, placeX.boxed(boxX));
    const FixedFilter down = toFixed(makeFilter(inH, height, placeY.boxed(boxY)));
    std::vector<float> acrossWeights(across.weights.size());
    for (std::size_t i = 0; i < acrossWeights.size(); ++i) {
        acrossWeights[i] = static_cast<float>(across.weights[i] / kOne);
    }

    // Row by row: the vertical pass makes one row of the input's width, the
    // horizontal pass takes it to the result's width.
    auto vertical = verticalRow;
    auto horizontal = horizontalRow;
#if IMBRIX_RESIZE_AVX2
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        vertical = [](const std::uint8_t* const* r, const std::int16_t* w, std::uint32_t taps,
                      std::size_t n, float* out,
                      std::size_t) { verticalRowAvx2(r, w, taps, n, out); };
        horizontal = horizontalRowAvx2;
    }
#endif
    std::vector<float> middle(std::size_t{inW} * 4);
    std::vector<const std::uint8_t*> rows(down.count);
    for (std::uint32_t y = 0; y < height; ++y) {
        if ((y & 15) == 0 && stop.stop_requested()) {
            throw Error(kStoppedMessage);
        }
        for (std::uint32_t k = 0; k < down.count; ++k) {
            // The extra tap of an odd count has weight 0: any row serves.
            rows[k] = input->row(std::min(down.first[y] + k, inH - 1));
        }
        vertical(rows.data(), &down.weights[std::size_t{y} * down.count], down.count, middle.size(),
                 middle.data(), 0);
        std::uint8_t* out = result.row(y);
        horizontal(middle.data(), across, acrossWeights.data(), out);
        for (std::uint32_t x = 0; x < width; ++x, out += 4) {
            if (!source.hasAlpha) {
                out[kAlpha] = 255;
            } else {
                // Premultiplied: no colour above its alpha.
                const std::uint8_t a = out[kAlpha];
                out[kBlue] = std::min(out[kBlue], a);
                out[kGreen] = std::min(out[kGreen], a);
                out[kRed] = std::min(out[kRed], a);
            }
        }
    }
    return result;
}

}  // namespace

Raster resample(const Raster& source, std::uint32_t width, std::uint32_t height,
                std::stop_token stop) {
    // The whole source onto the whole result.
    return resampleAxes(source, width, height, {static_cast<double>(source.width()) / width, 0},
                        {static_cast<double>(source.height()) / height, 0}, stop);
}

namespace {

// One axis of the resize stage: a full side of `full` pixels, drawn as `drawn`
// pixels, to `out` pixels, `shrink` times smaller. The outputs keep the one
// shrink of both sides and stay centred on the picture (as libvips places them):
// the last output pixel may reach a fraction of a pixel past the picture's edge,
// or stop short of it.
//
// A decoder that reduced the side by n (shrinkFactor()) drew ceil(full / n)
// pixels, each for n of the full side's, the last for what remains; any other
// drawn size stands for the full side evenly.
Axis stageAxis(std::uint32_t full, std::uint32_t drawn, std::uint32_t out, double shrink,
               unsigned n) {
    const double perFull =
        n > 1 && drawn == (full - 1) / n + 1 ? 1.0 / n : static_cast<double>(drawn) / full;
    const double offset = (full - out * shrink) / 2;
    return {shrink * perFull, offset * perFull};
}

}  // namespace

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
        // No shrink: a picture some decoder drew smaller goes back to its full size.
        const double shrink = shrinkOf(options, full).value_or(1.0);
        const unsigned n = shrinkFactor({options}, full);
        picture.pixels = resampleAxes(
            picture.pixels, target.width, target.height,
            stageAxis(full.width, picture.pixels.width(), target.width, shrink, n),
            stageAxis(full.height, picture.pixels.height(), target.height, shrink, n), stop);
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
