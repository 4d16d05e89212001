// Test helpers: pictures and encoder options from plain rasters.
#pragma once

#include "imaging/picture.h"

namespace imbrix::test {

/// A picture holding a copy of `raster`, with no metadata.
inline imaging::Picture pictureOf(const imaging::Raster& raster) {
    return {raster.clone(), {}};
}

inline imaging::EncodeOptions withQuality(int quality) {
    imaging::EncodeOptions options;
    options.quality = quality;
    return options;
}

}  // namespace imbrix::test
