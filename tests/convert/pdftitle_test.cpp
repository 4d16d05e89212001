// The program's own route to a PDF through the built converter front: the front
// writes a temporary file beside the output, which gets its name afterwards, and
// the document is titled after the user's file all the same.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/testsupport.h"
#include "convert/convertfile.h"
#include "convert/realconverter.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;

TEST(PdfThroughTheFront, TitledAfterTheUsersFile) {
    test::ScratchDir sources, data, out;
    const std::string name = "Zo\xC3\xAB (2) \xE5\x86\x99\xE7\x9C\x9F";
    const std::string source = sources.file(name + ".jpg");
    fs::copy_file(test::corpusDir() / "photos" / "exif-orientation" / "bug725582-testrotate.jpg",
                  source);
    FileSettings settings = test::realConverterSettings("PDF", data.path().string());
    settings.quality = 80;

    const FileOutcome outcome = convertFile(source, out.path().string() + "/", settings);
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(fs::path(outcome.output).filename().string(), name + ".pdf");
    EXPECT_EQ(test::pdfTitle(outcome.output), name);
}

}  // namespace
}  // namespace imbrix::convert
