// Helpers for the encoder tests: synthetic rasters, and reading encoded files
// back with decoders that are not ours (ImageMagick, dwebp, JxrDecApp).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "imaging/error.h"
#include "imaging/raster.h"
#include "imaging/sink.h"

namespace imbrix::test {

/// A picture as an independent decoder returned it: straight (not premultiplied)
/// RGBA, alpha 255 where the file has none.
struct Decoded {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int channels = 0;  // as stored in the decoder's output: 1 gray, 2 gray+alpha, 3 RGB, 4 RGBA
    std::vector<std::uint8_t> rgba;

    std::array<int, 4> at(std::uint32_t x, std::uint32_t y) const {
        const std::uint8_t* p = rgba.data() + (std::size_t{y} * width + x) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
    bool hasAlphaChannel() const { return channels == 2 || channels == 4; }
};

/// Reads a binary PAM (P7) or PPM (P6) file with 8-bit samples.
inline Decoded readNetpbm(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = readBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    Decoded out;
    std::size_t dataStart = 0;
    if (text.rfind("P7\n", 0) == 0) {
        const std::size_t end = text.find("ENDHDR\n");
        if (end == std::string::npos) {
            throw std::runtime_error("bad PAM header in " + path.string());
        }
        std::istringstream header(text.substr(3, end - 3));
        std::string key;
        int maxval = 0;
        while (header >> key) {
            if (key == "WIDTH") {
                header >> out.width;
            } else if (key == "HEIGHT") {
                header >> out.height;
            } else if (key == "DEPTH") {
                header >> out.channels;
            } else if (key == "MAXVAL") {
                header >> maxval;
            } else {
                std::getline(header, key);  // TUPLTYPE and comments
            }
        }
        if (maxval != 255) {
            throw std::runtime_error("PAM is not 8-bit: " + path.string());
        }
        dataStart = end + 7;
    } else if (text.rfind("P6", 0) == 0) {
        std::istringstream header(text.substr(2, 64));
        int maxval = 0;
        header >> out.width >> out.height >> maxval;
        if (maxval != 255) {
            throw std::runtime_error("PPM is not 8-bit: " + path.string());
        }
        out.channels = 3;
        dataStart = 2 + static_cast<std::size_t>(header.tellg()) + 1;
    } else {
        throw std::runtime_error("not a PAM or PPM file: " + path.string());
    }
    const std::size_t pixels = std::size_t{out.width} * out.height;
    if (bytes.size() < dataStart + pixels * static_cast<std::size_t>(out.channels)) {
        throw std::runtime_error("short netpbm file: " + path.string());
    }
    out.rgba.resize(pixels * 4);
    const std::uint8_t* src = bytes.data() + dataStart;
    for (std::size_t i = 0; i < pixels; ++i, src += out.channels) {
        std::uint8_t* dst = out.rgba.data() + i * 4;
        switch (out.channels) {
            case 1:
                dst[0] = dst[1] = dst[2] = src[0];
                dst[3] = 255;
                break;
            case 2:
                dst[0] = dst[1] = dst[2] = src[0];
                dst[3] = src[1];
                break;
            case 3:
                dst[0] = src[0], dst[1] = src[1], dst[2] = src[2], dst[3] = 255;
                break;
            default:
                dst[0] = src[0], dst[1] = src[1], dst[2] = src[2], dst[3] = src[3];
        }
    }
    return out;
}

inline void mustRun(const std::vector<std::string>& argv) {
    std::string output;
    const int status = runCommand(argv, &output);
    if (status != 0) {
        throw std::runtime_error(argv[0] + " failed (" + std::to_string(status) + "): " + output);
    }
}

/// Encoded bytes as ImageMagick reads them (the system's convert, not any wrapper).
inline Decoded decodeWithImageMagick(const std::vector<std::uint8_t>& encoded,
                                     const std::string& extension) {
    ScratchDir dir;
    const std::string in = dir.file("in." + extension);
    const std::string out = dir.file("out.pam");
    writeBytes(in, encoded);
    mustRun({"/usr/bin/convert", in, "-depth", "8", out});
    return readNetpbm(out);
}

/// WEBP bytes as libwebp's own dwebp reads them (always RGBA).
inline Decoded decodeWithDwebp(const std::vector<std::uint8_t>& encoded) {
    ScratchDir dir;
    const std::string in = dir.file("in.webp");
    const std::string out = dir.file("out.pam");
    writeBytes(in, encoded);
    mustRun({"dwebp", "-quiet", in, "-pam", "-o", out});
    return readNetpbm(out);
}

/// JPEG XR bytes as jxrlib's own JxrDecApp reads them, written as a 24-bit BMP
/// (its PNM output mixes up the channel order) and read through ImageMagick.
inline Decoded decodeWithJxrDecApp(const std::vector<std::uint8_t>& encoded) {
    ScratchDir dir;
    const std::string in = dir.file("in.jxr");
    const std::string bmp = dir.file("out.bmp");
    const std::string out = dir.file("out.pam");
    writeBytes(in, encoded);
    mustRun({"JxrDecApp", "-i", in, "-o", bmp});
    mustRun({"/usr/bin/convert", bmp, "-depth", "8", out});
    return readNetpbm(out);
}

/// JPEG 2000 bytes as OpenJPEG's own opj_decompress reads them, written as PNG
/// and read through ImageMagick; `channels` is the PNG's (what the file codes).
inline Decoded decodeWithOpjDecompress(const std::vector<std::uint8_t>& encoded) {
    ScratchDir dir;
    const std::string in = dir.file("in.jp2");
    const std::string png = dir.file("out.png");
    const std::string out = dir.file("out.pam");
    writeBytes(in, encoded);
    mustRun({"opj_decompress", "-quiet", "-i", in, "-o", png});
    mustRun({"/usr/bin/convert", png, "-depth", "8", "-type", "TrueColorAlpha", out});
    Decoded decoded = readNetpbm(out);
    const std::vector<std::uint8_t> header = readBytes(png);
    static constexpr int kChannelsOfColourType[7] = {1, 0, 3, 1, 2, 0, 4};
    decoded.channels = header.size() > 25 && header[25] < 7 ? kChannelsOfColourType[header[25]] : 0;
    return decoded;
}

/// A raster filled by `pixel(x, y)` returning straight B, G, R, A, stored
/// premultiplied (as decoders deliver rasters) unless `premultiplied` is false.
inline imaging::Raster makeRaster(std::uint32_t width, std::uint32_t height,
                                  const std::function<std::array<int, 4>(int, int)>& pixel,
                                  bool premultiplied = true) {
    imaging::Raster raster(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < width; ++x, p += 4) {
            const auto c = pixel(static_cast<int>(x), static_cast<int>(y));
            for (int i = 0; i < 4; ++i) {
                p[i] = static_cast<std::uint8_t>(c[i]);
            }
        }
    }
    raster.premultiplied = false;
    if (premultiplied) {
        imaging::premultiply(raster);
    }
    return raster;
}

/// A smooth opaque colour gradient: compresses like a photo's sky, not like noise.
inline imaging::Raster gradientRaster(std::uint32_t width, std::uint32_t height) {
    return makeRaster(width, height, [&](int x, int y) {
        return std::array<int, 4>{x * 255 / static_cast<int>(width),
                                  y * 255 / static_cast<int>(height),
                                  (x + y) * 255 / static_cast<int>(width + height), 255};
    });
}

/// A real photo from the corpus, read with ImageMagick, as a premultiplied
/// raster that claims an alpha channel (as decode by content delivers photos).
inline imaging::Raster photoRaster(const std::string& corpusPath) {
    const std::filesystem::path path = corpusDir() / corpusPath;
    ScratchDir dir;
    const std::string out = dir.file("photo.pam");
    mustRun({"/usr/bin/convert", path.string(), "-depth", "8", "-type", "TrueColor", out});
    const Decoded photo = readNetpbm(out);
    return makeRaster(photo.width, photo.height, [&](int x, int y) {
        const auto c = photo.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
        return std::array<int, 4>{c[2], c[1], c[0], 255};
    });
}

/// Largest difference of one channel between the raster's colours (straight,
/// alpha ignored) and the decoded picture's, over the whole picture.
inline int maxColourDifference(const imaging::Raster& raster, const Decoded& decoded) {
    int worst = 0;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const auto d = decoded.at(x, y);
            worst =
                std::max({worst, std::abs(p[imaging::kRed] - d[0]),
                          std::abs(p[imaging::kGreen] - d[1]), std::abs(p[imaging::kBlue] - d[2])});
        }
    }
    return worst;
}

