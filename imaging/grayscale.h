// Imbrix imaging layer: the two grayscale conversions.
#pragma once

#include "imaging/raster.h"

namespace imbrix::imaging {

/// Raster grayscale: drops the alpha channel (the raster becomes 24-bit:
/// hasAlpha false, alpha bytes 255, colour values kept as they are) and stores
/// (blue + green + red) / 3, truncated, into all three channels.
void grayscaleRaster(Raster& raster);

/// The luminance filter applied while drawing for PNG, JPEG and WEBP output:
/// per pixel, unpremultiply; each channel sRGB to linear; Y = 0.2126 R +
/// 0.7152 G + 0.0722 B clamped to 0..1; back to sRGB into R, G and B; alpha
/// unchanged; premultiply again; round to 8 bits. Works on premultiplied and
/// unpremultiplied rasters alike and keeps the raster's state.
void applyLuminanceGrayscale(Raster& raster);

}  // namespace imbrix::imaging
