// imbrix-cli finds the JPEG XR decoder's program beside itself, as installed,
// also when it is started through a link in another folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/testsupport.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

TEST(CliJpegXr, SourceDecodedByTheProgramBesideTheCli) {
    ScratchDir dir;
    const std::string bmp = dir.file("source.bmp");
    fs::copy_file(corpusDir() / "bmp/x-image/video-001.bmp", bmp);
    const std::string wmp = dir.file("source.wmp");
    std::string output;
    ASSERT_EQ(runCommand({"JxrEncApp", "-i", bmp, "-o", wmp, "-c", "0"}, &output), 0) << output;

    // The link stands for <prefix>/bin/imbrix-cli; the tests' own pointer to the
    // program is taken away.
    const fs::path link = dir.path() / "bin" / "imbrix-cli";
    fs::create_directories(link.parent_path());
    fs::create_symlink(binDir() / "imbrix-cli", link);
    const std::string out = dir.file("out");
    ASSERT_EQ(
        runCommand({"/usr/bin/env", "-u", "IMBRIX_JXRDECODE", link.string(), "--dest", out, wmp},
                   &output),
        0)
        << output;

    // Lossless: ImageMagick finds no pixel of the PNG that differs from the BMP.
    std::string differing;
    runCommand({"compare", "-metric", "AE", bmp, out + "/source.png", "null:"}, &differing);
    EXPECT_EQ(differing, "0");
}

}  // namespace
}  // namespace imbrix::test
