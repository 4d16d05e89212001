// Imbrix imaging layer: resizing.
//
// A run may resize every picture: to fit inside a box, to a length of its long
// side, or by a percentage, always keeping its aspect ratio and never making it
// larger unless asked. The size is worked out on the picture as it is shown
// (after its EXIF orientation), from its full size even when a decoder drew it
// smaller (the shrink hint below), so every route gives the same size.
//
// The resampler is a separable Lanczos-3 filter on premultiplied pixels, so
// transparent pixels lend no colour to their neighbours (no dark fringes). It
// goes row by row, the vertical pass first (libvips' order), so that it needs
// no intermediate picture; a side made four or more times smaller is first
// averaged over blocks of floor(shrink / 2) pixels (libvips' "shrink" before
// "reduce"), which keeps the filter at most 25 taps long.
// Decoders that can draw a picture smaller for less work (libjpeg-turbo's DCT
// scaling, libwebp's scaled decoding) take a DecodeHint and draw it no smaller
// than the target; the stage then resamples to the exact size. The stage keeps
// one shrink for both sides and centres the result on the picture, as libvips
// does: a side rounded to whole pixels may reach a fraction of a pixel past the
// picture's edge or stop short of it.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "imaging/raster.h"

namespace imbrix::imaging {

enum class ResizeMode {
    None,      ///< the picture keeps its size
    Fit,       ///< fit inside width x height
    LongSide,  ///< the longer side becomes `longSide` pixels
    Percent,   ///< both sides times percent / 100
};

/// The largest number a side or a percentage may be given as.
inline constexpr std::uint32_t kMaxResizeSide = 65535;
inline constexpr std::uint32_t kMaxResizePercent = 1000;

struct ResizeOptions {
    ResizeMode mode = ResizeMode::None;
    std::uint32_t width = 0;     ///< Fit: the box's width (1..kMaxResizeSide)
    std::uint32_t height = 0;    ///< Fit: the box's height (1..kMaxResizeSide)
    std::uint32_t longSide = 0;  ///< LongSide: 1..kMaxResizeSide
    std::uint32_t percent = 0;   ///< Percent: 1..kMaxResizePercent
    /// Pictures smaller than the target are made larger too; otherwise they keep their size.
    bool enlarge = false;

    /// True when a picture may change size (a mode other than None).
    bool active() const { return mode != ResizeMode::None; }
    bool operator==(const ResizeOptions&) const = default;
};

struct PixelSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const PixelSize&) const = default;
};

/// The size a picture of `full` (as shown) is resized to. The constraining side
/// gets its target exactly; the other is rounded to the nearest whole pixel as
/// libvips rounds it, and is at least 1. Returns `full` itself when the mode is
/// None, or when the target is larger and `enlarge` is off.
PixelSize resizeTarget(const ResizeOptions& options, PixelSize full);

/// A Lanczos-3 resample of `source` to `width` x `height` (each at least 1),
/// the whole source onto the whole result (block averages first on a side
/// made four or more times smaller). Works on premultiplied pixels (an
/// unpremultiplied source is premultiplied first); the result is premultiplied
/// and keeps hasAlpha. The result's memory, and that of the block averages or a
/// premultiplied copy, is charged like any raster's; beyond those it takes one
/// row of floats. Throws Error(kStoppedMessage) when `stop` is requested part
/// way, and Error("Picture is too large ...") for a result past the size cap.
Raster resample(const Raster& source, std::uint32_t width, std::uint32_t height,
                std::stop_token stop = {});

/// What a decoder may do to save work: draw the picture smaller, never below
/// the size resizeTarget() gives for its full size (as shown). A decoder that
/// draws it smaller records the full size in the picture's Metadata
/// (fullWidth, fullHeight).
///
/// The resize stage reads where the drawn pixels lie from their number: a side
/// drawn as ceil(side / n) pixels for n = shrinkFactor() stands for blocks of n
/// pixels from its start, the last block holding what remains (libjpeg's
/// scaled DCT); a side drawn at any other size is spread evenly over the full
/// side (libwebp's scaler, which draws floor(side / n) for this reason).
struct DecodeHint {
    ResizeOptions resize;
};

/// The reduction (1, 2, 4 or 8) a decoder may draw a picture of `full` pixels
/// (as shown) with, where a reduction by n gives ceil(side / n): the largest
/// that still leaves the resampler at least a factor of two on the constraining
/// side, as libvips' thumbnailer does (a decoder's reduction is a plain block
/// average and would alias on its own). 1 when no resize is asked for or the
/// picture is not made at least twice smaller. The JPEG decoder takes a smaller
/// factor, one that divides both sides, when the EXIF orientation would put a
/// side's partial last block first.
unsigned shrinkFactor(const DecodeHint& hint, PixelSize full);

/// The rule of shrinkFactor() for a target of one's own: the largest n of 8, 4
/// and 2 that leaves ceil(side / n) at least twice `target` on both sides of
/// `full`; 1 when none does.
unsigned reductionFor(PixelSize full, PixelSize target);

/// The converter's geometry for `options` (ImageMagick's -resize argument):
/// "WxH>" (fit, not enlarging), "WxH" (fit, enlarging), "NxN>" / "NxN" (long side),
/// "P%>" / "P%" (percent). Empty for ResizeMode::None.
std::string resizeGeometry(const ResizeOptions& options);

/// Reads a geometry written by resizeGeometry() back. A long-side geometry reads
/// as a fit into an N x N box, which gives the same sizes. Nothing for any other
/// text.
std::optional<ResizeOptions> parseResizeGeometry(std::string_view geometry);

}  // namespace imbrix::imaging
