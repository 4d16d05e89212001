// The resize path on its own: decode (with the shrink hint, unless told not
// to), resample, encode, over a batch of files with one worker per core, as
// the engine runs them. bench/resize_bench.py runs it beside libvips and
// ImageMagick when imbrix-cli has no resize option, and it shows where the time
// goes (decode, resample, encode) in any case.
//
// Usage: imbrix_resize_bench [--fit WxH | --percent P] [--jobs N] [--full-decode]
//                            [--png] [--out DIR] FILE...
// Writes DIR/<name>.jpg (quality 85) or .png for every file; without --out
// nothing is written. Prints the batch's wall milliseconds and the sum of each
// step's milliseconds. Built on request: cmake --build build --target
// imbrix_resize_bench.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/resize.h"
#include "imaging/sink.h"
#include "imaging/source.h"
#include "imaging/stages.h"

namespace {

using namespace imbrix::imaging;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Totals {
    std::mutex mutex;
    double decode = 0, resample = 0, encode = 0;
    std::uint64_t decodedPixels = 0, fullPixels = 0;
};

struct Options {
    ResizeOptions resize;
    bool fullDecode = false;
    bool png = false;
    std::string out;
};

void convertOne(const std::string& path, const Options& options, Totals& totals) {
    const FileBytes file(path);
    const std::string extension = std::filesystem::path(path).extension().string().substr(1);
    auto start = Clock::now();
    DecodeHint hint;
    if (!options.fullDecode) {
        hint.resize = options.resize;
    }
    Picture picture = decodePicture(extension, file.bytes(), hint);
    const double decodeMs = msSince(start);
    const std::uint64_t decoded = std::uint64_t{picture.pixels.width()} * picture.pixels.height();
    PixelSize full{picture.meta.fullWidth, picture.meta.fullHeight};
    if (full.width == 0) {
        full = {picture.pixels.width(), picture.pixels.height()};
    }
    start = Clock::now();
    resizeStage(options.resize)(picture, {});
    const double resampleMs = msSince(start);
    start = Clock::now();
    MemorySink sink;
    EncodeOptions encodeOptions;
    encodeOptions.quality = 85;
    if (options.png) {
        encodePng(picture, encodeOptions, sink);
    } else {
        encodeJpeg(picture, encodeOptions, sink);
    }
    const double encodeMs = msSince(start);
    if (!options.out.empty()) {
        const std::string name = options.out + "/" + std::filesystem::path(path).stem().string() +
                                 (options.png ? ".png" : ".jpg");
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            throw Error("Cannot create \"" + name + "\": " + std::strerror(errno));
        }
        FileSink out(fd, name);
        out.write(sink.bytes.data(), sink.bytes.size());
        out.flush();
        ::close(fd);
    }
    const std::lock_guard lock(totals.mutex);
    totals.decode += decodeMs;
    totals.resample += resampleMs;
    totals.encode += encodeMs;
    totals.decodedPixels += decoded;
    totals.fullPixels += std::uint64_t{full.width} * full.height;
}

bool parseOptions(int argc, char** argv, Options& options, unsigned& jobs,
                  std::vector<std::string>& files) {
    options.resize.mode = ResizeMode::Fit;
    options.resize.width = options.resize.height = 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--fit" && hasValue) {
            const std::string value = argv[++i];
            const std::size_t x = value.find('x');
            options.resize = {};
            options.resize.mode = ResizeMode::Fit;
            options.resize.width = static_cast<std::uint32_t>(std::atoi(value.c_str()));
            options.resize.height =
                x == std::string::npos
                    ? 0
                    : static_cast<std::uint32_t>(std::atoi(value.c_str() + x + 1));
        } else if (arg == "--percent" && hasValue) {
            options.resize = {};
            options.resize.mode = ResizeMode::Percent;
            options.resize.percent = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        } else if (arg == "--jobs" && hasValue) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (arg == "--out" && hasValue) {
            options.out = argv[++i];
        } else if (arg == "--full-decode") {
            options.fullDecode = true;
        } else if (arg == "--png") {
            options.png = true;
        } else if (!arg.empty() && arg[0] != '-') {
            files.push_back(arg);
        } else {
            return false;
        }
    }
    return !files.empty() && (options.resize.mode != ResizeMode::Fit ||
                              (options.resize.width > 0 && options.resize.height > 0));
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string> files;
    if (!parseOptions(argc, argv, options, jobs, files)) {
        std::fprintf(stderr,
                     "usage: %s [--fit WxH | --percent P] [--jobs N] [--full-decode] [--png] "
                     "[--out DIR] FILE...\n",
                     argv[0]);
        return 2;
    }
    Totals totals;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < jobs; ++j) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < files.size(); i = next++) {
                try {
                    convertOne(files[i], options, totals);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "%s: %s\n", files[i].c_str(), e.what());
                    failed = true;
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::printf(
        "files %zu  wall %.1f ms  decode %.1f  resample %.1f  encode %.1f  "
        "decoded %.1f of %.1f megapixels\n",
        files.size(), msSince(start), totals.decode, totals.resample, totals.encode,
        static_cast<double>(totals.decodedPixels) / 1e6,
        static_cast<double>(totals.fullPixels) / 1e6);
    return failed ? 1 : 0;
}
