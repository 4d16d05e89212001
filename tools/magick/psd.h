// PSD outputs as one flattened picture.
#pragma once

#include <string>

namespace imbrix::magick {

/// Copies the PSD file `fromPath` to `toPath` without its layers: the layer and
/// mask section becomes empty, and header, colour mode data, image resources and
/// the flattened picture (the image data section) stay as they are. ImageMagick 6
/// writes every picture a second time as a layer; for an opaque picture that copy
/// only doubles the file. Empty string on success, otherwise the reason.
std::string copyPsdWithoutLayers(const std::string& fromPath, const std::string& toPath);

}  // namespace imbrix::magick
