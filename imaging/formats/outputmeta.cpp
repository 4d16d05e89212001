// What the encoders write beside the pixels, prepared once per picture.
#include "imaging/formats/outputmeta.h"

#include "imaging/metadata.h"

namespace imbrix::imaging::formats {

OutputMetadata prepareMetadata(const Metadata& meta, std::uint32_t width, std::uint32_t height) {
    OutputMetadata out;
    out.icc = meta.icc;
    if (!meta.hasDescriptive()) {
        return out;
    }
    out.exif = metadata::exifForOutput(meta.exif, width, height);
    out.xmp = metadata::xmpForOutput(meta.xmp, width, height);
    out.iptc = meta.iptc;
    out.comment = meta.comment;
    return out;
}

std::vector<std::uint8_t> iptcResourceBlock(Bytes iptc) {
    // "8BIM", the resource id, an empty name (a zero length byte, padded to an
    // even size), the data size (big-endian) and the data, padded to an even size.
    std::vector<std::uint8_t> block = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0};
    const auto size = static_cast<std::uint32_t>(iptc.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        block.push_back(static_cast<std::uint8_t>(size >> shift));
    }
    block.insert(block.end(), iptc.begin(), iptc.end());
    if (iptc.size() % 2 != 0) {
        block.push_back(0);
    }
    return block;
}

}  // namespace imbrix::imaging::formats
