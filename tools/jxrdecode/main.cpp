// imbrix-jxrdecode: decodes the JPEG XR file on its standard input with jxrlib
// and writes the picture to its standard output as imaging/formats/jxr_reply.h
// lays out: BGRA rows, 16-bit samples scaled to 8 bits.
//
//   imbrix-jxrdecode MAX-PIXELS < file.jxr
//
// A picture of more than MAX-PIXELS pixels is refused before any pixel memory is
// taken. jxrlib stops the program on a failed assertion and may read out of
// bounds on damaged data: the program that started this one sees a crash and
// reports the file as damaged. Exit status 0 whenever a reply was written, also
// one that says the decode failed.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// jxrlib's C headers, last: they define min and max as macros.
extern "C" {
#include <JXRGlue.h>
}
#undef min
#undef max

#include "imaging/formats/jxr_reply.h"
#include "platform/uniquefd.h"

namespace {

using namespace imbrix::imaging::jxr;

// Byte offsets of the channels within a BGRA pixel.
constexpr int kBlue = 0, kGreen = 1, kRed = 2, kAlpha = 3;

bool same(const PKPixelFormatGUID& a, const PKPixelFormatGUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The layouts we take from the decoder as they are and turn into BGRA ourselves.
// 16-bit integer samples are scaled to 8 bits; packed 16-bit RGB, floating and
// fixed-point, CMYK and YCC layouts are refused.
enum class Layout {
    Bgr24,
    Rgb24,
    Bgrx32,
    Bgra32,
    Pbgra32,
    Rgbx32,
    Rgba32,
    Prgba32,
    Gray8,
    Rgb48,
    Rgba64,
    Prgba64,
    Gray16,
};

struct Format {
    const PKPixelFormatGUID* guid;
    Layout layout;
    std::size_t bytes;  // per pixel
};

const Format* findFormat(const PKPixelFormatGUID& pf) {
    static const Format kFormats[] = {
        {&GUID_PKPixelFormat24bppBGR, Layout::Bgr24, 3},
        {&GUID_PKPixelFormat24bppRGB, Layout::Rgb24, 3},
        {&GUID_PKPixelFormat32bppBGR, Layout::Bgrx32, 4},
        {&GUID_PKPixelFormat32bppBGRA, Layout::Bgra32, 4},
        {&GUID_PKPixelFormat32bppPBGRA, Layout::Pbgra32, 4},
        {&GUID_PKPixelFormat32bppRGB, Layout::Rgbx32, 4},
        {&GUID_PKPixelFormat32bppRGBA, Layout::Rgba32, 4},
        {&GUID_PKPixelFormat32bppPRGBA, Layout::Prgba32, 4},
        {&GUID_PKPixelFormat8bppGray, Layout::Gray8, 1},
        {&GUID_PKPixelFormat48bppRGB, Layout::Rgb48, 6},
        {&GUID_PKPixelFormat64bppRGBA, Layout::Rgba64, 8},
        {&GUID_PKPixelFormat64bppPRGBA, Layout::Prgba64, 8},
        {&GUID_PKPixelFormat16bppGray, Layout::Gray16, 2},
    };
    for (const Format& f : kFormats) {
        if (same(*f.guid, pf)) {
            return &f;
        }
    }
    return nullptr;
}

// A little-endian 16-bit sample scaled to 8 bits, rounded.
std::uint8_t sample16(const std::uint8_t* p) {
    const unsigned v = unsigned{p[0]} | unsigned{p[1]} << 8;
    return static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
}

void toBgra(Layout layout, const std::uint8_t* in, std::uint8_t* out) {
    switch (layout) {
        case Layout::Bgr24:
            out[kBlue] = in[0];
            out[kGreen] = in[1];
            out[kRed] = in[2];
            out[kAlpha] = 255;
            break;
        case Layout::Rgb24:
            out[kRed] = in[0];
            out[kGreen] = in[1];
            out[kBlue] = in[2];
            out[kAlpha] = 255;
            break;
        case Layout::Gray8:
            out[kBlue] = out[kGreen] = out[kRed] = in[0];
            out[kAlpha] = 255;
            break;
        case Layout::Bgrx32:
            std::memcpy(out, in, 3);
            out[kAlpha] = 255;
            break;
        case Layout::Bgra32:
        case Layout::Pbgra32:
            std::memcpy(out, in, 4);
            break;
        case Layout::Rgbx32:
        case Layout::Rgba32:
        case Layout::Prgba32:
            out[kRed] = in[0];
            out[kGreen] = in[1];
            out[kBlue] = in[2];
            out[kAlpha] = layout == Layout::Rgbx32 ? 255 : in[3];
            break;
        case Layout::Rgb48:
        case Layout::Rgba64:
        case Layout::Prgba64:
            out[kRed] = sample16(in);
            out[kGreen] = sample16(in + 2);
            out[kBlue] = sample16(in + 4);
            out[kAlpha] = layout == Layout::Rgb48 ? 255 : sample16(in + 6);
            break;
        case Layout::Gray16:
            out[kBlue] = out[kGreen] = out[kRed] = sample16(in);
            out[kAlpha] = 255;
            break;
    }
}

bool writeAll(int fd, const void* data, std::size_t size) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int sendFailure(int fd, std::uint32_t status, std::uint32_t width, std::uint32_t height,
                const char* step, ERR err) noexcept {
    char text[kMaxMessage];
    const int n = err == WMP_errSuccess ? std::snprintf(text, sizeof text, "%s", step)
                                        : std::snprintf(text, sizeof text, "%s failed (%ld)", step,
                                                        static_cast<long>(err));
    const Reply reply{status,
                      width,
                      height,
                      0,
                      static_cast<std::uint32_t>(n > 0 ? std::min<int>(n, kMaxMessage - 1) : 0),
                      0,
                      0};
    return writeAll(fd, &reply, sizeof reply) && writeAll(fd, text, reply.messageSize) ? 0 : 1;
}

// Whether `count` bytes from `offset` lie within data of `size` bytes.
bool within(std::uint64_t offset, std::uint64_t count, std::uint64_t size) noexcept {
    return offset <= size && count <= size - offset;
}

// Whether the container's directory (little-endian, as in TIFF: its offset at
// byte 4, a count of 12-byte entries, the next directory's offset) lies within
// the data. Data that do not start like a container count as whole.
bool directoryWithin(const std::vector<std::uint8_t>& data) noexcept {
    auto read = [&data](std::uint64_t at, unsigned n) -> std::uint64_t {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            v |= std::uint64_t{data[static_cast<std::size_t>(at) + i]} << (8 * i);
        }
        return v;
    };
    if (data.size() < 4 || data[0] != 'I' || data[1] != 'I' || data[2] != 0xBC) {
        return true;
    }
    if (data.size() < 8) {
        return false;
    }
    const std::uint64_t directory = read(4, 4);
    if (!within(directory, 2, data.size())) {
        return false;
    }
    return within(directory + 2, read(directory, 2) * 12 + 4, data.size());
}

// Decodes with jxrlib and writes the reply to `fd`. Frees nothing: the program
// ends right after.
int decode(const std::vector<std::uint8_t>& data, std::uint64_t maxPixels, int fd) noexcept {
    WMPStream* stream = nullptr;
    // jxrlib's memory stream only reads through this pointer.
    ERR err = CreateWS_Memory(&stream, const_cast<std::uint8_t*>(data.data()), data.size());
    if (Failed(err)) {
        return sendFailure(fd, kFailed, 0, 0, "opening the data", err);
    }
    PKImageDecode* decoder = nullptr;
    if (Failed(err = PKImageDecode_Create_WMP(&decoder))) {
        return sendFailure(fd, kFailed, 0, 0, "creating the decoder", err);
    }
    if (Failed(err = decoder->Initialize(decoder, stream))) {
        // The memory stream fails a read past the end of the data; a directory
        // that lies beyond it reads as an unknown format.
        return err == WMP_errBufferOverflow || !directoryWithin(data)
                   ? sendFailure(fd, kFailed, 0, 0, "the file is truncated", WMP_errSuccess)
                   : sendFailure(fd, kFailed, 0, 0, "reading the header", err);
    }
    // jxrlib decodes a codestream cut short as far as it goes and leaves the
    // rest of the picture blank: the parts the container points to must be there.
    const WmpDEMisc& parts = decoder->WMP.wmiDEMisc;
    if (!within(parts.uImageOffset, parts.uImageByteCount, data.size()) ||
        (parts.uAlphaByteCount != 0 &&
         !within(parts.uAlphaOffset, parts.uAlphaByteCount, data.size()))) {
        return sendFailure(fd, kFailed, 0, 0, "the file is truncated", WMP_errSuccess);
    }
    I32 width = 0;
    I32 height = 0;
    if (Failed(err = decoder->GetSize(decoder, &width, &height))) {
        return sendFailure(fd, kFailed, 0, 0, "reading the size", err);
    }
    if (width <= 0 || height <= 0) {
        return sendFailure(fd, kFailed, 0, 0, "wrong picture size", WMP_errSuccess);
    }
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    if (std::uint64_t{w} * h > maxPixels) {
        return sendFailure(fd, kTooLarge, w, h, "too large", WMP_errSuccess);
    }
    PKPixelFormatGUID pixelFormat{};
    if (Failed(err = decoder->GetPixelFormat(decoder, &pixelFormat))) {
        return sendFailure(fd, kFailed, 0, 0, "reading the pixel format", err);
    }
    const Format* format = findFormat(pixelFormat);
    if (!format) {
        return sendFailure(fd, kFailed, 0, 0, "unsupported pixel format", WMP_errSuccess);
    }
    // The decoder leaves the alpha plane out unless told to decode it with the
    // picture (alpha mode 2); the other settings follow the pixel format.
    PKPixelInfo info{};
    info.pGUIDPixFmt = &pixelFormat;
    if (Failed(err = PixelFormatLookup(&info, LOOKUP_FORWARD))) {
        return sendFailure(fd, kFailed, 0, 0, "reading the pixel format", err);
    }
    decoder->WMP.wmiSCP.uAlphaMode = (info.grBit & PK_pixfmtHasAlpha) ? 2 : 0;
    decoder->WMP.wmiI.cfColorFormat = info.cfColorFormat;
    decoder->WMP.wmiI.bdBitDepth = info.bdBitDepth;
    decoder->WMP.wmiI.cBitsPerUnit = info.cbitUnit;

    // The decoder writes rows of its own layout, 16-byte aligned.
    const std::size_t stride = (format->bytes * std::size_t{w} + 15) / 16 * 16;
    auto* pixels = new (std::nothrow) std::uint8_t[stride * h];
    auto* out = new (std::nothrow) std::uint8_t[std::size_t{w} * 4];
    if (!pixels || !out) {
        return sendFailure(fd, kFailed, 0, 0, "not enough memory", WMP_errSuccess);
    }
    const PKRect rect{0, 0, width, height};
    if (Failed(err = decoder->Copy(decoder, &rect, pixels, static_cast<U32>(stride)))) {
        return sendFailure(fd, kFailed, 0, 0, "decoding the pixels", err);
    }
    const bool premultiplied = format->layout == Layout::Pbgra32 ||
                               format->layout == Layout::Prgba32 ||
                               format->layout == Layout::Prgba64;
    const bool gray = format->layout == Layout::Gray8 || format->layout == Layout::Gray16;
    // The colour context, when the container has one that lies within the data
    // (the caller judges what it holds).
    U32 profileSize = 0;
    std::uint8_t* profile = nullptr;
    if (!Failed(decoder->GetColorContext(decoder, nullptr, &profileSize)) && profileSize > 0 &&
        profileSize <= kMaxProfile &&
        within(decoder->WMP.wmiDEMisc.uColorProfileOffset, profileSize, data.size())) {
        profile = new (std::nothrow) std::uint8_t[profileSize];
        if (!profile || Failed(decoder->GetColorContext(decoder, profile, &profileSize))) {
            profileSize = 0;
        }
    } else {
        profileSize = 0;
    }
    const Reply reply{kDecoded, w, h, premultiplied ? 1u : 0u, 0, profileSize, gray ? 1u : 0u};
    if (!writeAll(fd, &reply, sizeof reply) || !writeAll(fd, profile, profileSize)) {
        return 1;
    }
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint8_t* row = pixels + y * stride;
        for (std::uint32_t x = 0; x < w; ++x) {
            toBgra(format->layout, row + x * format->bytes, out + std::size_t{x} * 4);
        }
        if (!writeAll(fd, out, std::size_t{w} * 4)) {
            return 1;
        }
    }
    return 0;
}

