// Imbrix imaging layer: the JPEG XR decoder's program, and how it is found.
#pragma once

#include <chrono>
#include <string>

#include "imaging/picture.h"
#include "imaging/raster.h"
#include "imaging/source.h"

namespace imbrix::imaging::formats {

/// The program that decodes a JPEG XR file, and how long one decode may take.
struct JxrDecoderProgram {
    std::string path;
    std::chrono::milliseconds deadline;
};

/// The program decodeJxr() starts: $IMBRIX_JXRDECODE when it is set and not
/// empty (the tests and the build tree use it), else "imbrix-jxrdecode" in the
/// running program's own folder (from /proc/self/exe), where it is installed
/// beside imbrix and imbrix-cli.
JxrDecoderProgram jxrDecoderProgram();

/// decodeJxr() through the given program.
Picture decodeJxrWith(Bytes data, const JxrDecoderProgram& program);

}  // namespace imbrix::imaging::formats
