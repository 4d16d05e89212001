// GIF sources through giflib: the first frame, on the logical screen.
#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

struct Reader {
    Bytes data;
    std::size_t offset = 0;
    bool cutShort = false;  // a read asked for more than was left
};

int readBytes(GifFileType* gif, GifByteType* out, int length) {
    auto* r = static_cast<Reader*>(gif->UserData);
    const std::size_t n =
        std::min(static_cast<std::size_t>(std::max(length, 0)), r->data.size() - r->offset);
    std::memcpy(out, r->data.data() + r->offset, n);
    r->offset += n;
    r->cutShort = r->cutShort || n < static_cast<std::size_t>(std::max(length, 0));
    return static_cast<int>(n);
}

struct GifCloser {
    GifFileType* gif;
    ~GifCloser() {
        int ignored = 0;
        DGifCloseFile(gif, &ignored);
    }
};

[[noreturn]] void fail(int code) {
    // Our reader only comes up short at the end of the data.
    if (code == D_GIF_ERR_READ_FAILED) {
        throw Error("GIF error: the file is truncated");
    }
    if (code == D_GIF_ERR_EOF_TOO_SOON) {
        throw Error("GIF error: the file is truncated or damaged (the image data end early)");
    }
    const char* text = GifErrorString(code);
    throw Error(std::string("GIF error: ") + (text ? text : "unknown error"));
}

// giflib names what it was reading when the data ran out ("No screen
// descriptor detected", ...): the user is told that the file ends early.
[[noreturn]] void fail(const GifFileType* gif) {
    if (static_cast<const Reader*>(gif->UserData)->cutShort) {
        fail(D_GIF_ERR_READ_FAILED);
    }
    fail(gif->Error);
}

// The bytes of LZW data in the sub-blocks that start at `at`, up to the
// terminating empty block or the end of the file.
std::uint64_t lzwDataBytes(Bytes data, std::size_t at) {
    std::uint64_t total = 0;
    while (at < data.size() && data[at] != 0) {
        const std::size_t length = data[at];
        total += std::min(length, data.size() - at - 1);
        at += 1 + length;
    }
    return total;
}

// An LZW code is at least two bits wide and stands for at most 4096 pixels (the
// longest string its table can hold), so a frame cannot have more pixels than
// 16384 per byte of its data. A frame that claims more is refused before the
// screen is allocated.
void checkDataCovers(const GifImageDesc& frame, Bytes data, std::size_t dataStart) {
    const std::uint64_t pixels = std::uint64_t{static_cast<std::uint32_t>(frame.Width)} *
                                 static_cast<std::uint32_t>(frame.Height);
    if (pixels > lzwDataBytes(data, dataStart) * 16384) {
        throw Error("GIF error: the file is truncated or damaged (too little image data for a " +
                    std::to_string(frame.Width) + " x " + std::to_string(frame.Height) + " frame)");
    }
}

}  // namespace

