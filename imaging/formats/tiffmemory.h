// libtiff reading a TIFF file held in memory.
#pragma once

#include <tiffio.h>

#include "imaging/source.h"

namespace imbrix::imaging::formats {

/// Bytes for libtiff to read, and where its reads have got to.
struct TiffMemory {
    Bytes data;
    toff_t offset = 0;
};

/// Opens `memory` for reading with libtiff's TIFFClientOpenExt (`name` appears
/// in its messages; `options` sets the handlers and limits). The bytes are
/// handed to libtiff as its mapping, which spares it a copy of every strip; it
/// checks strip offsets against their size. `memory` must outlive the TIFF.
/// Null when libtiff refuses the file (its handlers have said why).
TIFF* openTiffInMemory(const char* name, TiffMemory& memory, TIFFOpenOptions* options);

}  // namespace imbrix::imaging::formats
