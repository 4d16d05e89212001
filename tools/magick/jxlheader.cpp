#include "tools/magick/jxlheader.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace imbrix::magick {

namespace {

// The header comes first in a codestream; a container may put metadata boxes
// before it. Beyond this much the file is left to the decoder.
constexpr std::size_t kMaxHeaderSearch = 16 * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

bool isSrgb(const JxlColorEncoding& c) {
    return c.color_space == JXL_COLOR_SPACE_RGB && c.white_point == JXL_WHITE_POINT_D65 &&
           c.primaries == JXL_PRIMARIES_SRGB && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

}  // namespace

std::optional<JxlHeader> readJxlHeader(
    const std::function<std::size_t(std::uint8_t*, std::size_t)>& read) {
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING) !=
            JXL_DEC_SUCCESS) {
        return std::nullopt;
    }
    std::optional<JxlHeader> header;
    std::vector<std::uint8_t> data;
    std::size_t consumed = 0;  // bytes of `data` the decoder has taken
    bool atEnd = false;
    bool needInput = true;
    while (true) {
        if (needInput) {
            if (atEnd || data.size() >= kMaxHeaderSearch) {
                return header;  // the size at least, when it was read
            }
            const std::size_t old = data.size();
            data.resize(old + kChunk);
            data.resize(old + read(data.data() + old, kChunk));
            atEnd = data.size() == old;
            if (JxlDecoderSetInput(decoder.get(), data.data() + consumed, data.size() - consumed) !=
                JXL_DEC_SUCCESS) {
                return header;
            }
            if (atEnd) {
                JxlDecoderCloseInput(decoder.get());
            }
            needInput = false;
        }
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) {
                return std::nullopt;
            }
            header = JxlHeader{info.xsize, info.ysize, info.alpha_bits > 0,
                               info.num_color_channels == 1, false};
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            JxlColorEncoding encoding;
            if (header && JxlDecoderGetColorAsEncodedProfile(decoder.get(), nullptr,
                                                             JXL_COLOR_PROFILE_TARGET_DATA,
                                                             &encoding) == JXL_DEC_SUCCESS) {
                header->srgb = isSrgb(encoding);
            }
            return header;
        } else if (status == JXL_DEC_NEED_MORE_INPUT) {
            const std::size_t unread = JxlDecoderReleaseInput(decoder.get());
            consumed = data.size() - unread;
            needInput = true;
        } else {
            return header;  // an error, or done without a colour encoding
        }
    }
}

std::optional<JxlHeader> readJxlHeaderOfFile(int fd) {
    off_t offset = 0;
    return readJxlHeader([fd, &offset](std::uint8_t* to, std::size_t n) -> std::size_t {
        while (true) {
            const ssize_t got = ::pread(fd, to, n, offset);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return 0;
            }
            offset += got;
            return static_cast<std::size_t>(got);
        }
    });
}

std::optional<JxlHeader> readJxlHeaderOfData(std::string_view data) {
    std::size_t at = 0;
    return readJxlHeader([data, &at](std::uint8_t* to, std::size_t n) {
        const std::size_t give = std::min(n, data.size() - at);
        if (give > 0) {
            std::memcpy(to, data.data() + at, give);
        }
        at += give;
        return give;
    });
}

}  // namespace imbrix::magick
