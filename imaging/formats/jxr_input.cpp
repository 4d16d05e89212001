// JPEG XR (.wmp) sources through jxrlib, read from memory.
//
// jxrlib is not safe on damaged input: it stops the process on failed
// assertions and reads out of bounds. So the decode runs in a child process
// forked for it; the child writes the pixels back through a pipe, and a child
// that dies or stalls becomes an error of this decoder, never a crash of ours.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

// jxrlib's C headers, last: they define min and max as macros.
extern "C" {
#include <JXRGlue.h>
}
#undef min
#undef max

#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

[[noreturn]] void fail(const std::string& why) {
    throw Error("JPEG XR error: " + why);
}

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

// What the child writes first; then `messageSize` bytes of message, then for a
// decoded picture its rows, `width` BGRA pixels each.
struct Reply {
    std::uint32_t status;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t premultiplied;
    std::uint32_t messageSize;
};
enum : std::uint32_t { kDecoded = 0, kFailed = 1, kTooLarge = 2 };
constexpr std::uint32_t kMaxMessage = 1024;

// How long the parent waits for the child's next bytes before giving up on it.
constexpr int kIdleTimeoutMs = 60'000;

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
    const Reply reply{status, width, height, 0,
                      static_cast<std::uint32_t>(n > 0 ? std::min<int>(n, kMaxMessage - 1) : 0)};
    return writeAll(fd, &reply, sizeof reply) && writeAll(fd, text, reply.messageSize) ? 0 : 1;
}

// Runs in the child: decodes with jxrlib and writes the reply to `fd`. Throws
// nothing (unwinding is not safe in a child forked from a threaded process)
// and frees nothing: the child exits right after.
int decodeInChild(Bytes data, int fd) noexcept {
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
        return sendFailure(fd, kFailed, 0, 0, "reading the header", err);
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
    if (std::uint64_t{w} * h > kMaxPixels) {
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
    const Reply reply{kDecoded, w, h, premultiplied ? 1u : 0u, 0};
    if (!writeAll(fd, &reply, sizeof reply)) {
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

// The parent's side of one child: reads its reply, and on every way out
// closes the pipe and reaps the child (killing it first if it still runs).
class Child {
public:
    Child(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
    ~Child() {
        ::close(fd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reap();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads exactly `size` bytes; throws when the child stops or stalls first.
    void read(void* out, std::size_t size) {
        auto* p = static_cast<std::uint8_t*>(out);
        while (size > 0) {
            pollfd pfd{fd_, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, kIdleTimeoutMs);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                fail("the decoder stopped responding");
            }
            const ssize_t n = ready < 0 ? -1 : ::read(fd_, p, size);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                // The child crashed on the data or gave up on it.
                ::kill(pid_, SIGKILL);
                reap();
                fail("the file is damaged");
            }
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    // Waits for a child that has written everything; it must end cleanly.
    void finish() {
        const int status = reap();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("the file is damaged");
        }
    }

private:
    int reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

    pid_t pid_;
    int fd_;
};

}  // namespace

Raster decodeJxr(Bytes data) {
    if (data.empty()) {
        fail("the file is empty");
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        fail(std::string("cannot start the decoder: ") + std::strerror(errno));
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        fail(std::string("cannot start the decoder: ") + std::strerror(err));
    }
    if (pid == 0) {
        // A crash of jxrlib ends the child and nothing else: no crash handler
        // inherited from the program runs in it.
        for (const int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
            ::signal(sig, SIG_DFL);
        }
        // Only its own pipe stays open: a child holding the write end of
        // another decode's pipe would delay that decode's end of data.
        const auto keep = static_cast<unsigned>(fds[1]);
        if (keep > 3) {
            ::close_range(3, keep - 1, 0);
        }
        ::close_range(keep + 1, ~0U, 0);
        ::_exit(decodeInChild(data, fds[1]));
    }
    ::close(fds[1]);
    Child child(pid, fds[0]);

    Reply reply{};
    child.read(&reply, sizeof reply);
    if (reply.messageSize >= kMaxMessage) {
        fail("the file is damaged");
    }
    std::string message(reply.messageSize, '\0');
    child.read(message.data(), message.size());
    if (reply.status == kTooLarge) {
        checkPictureSize(reply.width, reply.height);  // throws the layer's message
    }
    if (reply.status != kDecoded) {
        fail(message);
    }
    checkPictureSize(reply.width, reply.height);
    Raster picture(reply.width, reply.height);
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        child.read(picture.row(y), std::size_t{picture.width()} * 4);
    }
    child.finish();
    picture.premultiplied = reply.premultiplied != 0;
    premultiply(picture);
    return picture;
}

}  // namespace imbrix::imaging::formats
