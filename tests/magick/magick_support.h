// Helpers for the converter front's tests: running it, and reading its outputs
// back with readers that are not the ones that wrote them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testsupport.h"

namespace imbrix::test {

/// Decoded pixels, 8-bit unpremultiplied RGBA in rows.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;

    bool empty() const { return width == 0 || height == 0; }
    /// Largest difference between two colour channels of any opaque pixel:
    /// 0 for a perfectly gray picture.
    int maxChroma() const;
    /// Mean absolute difference per channel against a picture of the same size.
    double meanDifference(const Picture& other) const;
};

/// A PNG file through cairo's PNG reader (libpng).
Picture loadPng(const std::filesystem::path& png);
/// An SVG file drawn by librsvg at its own size.
Picture renderSvg(const std::filesystem::path& svg);
/// Any output of the converter, by its extension (lower case, no dot), through a
/// reader other than the writer: heif-convert (avif), djxl (jxl), dwebp (webp),
/// librsvg (svg), the JPEG inside the PDF as poppler's pdfimages extracts it (pdf),
/// GraphicsMagick (tga bmp gif ico), ImageMagick (psd jp2), cairo (png). `work` holds
/// intermediate files.
/// Reports a test failure and returns an empty picture when it cannot be read.
Picture readOutput(const std::filesystem::path& file, const std::string& extension,
                   const std::filesystem::path& work);

/// Any file ImageMagick reads, its first picture. For ICO transparency: GraphicsMagick
/// takes an icon's transparency from the 1-bit mask only.
Picture readWithImageMagick(const std::filesystem::path& file, const std::filesystem::path& work);

/// Sets an environment variable (the front's IMBRIX_MAGICK_* tool choices) for
/// the runs of one test, and puts back the old value.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

/// A stand-in tool: a shell script with `body` at `path`, executable. Returns its path.
std::string writeScript(const std::filesystem::path& path, const std::string& body);

/// First `n` bytes of a file.
std::string headBytes(const std::filesystem::path& file, std::size_t n);

struct RunResult {
    int status = -1;
    std::string output;
    /// The last non-empty line the program printed.
    std::string lastLine() const;
};

/// The built converter front, <bin>/imagemagick/magick.
std::string magickPath();
/// Runs it with `args` (no shell).
RunResult runMagick(const std::vector<std::string>& args);

/// Each test gets a scratch folder, and the converter gets scratch/tmp as its
/// temporary folder: after every test, nothing of its own may be left there.
class MagickTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string file(const std::string& name) const { return scratch_.file(name); }
    const std::filesystem::path& dir() const { return scratch_.path(); }
    std::filesystem::path tmpDir() const { return scratch_.path() / "tmp"; }

    ScratchDir scratch_;

private:
    std::string savedTmpdir_;
    bool hadTmpdir_ = false;
};

}  // namespace imbrix::test
