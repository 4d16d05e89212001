// The in-process writers of the converter front's formats (JPEG 2000, GIF, PDF)
// on their own: decode, to sRGB, encode, over a batch of files with a worker per
// job. bench/format_bench.sh runs it beside opj_compress, ImageMagick,
// GraphicsMagick and libvips and measures the quality of every output.
//
// Usage: imbrix_format_bench --format jp2|gif|pdf [--quality N] [--threads N]
//                            [--jobs N] [--gray] [--out DIR] FILE...
// --threads is EncodeOptions::extraThreads. Writes DIR/<name>.<format> for
// every file (never over an existing file); prints each file's encode
// milliseconds and bytes, then the batch's wall milliseconds. Built on request:
// cmake --build build --target imbrix_format_bench.
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
#include "imaging/sink.h"
#include "imaging/source.h"
#include "imaging/stages.h"
#include "tools/magick/pdf.h"

namespace {

using namespace imbrix::imaging;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Options {
    std::string format;
    EncodeOptions encode;
    bool gray = false;
    std::string out;
};

void convertOne(const std::string& path, const Options& options, std::mutex& printing) {
    const FileBytes file(path);
    const std::string extension = std::filesystem::path(path).extension().string().substr(1);
    auto start = Clock::now();
    Picture picture = decodePicture(extension, file.bytes());
    toSrgbStage()(picture, {});
    if (options.gray) {
        luminanceGrayscaleStage()(picture, {});
    }
    picture.meta.stripDescriptive();
    const double decodeMs = msSince(start);
    start = Clock::now();
    MemorySink sink;
    if (options.format == "jp2") {
        encodeJp2(picture, options.encode, sink);
    } else if (options.format == "gif") {
        encodeGif(picture, options.encode, sink);
    } else {
        imbrix::magick::PdfPageOptions page;
        page.title = std::filesystem::path(path).stem().string();
        page.quality = options.encode.quality;
        imbrix::magick::writePicturePdf(picture, page, sink);
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
    std::printf("%s  decode %.1f ms  encode %.1f ms  %zu bytes\n", path.c_str(), decodeMs, encodeMs,
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
        } else if (arg == "--threads" && hasValue) {
            options.encode.extraThreads = static_cast<unsigned>(std::max(0, std::atoi(argv[++i])));
        } else if (arg == "--jobs" && hasValue) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (arg == "--out" && hasValue) {
            options.out = argv[++i];
        } else if (arg == "--gray") {
            options.gray = true;
        } else if (!arg.empty() && arg[0] != '-') {
            files.push_back(arg);
        } else {
            return false;
        }
    }
    return !files.empty() &&
           (options.format == "jp2" || options.format == "gif" || options.format == "pdf");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    unsigned jobs = 1;
    std::vector<std::string> files;
    if (!parseOptions(argc, argv, options, jobs, files)) {
        std::fprintf(
            stderr,
            "usage: %s --format jp2|gif|pdf [--quality N] [--threads N] [--jobs N] [--gray] "
            "[--out DIR] FILE...\n",
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
