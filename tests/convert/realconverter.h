// Test helper: the settings of a file converted with the real converter front
// of the build (bin/imagemagick/magick).
#pragma once

#include <string>

#include "common/testsupport.h"
#include "convert/convertfile.h"

namespace imbrix::test {

/// FileSettings writing `format`, with the build's converter front and its
/// temporary PNGs in `dataFolder` (a '/' is added); every other field as a
/// default FileSettings has it.
inline convert::FileSettings realConverterSettings(const std::string& format,
                                                   const std::string& dataFolder) {
    convert::FileSettings settings;
    settings.format = format;
    settings.dataFolder = dataFolder + "/";
    settings.converterPath = (binDir() / "imagemagick" / "magick").string();
    settings.converterFolder = (binDir() / "imagemagick").string();
    return settings;
}

}  // namespace imbrix::test
