#include "imaging/formats/tiffmemory.h"

#include <algorithm>
#include <cstring>

namespace imbrix::imaging::formats {

namespace {

tmsize_t readProc(thandle_t h, void* out, tmsize_t size) {
    auto* s = static_cast<TiffMemory*>(h);
    if (size <= 0 || s->offset >= s->data.size()) {
        return 0;
    }
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(size), s->data.size() - s->offset);
    std::memcpy(out, s->data.data() + s->offset, n);
    s->offset += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t seekProc(thandle_t h, toff_t offset, int whence) {
    auto* s = static_cast<TiffMemory*>(h);
    toff_t base = 0;
    if (whence == SEEK_CUR) {
        base = s->offset;
    } else if (whence == SEEK_END) {
        base = s->data.size();
    }
    if (offset > ~toff_t{0} - base) {
        return static_cast<toff_t>(-1);
    }
    s->offset = base + offset;
    return s->offset;
}

int closeProc(thandle_t) {
    return 0;
}

toff_t sizeProc(thandle_t h) {
    return static_cast<TiffMemory*>(h)->data.size();
}

int mapProc(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<TiffMemory*>(h);
    *base = const_cast<std::uint8_t*>(s->data.data());
    *size = s->data.size();
    return 1;
}

void unmapProc(thandle_t, void*, toff_t) {}

}  // namespace

TIFF* openTiffInMemory(const char* name, TiffMemory& memory, TIFFOpenOptions* options) {
    return TIFFClientOpenExt(name, "r", &memory, readProc, writeProc, seekProc, closeProc, sizeProc,
                             mapProc, unmapProc, options);
}

}  // namespace imbrix::imaging::formats