Picture decodeGif(Bytes data) {
    if (data.empty()) {
        throw Error("GIF error: the file is empty");
    }
    Reader reader{data};
    int openError = 0;
    GifFileType* gif = DGifOpen(&reader, readBytes, &openError);
    if (!gif) {
        fail(reader.cutShort ? D_GIF_ERR_READ_FAILED : openError);
    }
    const GifCloser closer{gif};

    // Read records only up to the first image: an animation's later frames are
    // never touched.
    int transparent = NO_TRANSPARENT_COLOR;
    std::vector<std::uint8_t> icc;  // from the "ICCRGBG1012" application extension
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) {
            fail(gif);
        }
        if (record == TERMINATE_RECORD_TYPE) {
            throw Error("GIF error: the file holds no image");
        }
        if (record == IMAGE_DESC_RECORD_TYPE) {
            break;
        }
        if (record != EXTENSION_RECORD_TYPE) {
            throw Error("GIF error: unexpected record");
        }
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) {
            fail(gif);
        }
        // An application extension's first block names it; an ICC profile's
        // bytes follow in the blocks after it.
        const bool isProfile = code == APPLICATION_EXT_FUNC_CODE && block && block[0] == 11 &&
                               std::memcmp(block + 1, "ICCRGBG1012", 11) == 0;
        if (isProfile) {
            icc.clear();
        }
        for (bool first = true; block; first = false) {
            if (isProfile && !first) {
                icc.insert(icc.end(), block + 1, block + 1 + block[0]);
            }
            if (code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4) {
                GraphicsControlBlock gcb{};
                if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) {
                    transparent = gcb.TransparentColor;
                }
            }
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) {
                fail(gif);
            }
        }
    }
    if (DGifGetImageDesc(gif) == GIF_ERROR) {
        fail(gif);
    }
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* colors = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!colors || !colors->Colors || colors->ColorCount <= 0) {
        throw Error("GIF error: the image has no colour table");
    }
    if (frame.Left < 0 || frame.Top < 0 || frame.Width <= 0 || frame.Height <= 0) {
        throw Error("GIF error: wrong image dimensions");
    }
    // A screen of zero size (some encoders write that) takes the frame's extent.
    const auto right = std::uint64_t{static_cast<std::uint32_t>(frame.Left)} +
                       static_cast<std::uint32_t>(frame.Width);
    const auto bottom = std::uint64_t{static_cast<std::uint32_t>(frame.Top)} +
                        static_cast<std::uint32_t>(frame.Height);
    const std::uint64_t screenWidth = gif->SWidth > 0 ? gif->SWidth : right;
    const std::uint64_t screenHeight = gif->SHeight > 0 ? gif->SHeight : bottom;
    checkPictureSize(screenWidth, screenHeight);
    checkPictureSize(static_cast<std::uint32_t>(frame.Width),
                     static_cast<std::uint32_t>(frame.Height));
    // giflib has read the descriptor and the LZW code size, nothing further.
    checkDataCovers(frame, data, reader.offset);
    Raster picture(static_cast<std::uint32_t>(screenWidth),
                   static_cast<std::uint32_t>(screenHeight));

    // Interlaced frames store rows in four passes.
    std::vector<std::uint32_t> rowOrder(static_cast<std::size_t>(frame.Height));
    if (frame.Interlace) {
        std::size_t i = 0;
        static constexpr int kStart[] = {0, 4, 2, 1};
        static constexpr int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (int y = kStart[pass]; y < frame.Height; y += kStep[pass]) {
                rowOrder[i++] = static_cast<std::uint32_t>(y);
            }
        }
    } else {
        for (std::size_t y = 0; y < rowOrder.size(); ++y) {
            rowOrder[y] = static_cast<std::uint32_t>(y);
        }
    }

    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));
    const auto left = static_cast<std::uint32_t>(frame.Left);
    const std::uint32_t visibleWidth =
        left < picture.width() ? std::min<std::uint32_t>(picture.width() - left,
                                                         static_cast<std::uint32_t>(frame.Width))
                               : 0;
    for (const std::uint32_t fy : rowOrder) {
        if (DGifGetLine(gif, line.data(), frame.Width) == GIF_ERROR) {
            fail(gif);
        }
        const std::uint64_t y = std::uint64_t{static_cast<std::uint32_t>(frame.Top)} + fy;
        if (y >= picture.height()) {
            continue;
        }
        std::uint8_t* out = picture.row(static_cast<std::uint32_t>(y)) + std::size_t{left} * 4;
        for (std::uint32_t x = 0; x < visibleWidth; ++x, out += 4) {
            const int index = line[x];
            if (index == transparent || index >= colors->ColorCount) {
                continue;  // left as the zeroed screen: transparent
            }
            const GifColorType& c = colors->Colors[index];
            out[kBlue] = c.Blue;
            out[kGreen] = c.Green;
            out[kRed] = c.Red;
            out[kAlpha] = 255;
        }
    }
    Picture result{std::move(picture), {}};
    colour::adoptProfile(result, icc, colour::SourceModel::Rgb);
    return result;
}

}  // namespace imbrix::imaging::formats
