// The image list: which names are images, list operations, the dialog filter.
#include "imagelist/imagelist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace imbrix::imagelist {
namespace {

TEST(Destekleniyormu, ExtensionAfterLastSlashCaseInsensitive) {
    struct Case {
        const char* name;
        bool supported;
    };
    const Case cases[] = {
        {"photo.JPG", true},
        {"/pics/scan.Tiff", true},
        {"photo.jfif", true},
        {"/a/b/photo.heic", true},
        {"relative/dir/img.JP2", true},
        {"archive.tar.webp", true},
        {".png", true},  // a hidden file whose whole name is the extension
        {"photo.jpe", false},
        {"photo.png.bak", false},
        {"photo.pdf", false},
        {"photo", false},
        {"photo.", false},
        {"/pics.png/photo", false},  // the dot is in a folder name
        {"/pics.png/", false},
        {"photo.jpg ", false},
        {"photo.J\xC3\x84G", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Destekleniyormu(c.name), c.supported) << '"' << c.name << '"';
    }
    for (std::string_view ext : kSupportedExtensions) {
        EXPECT_TRUE(Destekleniyormu("/x/name" + std::string(ext))) << ext;
    }
}

std::vector<std::string> names(const ImageFiles& list) {
    std::vector<std::string> out;
    for (const TMyRecord& record : list) {
        out.push_back(record.FName);
    }
    return out;
}

class ImageFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Odd entries came from a walk of a folder of their own.
        for (int i = 0; i < 5; ++i) {
            list.AppendImageFile("f" + std::to_string(i) + ".png", baseOf(i));
            list[static_cast<std::size_t>(i)].FImageIndex = 10 + i;
        }
    }
    static std::string baseOf(int i) { return i % 2 ? "/walked" + std::to_string(i) : ""; }
    ImageFiles list;
};

TEST_F(ImageFilesTest, AppendKeepsOrderAndDuplicates) {
    list.AppendImageFile("f1.png");
    EXPECT_EQ(names(list), (std::vector<std::string>{"f0.png", "f1.png", "f2.png", "f3.png",
                                                     "f4.png", "f1.png"}));
    EXPECT_EQ(list[5].FImageIndex, 0);  // a new entry has no icon yet
    EXPECT_EQ(list[5].BaseFolder, "");  // nor a base folder unless given one
    EXPECT_EQ(list[1].BaseFolder, "/walked1");
}

TEST_F(ImageFilesTest, DeleteSingleEntries) {
    list.DeleteImageFile(5);  // past the end: nothing happens
    list.DeleteImageFile(99);
    EXPECT_EQ(list.size(), 5u);
    list.DeleteImageFile(0);
    list.DeleteImageFile(3);
    EXPECT_EQ(names(list), (std::vector<std::string>{"f1.png", "f2.png", "f3.png"}));
}

TEST_F(ImageFilesTest, DeleteSelectionAsIfWalkingFromTheEnd) {
    struct Case {
        std::vector<std::size_t> selected;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {{1, 3}, {"f0.png", "f2.png", "f4.png"}},
        {{3, 1}, {"f0.png", "f2.png", "f4.png"}},
        {{1, 1, 3, 7}, {"f0.png", "f2.png", "f4.png"}},
        {{}, {"f0.png", "f1.png", "f2.png", "f3.png", "f4.png"}},
        {{0, 1, 2, 3, 4}, {}},
        {{4}, {"f0.png", "f1.png", "f2.png", "f3.png"}},
    };
    for (const Case& c : cases) {
        ImageFiles copy = list;
        const std::size_t removed = copy.DeleteImageFiles(c.selected);
        EXPECT_EQ(names(copy), c.left);
        EXPECT_EQ(removed, list.size() - c.left.size());
        // Each entry keeps its own icon index and base folder when it moves up.
        for (const TMyRecord& record : copy) {
            EXPECT_EQ(record.FImageIndex, 10 + (record.FName[1] - '0')) << record.FName;
            EXPECT_EQ(record.BaseFolder, baseOf(record.FName[1] - '0')) << record.FName;
        }
    }
}

TEST_F(ImageFilesTest, ClearEmpties) {
    list.Clear();
    EXPECT_TRUE(list.empty());
    list.Clear();
    EXPECT_EQ(list.size(), 0u);
}

TEST(DialogFilter, ImagesFirstThenAllFiles) {
    const std::string patterns =
        "*.png;*.webp;*.jpg;*.jpeg;*.jfif;*.tif;*.tiff;*.gif;*.ico;*.bmp;*.wmp;*.avif;*.psd;"
        "*.heic;*.svg;*.tga;*.jxl;*.jp2";
    EXPECT_EQ(ImageDialogFilter("Resim Dosyaları", "Tüm Dosyalar (*.*)"),
              "Resim Dosyaları (" + patterns + ")|" + patterns + "|Tüm Dosyalar (*.*)|*.*");
    const auto entries = ImageDialogFilterEntries("Image Files", "All Files (*.*)");
    EXPECT_EQ(entries[0].name, "Image Files (" + patterns + ")");
    EXPECT_EQ(entries[0].patterns, patterns);
    EXPECT_EQ(entries[1].name, "All Files (*.*)");
    EXPECT_EQ(entries[1].patterns, "*.*");
}

// Every pattern of the dialog is a supported extension, and every supported
// extension has a pattern.
TEST(DialogFilter, PatternsMatchSupportedExtensions) {
    std::vector<std::string> fromPatterns;
    std::string_view rest = kImagePatterns;
    while (!rest.empty()) {
        const std::size_t semi = rest.find(';');
        const std::string_view pattern = rest.substr(0, semi);
        ASSERT_EQ(pattern.substr(0, 1), "*");
        EXPECT_TRUE(Destekleniyormu("x" + std::string(pattern.substr(1)))) << pattern;
        fromPatterns.emplace_back(pattern.substr(1));
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    }
    EXPECT_EQ(fromPatterns.size(), kSupportedExtensions.size());
}

}  // namespace
}  // namespace imbrix::imagelist
