// Imbrix imaging layer: colour profiles (ICC), through Little CMS.
//
// What the rest of the program may rely on: after decoding, a picture's
// meta.icc is either empty (the pixels are sRGB) or an RGB profile that Little
// CMS reads and that is not sRGB in effect. The decoders get there through
// adoptProfile() and cmykToSrgb(): gray and CMYK pixels are turned into sRGB at
// once, a profile that cannot be read or does not fit the pixels is dropped
// (the pixels are then taken as sRGB, as web browsers do).
//
// Every function here is reentrant. Transforms are kept in a small cache keyed
// by the profile's bytes (the photos of one batch mostly share a profile); each
// is made in a Little CMS context of its own and only read afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/picture.h"
#include "imaging/raster.h"
#include "imaging/source.h"

namespace imbrix::imaging::colour {

/// Where the CMYK profile is looked for when a CMYK picture carries none: the
/// generic one of Ghostscript (Debian's libgs-common). Without it, CMYK is
/// turned into RGB by the plain formula (255 - ink) * (255 - black) / 255.
inline constexpr const char* kDefaultCmykProfilePath =
    "/usr/share/color/icc/ghostscript/default_cmyk.icc";

/// The colour model of the samples a decoder read, before they became BGRA.
enum class SourceModel { Rgb, Gray };

/// The colour space of a profile's device side; Unreadable when Little CMS cannot
/// read the profile (or there is none).
enum class ProfileSpace { Unreadable, Rgb, Gray, Cmyk, Other };
ProfileSpace profileSpace(Bytes icc);

/// True for an empty profile and for an RGB profile that is sRGB in effect: the
/// colours of a grid over the colour cube differ from sRGB's by less than one
/// CIELAB unit (less than the eye can tell). So the many "sRGB IEC61966-2.1"
/// variants of cameras, printers and systems all count. False for anything
/// else, including a profile that cannot be read. The verdict on the last few
/// profiles is kept: sRGB photos pay for the test once per batch.
bool isSrgb(Bytes icc);

/// Converts the pixels from meta.icc to sRGB and clears meta.icc; a no-op when
/// isSrgb(meta.icc). Perceptual intent, no black point compensation (as
/// ImageMagick's -profile). Works on premultiplied and straight rasters and
/// keeps the raster's state and its alpha. A profile that cannot be read, or
/// that is not an RGB profile, is dropped without touching the pixels.
void convertToSrgb(Picture& picture);

/// A compact sRGB profile (Little CMS's own), for writers that must embed one.
std::vector<std::uint8_t> srgbProfile();

/// What a PNG says about its colours without an iCCP chunk: cHRM (white point
/// and primaries, CIE xy) and gAMA (the encoding gamma, 1/2.2 for sRGB).
struct PngChromaticities {
    double whiteX, whiteY, redX, redY, greenX, greenY, blueX, blueY;
};

/// An RGB profile made from a PNG's cHRM and gAMA chunks: the primaries (sRGB's
/// when cHRM is missing) with a pure power curve of 1/gamma (sRGB's own curve
/// when gAMA is missing). Empty when there is neither, when the chunks hold
/// values no profile can be made of, and when they amount to sRGB (the sRGB
/// primaries with a gamma of about 1/2.2, as the PNG format recommends them).
std::vector<std::uint8_t> profileFromPngChunks(const std::optional<PngChromaticities>& chrm,
                                               std::optional<double> gamma);

/// Gives a freshly decoded picture the profile found in its file, keeping the
/// invariant above. `model` is what the file's samples were (gray samples are
/// replicated into B, G and R). An RGB profile on RGB samples is kept unless it
/// is sRGB; a gray profile on gray samples converts the pixels to sRGB at once;
/// any other profile (unreadable, CMYK, Lab, or one that does not fit the
/// samples) is dropped. meta.icc is set (or cleared) accordingly.
void adoptProfile(Picture& picture, Bytes icc, SourceModel model);

/// Turns a raster whose pixels hold CMYK samples (C, M, Y, K in byte order,
/// `inverted` when 255 means no ink, as Adobe writes them) into opaque BGRA sRGB
/// in place. Through `icc` when it is a readable CMYK profile, else through the
/// profile at kDefaultCmykProfilePath, else by the plain formula. Perceptual
/// intent, as for RGB.
void cmykToSrgb(Raster& raster, Bytes icc, bool inverted);

}  // namespace imbrix::imaging::colour