/// Mean absolute difference per colour channel between raster and decoded picture.
inline double meanColourDifference(const imaging::Raster& raster, const Decoded& decoded) {
    double sum = 0;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const auto d = decoded.at(x, y);
            sum += std::abs(p[imaging::kRed] - d[0]) + std::abs(p[imaging::kGreen] - d[1]) +
                   std::abs(p[imaging::kBlue] - d[2]);
        }
    }
    return sum / (3.0 * raster.width() * raster.height());
}

/// Peak signal-to-noise ratio in dB of the decoded picture's colours against the
/// raster's (straight, alpha ignored); 90 for equal pictures.
inline double colourPsnr(const imaging::Raster& raster, const Decoded& decoded) {
    double sum = 0;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const auto d = decoded.at(x, y);
            const int e[3] = {p[imaging::kRed] - d[0], p[imaging::kGreen] - d[1],
                              p[imaging::kBlue] - d[2]};
            sum += e[0] * e[0] + e[1] * e[1] + e[2] * e[2];
        }
    }
    const double mse = sum / (3.0 * raster.width() * raster.height());
    return mse == 0 ? 90.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

/// A sink that accepts `limit` bytes and then fails like a full disk.
class FailingSink final : public imaging::Sink {
public:
    explicit FailingSink(std::size_t limit) : limit_(limit) {}
    void write(const void*, std::size_t size) override {
        if (written_ + size > limit_) {
            throw imaging::Error("Cannot write file \"out\". No space left on device");
        }
        written_ += size;
    }

private:
    std::size_t limit_;
    std::size_t written_ = 0;
};

}  // namespace imbrix::test
