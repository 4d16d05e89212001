#include "tools/magick/jxlheader.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <fstream>
#include <vector>

namespace imbrix::magick {

namespace {

// The header comes first in a codestream; a container may put metadata boxes
// before it. Beyond this much the file is left to the decoder.
constexpr std::size_t kMaxHeaderSearch = 16 * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::optional<PictureSize> jxlPictureSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data;
    std::size_t consumed = 0;  // bytes of `data` the decoder has taken
    while (data.size() < kMaxHeaderSearch) {
        const std::size_t old = data.size();
        data.resize(old + kChunk);
        in.read(reinterpret_cast<char*>(data.data() + old), static_cast<std::streamsize>(kChunk));
        data.resize(old + static_cast<std::size_t>(in.gcount()));
        const bool atEnd = data.size() == old;
        if (JxlDecoderSetInput(decoder.get(), data.data() + consumed, data.size() - consumed) !=
            JXL_DEC_SUCCESS) {
            return std::nullopt;
        }
        if (atEnd) {
            JxlDecoderCloseInput(decoder.get());
        }
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) {
                return std::nullopt;
            }
            return PictureSize{info.xsize, info.ysize};
        }
        const std::size_t unread = JxlDecoderReleaseInput(decoder.get());
        consumed = data.size() - unread;
        if (status != JXL_DEC_NEED_MORE_INPUT || atEnd) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace imbrix::magick
