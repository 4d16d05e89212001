// The converter's lossless formats written in process (BMP, TGA, PSD, ICO),
// read back by readers that are not ours: ImageMagick, GraphicsMagick, libvips
// and Pillow. A real photo (not symmetric: a flip or a channel swap shows) comes
// back pixel for pixel; a picture with graded transparency and odd sides keeps
// its alpha and its colours.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/metadata.h"
#include "imaging/resize.h"

namespace imbrix::imaging {
namespace {

using Encoder = void (*)(const Picture&, const EncodeOptions&, Sink&);

enum class Reader { ImageMagick, GraphicsMagick, Vips, Pillow };

const char* readerName(Reader reader) {
    switch (reader) {
        case Reader::ImageMagick:
            return "ImageMagick";
        case Reader::GraphicsMagick:
            return "GraphicsMagick";
        case Reader::Vips:
            return "vips";
        case Reader::Pillow:
            return "Pillow";
    }
    return "";
}

// The file as `reader` reads it, as straight RGBA.
test::Decoded readWith(Reader reader, const std::vector<std::uint8_t>& encoded,
                       const std::string& extension) {
    test::ScratchDir dir;
    const std::string in = dir.file("in." + extension);
    const std::string pam = dir.file("out.pam");
    test::writeBytes(in, encoded);
    switch (reader) {
        case Reader::ImageMagick:
            test::mustRun({"/usr/bin/convert", in + "[0]", "-depth", "8", pam});
            break;
        case Reader::GraphicsMagick:
            test::mustRun({"/usr/bin/gm", "convert", in + "[0]", "-depth", "8", "pam:" + pam});
            break;
        case Reader::Vips: {
            const std::string png = dir.file("vips.png");
            test::mustRun({"/usr/bin/vips", "copy", in, png});
            test::mustRun({"/usr/bin/convert", png, "-depth", "8", pam});
            break;
        }
        case Reader::Pillow:
            test::mustRun(
                {"/usr/bin/python3", "-c",
                 "import sys\n"
                 "from PIL import Image\n"
                 "im = Image.open(sys.argv[1]).convert('RGBA')\n"
                 "head = 'P7\\nWIDTH %d\\nHEIGHT %d\\nDEPTH 4\\nMAXVAL 255\\n' % im.size\n"
                 "open(sys.argv[2], 'wb').write(head.encode() + b'TUPLTYPE "
                 "RGB_ALPHA\\nENDHDR\\n' + im.tobytes())\n",
                 in, pam});
            break;
    }
    return test::readNetpbm(pam);
}

struct FormatCase {
    const char* extension;
    Encoder encode;
    std::vector<Reader> readers;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.extension;
}

const FormatCase kFormats[] = {
    {"bmp", encodeBmp, {Reader::ImageMagick, Reader::GraphicsMagick, Reader::Vips, Reader::Pillow}},
    {"tga", encodeTga, {Reader::ImageMagick, Reader::GraphicsMagick, Reader::Vips, Reader::Pillow}},
    // GraphicsMagick as built for Debian reads no PSD.
    {"psd", encodePsd, {Reader::ImageMagick, Reader::Vips, Reader::Pillow}},
    {"ico", encodeIco, {Reader::ImageMagick, Reader::GraphicsMagick, Reader::Vips, Reader::Pillow}},
};

// A camera photo, made icon-sized for every format alike (an icon holds at
// most 256 x 256 pixels): 256 x 171.
Raster photo() {
    const Raster full = test::photoRaster("photos/camera/kde_Kite.jpg");
    const PixelSize size =
        resizeTarget({ResizeMode::Fit, 256, 256, 0, 0, false}, {full.width(), full.height()});
    Raster small = resample(full, size.width, size.height);
    small.hasAlpha = false;
    return small;
}

// Odd sides, alpha from clear to opaque across, colours that differ on every
// axis (a flip or mirror moves them).
Raster transparentPicture() {
    return test::makeRaster(37, 23, [](int x, int y) {
        return std::array<int, 4>{(x * 7) % 256, (y * 11 + x) % 256, 200 - x * 3, x * 255 / 36};
    });
}

class EncodeFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(EncodeFormatTest, PhotoReadsBackExactly) {
    const FormatCase& c = GetParam();
    const Raster raster = photo();
    MemorySink sink;
    c.encode(test::pictureOf(raster), {}, sink);
    for (const Reader reader : c.readers) {
        const test::Decoded back = readWith(reader, sink.bytes, c.extension);
        ASSERT_EQ(back.width, raster.width()) << readerName(reader);
        ASSERT_EQ(back.height, raster.height()) << readerName(reader);
        EXPECT_EQ(test::maxColourDifference(raster, back), 0) << readerName(reader);
        EXPECT_EQ(back.at(3, 3)[3], 255) << readerName(reader);
    }
}

TEST_P(EncodeFormatTest, TransparencyReadsBack) {
    const FormatCase& c = GetParam();
    Raster raster = transparentPicture();
    MemorySink sink;
    c.encode(test::pictureOf(raster), {}, sink);
    unpremultiply(raster);
    for (const Reader reader : c.readers) {
        const test::Decoded back = readWith(reader, sink.bytes, c.extension);
        ASSERT_EQ(back.width, 37u) << readerName(reader);
        ASSERT_EQ(back.height, 23u) << readerName(reader);
        int alphaWrong = 0;
        int colourWorst = 0;
        for (std::uint32_t y = 0; y < 23; ++y) {
            const std::uint8_t* p = raster.row(y);
            for (std::uint32_t x = 0; x < 37; ++x, p += 4) {
                const auto d = back.at(x, y);
                alphaWrong += d[3] != p[kAlpha];
                const int a = p[kAlpha];
                if (a < 16) {
                    continue;  // next to nothing left of the colour to compare
                }
                for (int i = 0; i < 3; ++i) {
                    int expected = p[kRed - i];
                    if (c.encode == encodePsd && reader == Reader::Pillow) {
                        // Pillow shows the flat picture, blended with white.
                        expected = (expected * a + 255 * (255 - a) + 127) / 255;
                    }
                    colourWorst = std::max(colourWorst, std::abs(d[i] - expected));
                }
            }
        }
        EXPECT_EQ(alphaWrong, 0) << readerName(reader);
        // ImageMagick undoes the PSD's blend with white, a step or two off where
        // the picture is nearly clear.
        EXPECT_LE(colourWorst, c.encode == encodePsd && reader != Reader::Pillow ? 8 : 0)
            << readerName(reader);
    }
}

INSTANTIATE_TEST_SUITE_P(LosslessFormats, EncodeFormatTest, ::testing::ValuesIn(kFormats),
                         [](const auto& p) { return std::string(p.param.extension); });

// The profile, EXIF, XMP and IPTC go into the PSD as image resources, as
// exiftool reads them; the EXIF names the picture upright and at its size.
TEST(EncodePsd, MetadataAsImageResources) {
    test::ScratchDir dir;
    Picture picture = test::pictureOf(transparentPicture());
    metadata::read(test::readBytes(test::corpusDir() / "photos/camera/kde_Kite.jpg"), picture.meta);
    ASSERT_GT(picture.meta.exif.size(), 8u);
    picture.meta.icc = test::readBytes("/usr/share/color/icc/colord/AdobeRGB1998.icc");
    const std::string xmp =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
        "xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:title><rdf:Alt><rdf:li "
        "xml:lang='x-default'>Kite over the field</rdf:li></rdf:Alt></dc:title>"
        "</rdf:Description></rdf:RDF></x:xmpmeta>";
    picture.meta.xmp.assign(xmp.begin(), xmp.end());
    const std::string headline = "Kite";
    picture.meta.iptc = {0x1C, 0x02, 0x69, 0x00, static_cast<std::uint8_t>(headline.size())};
    picture.meta.iptc.insert(picture.meta.iptc.end(), headline.begin(), headline.end());
    MemorySink sink;
    encodePsd(picture, {}, sink);
    const std::string psd = dir.file("meta.psd");
    test::writeBytes(psd, sink.bytes);

    std::string text;
    ASSERT_EQ(test::runCommand({"exiftool", "-s", "-ProfileDescription", "-Make", "-Orientation#",
                                "-ExifImageWidth", "-Title", "-Headline", psd},
                               &text),
              0)
        << text;
    EXPECT_NE(text.find("Adobe RGB (1998)"), std::string::npos) << text;
    EXPECT_NE(text.find("Make                            : "), std::string::npos) << text;
    EXPECT_NE(text.find("Orientation                     : 1"), std::string::npos) << text;
    EXPECT_NE(text.find("ExifImageWidth                  : 37"), std::string::npos) << text;
    EXPECT_NE(text.find("Title                           : Kite over the field"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Headline                        : Kite"), std::string::npos) << text;
    // The resources do not disturb a reader of the pixels.
    EXPECT_EQ(readWith(Reader::ImageMagick, sink.bytes, "psd").width, 37u);
}

// An opaque picture has no layer; one with transparency has one, where
// Photoshop and GIMP take the transparency from.
TEST(EncodePsd, LayerOnlyForTransparency) {
    const std::pair<Raster, int> cases[] = {{photo(), 1}, {transparentPicture(), 2}};
    for (const auto& [raster, pictures] : cases) {
        MemorySink sink;
        encodePsd(test::pictureOf(raster), {}, sink);
        test::ScratchDir dir;
        const std::string psd = dir.file("layers.psd");
        test::writeBytes(psd, sink.bytes);
        std::string text;
        ASSERT_EQ(test::runCommand({"/usr/bin/identify", "-format", "%n %C\n", psd}, &text), 0);
        EXPECT_EQ(text.substr(0, text.find('\n')), std::to_string(pictures) + " RLE") << text;
    }
}

TEST(EncodeIco, LargerThanAnIconIsRefused) {
    MemorySink sink;
    const Raster raster = test::gradientRaster(257, 10);
    EXPECT_THROW(encodeIco(test::pictureOf(raster), {}, sink), Error);
}

TEST(EncodeIco, FullSizeIsZeroInTheDirectory) {
    MemorySink sink;
    encodeIco(test::pictureOf(test::gradientRaster(256, 100)), {}, sink);
    ASSERT_GT(sink.bytes.size(), 22u);
    EXPECT_EQ(sink.bytes[6], 0);    // 256
    EXPECT_EQ(sink.bytes[7], 100);  // height
    const auto back = readWith(Reader::Pillow, sink.bytes, "ico");
    EXPECT_EQ(back.width, 256u);
    EXPECT_EQ(back.height, 100u);
}

}  // namespace
}  // namespace imbrix::imaging
