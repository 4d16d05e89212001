// Helpers shared by the decoder tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/raster.h"

namespace imbrix::test {

/// A pixel as ImageMagick prints it (`convert f -crop 1x1+X+Y txt:`): straight
/// (not premultiplied) red, green, blue and alpha.
struct ExpectedPixel {
    std::uint32_t x;
    std::uint32_t y;
    std::uint32_t rgba;  // 0xRRGGBBAA
};

inline std::filesystem::path corpusFile(const std::string& relative) {
    return corpusDir() / relative;
}

/// Checks one pixel of a premultiplied raster against a straight colour; the
/// colour is premultiplied first, as the decoders store it.
inline ::testing::AssertionResult pixelNear(const imaging::Raster& raster, const ExpectedPixel& e,
                                            int tolerance) {
    if (e.x >= raster.width() || e.y >= raster.height()) {
        return ::testing::AssertionFailure() << "pixel (" << e.x << "," << e.y << ") outside "
                                             << raster.width() << "x" << raster.height();
    }
    const std::uint8_t* p = raster.row(e.y) + std::size_t{e.x} * 4;
    const int a = static_cast<int>(e.rgba & 0xFF);
    auto premul = [a](std::uint32_t c) { return static_cast<int>((c * a + 127) / 255); };
    const int want[4] = {premul((e.rgba >> 8) & 0xFF), premul((e.rgba >> 16) & 0xFF),
                         premul(e.rgba >> 24), a};  // B, G, R, A
    for (int c = 0; c < 4; ++c) {
        if (std::abs(p[c] - want[c]) > tolerance) {
            std::ostringstream s;
            s << "pixel (" << e.x << "," << e.y << ") is BGRA " << int{p[0]} << "," << int{p[1]}
              << "," << int{p[2]} << "," << int{p[3]} << ", expected " << want[0] << "," << want[1]
              << "," << want[2] << "," << want[3] << " (+-" << tolerance << ")";
            return ::testing::AssertionFailure() << s.str();
        }
    }
    return ::testing::AssertionSuccess();
}

/// Largest difference of any channel between two rasters of the same size.
inline int maxDifference(const imaging::Raster& a, const imaging::Raster& b) {
    int worst = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        for (std::size_t i = 0; i < std::size_t{a.width()} * 4; ++i) {
            worst = std::max(worst, std::abs(a.row(y)[i] - b.row(y)[i]));
        }
    }
    return worst;
}

/// Mean absolute difference over all channels of two rasters of the same size.
inline double meanDifference(const imaging::Raster& a, const imaging::Raster& b) {
    double sum = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        for (std::size_t i = 0; i < std::size_t{a.width()} * 4; ++i) {
            sum += std::abs(a.row(y)[i] - b.row(y)[i]);
        }
    }
    return sum / (static_cast<double>(a.width()) * a.height() * 4);
}

/// Every pixel's colour is at most its alpha: the raster is validly premultiplied.
inline bool validPremultiplied(const imaging::Raster& raster) {
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            if (p[0] > p[3] || p[1] > p[3] || p[2] > p[3]) {
                return false;
            }
        }
    }
    return true;
}

/// Recomputes the CRC of the PNG chunk whose length field starts at `at`, so a
/// test can change a chunk's contents and leave only that change.
inline void fixPngChunkCrc(std::vector<std::uint8_t>& png, std::size_t at) {
    const std::size_t length = std::size_t{png[at]} << 24 | std::size_t{png[at + 1]} << 16 |
                               std::size_t{png[at + 2]} << 8 | png[at + 3];
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = at + 4; i < at + 8 + length; ++i) {
        crc ^= png[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    crc = ~crc;
    for (int i = 0; i < 4; ++i) {
        png[at + 8 + length + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
}

/// The message of the imaging::Error that `f` throws; fails the test when it
/// throws nothing or something else.
template <typename F>
std::string errorMessage(F&& f) {
    try {
        f();
    } catch (const imaging::Error& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw a non-imaging error: " << e.what();
        return {};
    }
    ADD_FAILURE() << "threw nothing";
    return {};
}

/// What a function run by runInChild() said, and how its process ended.
struct ChildResult {
    bool finished = false;  // exited normally (not by a signal, not killed at the deadline)
    int signal = 0;         // the signal that ended it, if one did
    std::string text;       // what the function returned (or the exception's text)
    std::uint64_t peakGrowthKiB = 0;  // its peak resident memory above where it started
};

/// The "Vm..." line of /proc/self/status, in KiB.
inline std::uint64_t procStatusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stoull(line.substr(key.size() + 1));
        }
    }
    return 0;
}

/// Runs `f` (returning a text) in a child process that is killed after
/// `seconds`: a hang or a crash there fails the test instead of the suite.
template <typename F>
ChildResult runInChild(F&& f, unsigned seconds) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(seconds);
        const std::uint64_t start = procStatusKiB("VmRSS");
        std::string text;
        try {
            text = f();
        } catch (const std::exception& e) {
            text = std::string("exception: ") + e.what();
        }
        const std::string reply = std::to_string(procStatusKiB("VmHWM") - start) + "\n" + text;
        std::size_t done = 0;
        while (done < reply.size()) {
            const ssize_t n = ::write(fds[1], reply.data() + done, reply.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string reply;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ChildResult result;
    result.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const std::size_t newline = reply.find('\n');
    if (newline != std::string::npos) {
        result.peakGrowthKiB = std::stoull(reply.substr(0, newline));
        result.text = reply.substr(newline + 1);
    }
    return result;
}

}  // namespace imbrix::test
