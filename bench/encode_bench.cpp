// The JPEG XL and AVIF encoders on their own: decode each file with the
// imaging layer, encode it, over a batch with one worker per job, as the
// converter front runs them. Used to choose the encoders' effort, speed and
// threads against cjxl, heif-enc, avifenc, ImageMagick and libvips.
//
// Usage: imbrix_encode_bench --format jxl|avif [--quality Q] [--effort E]
//                            [--speed S] [--threads T] [--tune psnr|ssim] [--extra-threads N]
//                            [--jobs N] [--out DIR] FILE...
// --effort is libjxl's effort, --speed, --threads and --tune libaom's; left out, the
// program's own choice. Writes DIR/<name>.jxl or .avif for every file (never
// over an existing file); without --out nothing is written. Prints each file's
// encode milliseconds and bytes, then the batch's wall milliseconds.
// Built on request: cmake --build build --target imbrix_encode_bench.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
#include "imaging/formats/tuning.h"
#include "imaging/sink.h"
#include "imaging/source.h"

namespace {

using namespace imbrix::imaging;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Options {
    std::string format;
    EncodeOptions encode;
    formats::JxlTuning jxl;
    formats::AvifTuning avif;
    std::string out;
};

void convertOne(const std::string& path, const Options& options, std::mutex& printing) {
    const FileBytes file(path);
    auto start = Clock::now();
    const Picture picture = decodePictureByContent(file.bytes(), path);
    const double decodeMs = msSince(start);
    start = Clock::now();
    MemorySink sink;
    if (options.format == "jxl") {
        formats::encodeJxl(picture, options.encode, options.jxl, sink);
    } else {
        formats::encodeAvif(picture, options.encode, options.avif, sink);
    }
    const double encodeMs = msSince(start);
    if (!options.out.empty()) {
        const std::string name =
            options.out + "/" + std::filesystem::path(path).stem().string() + "." + options.format;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            throw Error("Cannot create \"" + name + "\": " + std::strerror(errno));
        }
        FileSink out(fd, name);
        out.write(sink.bytes.data(), sink.bytes.size());
        out.flush();
        ::close(fd);
    }
    const std::lock_guard lock(printing);
    std::printf("%s  %ux%u  decode %.1f ms  encode %.1f ms  %zu bytes\n", path.c_str(),
                picture.pixels.width(), picture.pixels.height(), decodeMs, encodeMs,
                sink.bytes.size());
}

bool parseOptions(int argc, char** argv, Options& options, unsigned& jobs,
                  std::vector<std::string>& files) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--format" && hasValue) {
            options.format = argv[++i];
        } else if (arg == "--quality" && hasValue) {
            options.encode.quality = std::atoi(argv[++i]);
        } else if (arg == "--effort" && hasValue) {
            options.jxl.effort = std::atoi(argv[++i]);
        } else if (arg == "--speed" && hasValue) {
            options.avif.speed = std::atoi(argv[++i]);
        } else if (arg == "--tune" && hasValue) {
            options.avif.tune = argv[++i];
        } else if (arg == "--threads" && hasValue) {
            options.avif.threads = std::atoi(argv[++i]);
        } else if (arg == "--extra-threads" && hasValue) {
            options.encode.extraThreads = static_cast<unsigned>(std::max(0, std::atoi(argv[++i])));
        } else if (arg == "--jobs" && hasValue) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (arg == "--out" && hasValue) {
            options.out = argv[++i];
        } else if (!arg.empty() && arg[0] != '-') {
            files.push_back(arg);
        } else {
            return false;
        }
    }
    return !files.empty() && (options.format == "jxl" || options.format == "avif");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.encode.quality = 80;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string> files;
    if (!parseOptions(argc, argv, options, jobs, files)) {
        std::fprintf(
            stderr,
            "usage: %s --format jxl|avif [--quality Q] [--effort E] [--speed S] "
            "[--threads T] [--tune psnr|ssim] [--extra-threads N] [--jobs N] [--out DIR] FILE...\n",
            argv[0]);
        return 2;
    }
    std::mutex printing;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < jobs; ++j) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < files.size(); i = next++) {
                try {
                    convertOne(files[i], options, printing);
                } catch (const std::exception& e) {
                    const std::lock_guard lock(printing);
                    std::fprintf(stderr, "%s: %s\n", files[i].c_str(), e.what());
                    failed = true;
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::printf("files %zu  wall %.1f ms\n", files.size(), msSince(start));
    return failed ? 1 : 0;
}
