// The decoders keep no global state: many files of every format decoded at once
// on several threads give exactly the pixels each gives alone, and one thread's
// failure does not disturb another's decode.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "decode_testutil.h"

namespace imbrix::test {
namespace {

TEST(DecodeThreads, ConcurrentDecodesMatchSingleDecodes) {
    const std::vector<std::string> files = {
        "bmp/x-image/video-001.bmp",
        "ico/imagemagick-favicon.ico",
        "tiff/x-image/video-001-tile-64x64.tiff",
        "photos/jpeg-variants/video-001.progressive.jpeg",
        "photos/exif-orientation/orientation_6.jpg",
        "pngsuite/basi6a08.png",
        "gif/still/video-001.interlaced.gif",
        "svg/librsvg-reftests-top/525-specificity.svg",
        "webp/x-image/yellow_rose.lossy-with-alpha.webp",
        "pngsuite/xcrn0g04.png",  // damaged: fails with a message every time
        // JPEG XR decodes in a child process: concurrent children, one of them
        // crashing on its data, must not mix up their results.
        (sourceDir() / "tests/crashers/jxr-container-entry-assert.wmp").string(),
    };
    struct Result {
        std::string error;
        imaging::Raster picture;
    };
    auto decode = [](const std::string& relative) {
        Result r;
        try {
            const std::filesystem::path path(relative);
            r.picture =
                imaging::loadPicture((path.is_absolute() ? path : corpusFile(relative)).string());
        } catch (const imaging::Error& e) {
            r.error = e.what();
        }
        return r;
    };
    std::vector<Result> alone;
    for (const std::string& file : files) {
        alone.push_back(decode(file));
    }
    ASSERT_FALSE(alone.back().error.empty());

    constexpr int kThreads = 4;
    constexpr int kRounds = 3;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                // Each thread walks the files from a different start.
                for (std::size_t i = 0; i < files.size(); ++i) {
                    const std::size_t k = (i + static_cast<std::size_t>(t) * 3) % files.size();
                    const Result r = decode(files[k]);
                    const Result& want = alone[k];
                    const bool same =
                        r.error == want.error && r.picture.width() == want.picture.width() &&
                        r.picture.height() == want.picture.height() &&
                        (r.picture.empty() || maxDifference(r.picture, want.picture) == 0);
                    if (!same) {
                        ++mismatches;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace imbrix::test