bool readAll(int fd, std::vector<std::uint8_t>& data) {
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            data.insert(data.end(), buffer, buffer + n);
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // It works for one caller only: it ends with that caller, however it was
    // started (runProcess sets this too; a caller that ended already is noticed
    // as a change of parent).
    const pid_t caller = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != caller) {
        return 2;
    }
    char* end = nullptr;
    const unsigned long long maxPixels = argc == 2 ? std::strtoull(argv[1], &end, 10) : 0;
    if (argc != 2 || end == argv[1] || *end != '\0' || maxPixels == 0) {
        std::fprintf(stderr, "usage: imbrix-jxrdecode MAX-PIXELS < file.jxr > reply\n");
        return 2;
    }
    // The reply gets a descriptor of its own; what jxrlib prints on the standard
    // streams (it reports unknown tags there) goes nowhere.
    const imbrix::platform::UniqueFd reply(
        ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    const imbrix::platform::UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!reply || !devNull || ::dup2(devNull.get(), STDOUT_FILENO) < 0 ||
        ::dup2(devNull.get(), STDERR_FILENO) < 0) {
        std::perror("imbrix-jxrdecode");
        return 2;
    }
    std::vector<std::uint8_t> data;
    if (!readAll(STDIN_FILENO, data)) {
        return sendFailure(reply.get(), kFailed, 0, 0, "reading the data", WMP_errFileIO);
    }
    return decode(data, maxPixels, reply.get());
}
