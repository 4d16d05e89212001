// The version-information reader on real executables and on damaged or foreign files.
#include "app/versioninfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/testsupport.h"

namespace imbrix::app {
namespace {

std::string selfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// The error code ReadExeVersionData throws for `path`, or 0 when it does not throw.
int readError(const std::string& path, TEXEVersionData& data) {
    try {
        ReadExeVersionData(path, data);
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        return e.code().value();
    }
    return 0;
}

TEST(VersionInfo, ReadsTheBlockOfABuiltExecutable) {
    TEXEVersionData data;
    data.Comments = "kept";  // a key the block does not have keeps its value
    ReadExeVersionData(selfPath(), data);
    EXPECT_EQ(data.CompanyName, "KELVANE");
    EXPECT_EQ(data.ProductName, "Imbrix");
    EXPECT_EQ(data.FileDescription, "Imbrix");
    EXPECT_EQ(data.InternalName, "Imbrix");
    EXPECT_EQ(data.FileVersion, "2.3.0.0");
    EXPECT_EQ(data.ProductVersion, "2.3.0.0");
    EXPECT_EQ(data.OriginalFileName, "imbrix_app_tests");
    EXPECT_EQ(data.PrivateBuild, "");
    EXPECT_EQ(data.SpecialBuild, "");
    EXPECT_EQ(data.LegalCopyright, "");
    EXPECT_EQ(data.Comments, "kept");

    FileVersionNumbers v = ReadExeFileVersion(selfPath());
    EXPECT_EQ(v.major, 2);
    EXPECT_EQ(v.minor, 3);
    EXPECT_EQ(v.release, 0);
    EXPECT_EQ(v.build, 0);
}

TEST(VersionInfo, ReadsTheDesktopProgram) {
    auto program = test::binDir() / "imbrix";
    if (!std::filesystem::exists(program))
        GTEST_SKIP() << "the desktop program is not built";
    TEXEVersionData data;
    ReadExeVersionData(program.string(), data);
    EXPECT_EQ(data.CompanyName, "KELVANE");
    EXPECT_EQ(data.ProductName, "Imbrix");
    EXPECT_EQ(data.FileVersion, "2.3.0.0");
    EXPECT_EQ(data.OriginalFileName, "imbrix");
}

TEST(VersionInfo, QueriesFollowTheBlockTree) {
    auto block = readVersionBlock(selfPath());
    auto translation = queryVersionValue(block, "\\VarFileInfo\\Translation\\");
    ASSERT_TRUE(translation);
    ASSERT_EQ(translation->size(), 4u);
    EXPECT_EQ((*translation)[0] | ((*translation)[1] << 8), 0x0409);
    EXPECT_EQ((*translation)[2] | ((*translation)[3] << 8), 0x04E4);
    // Keys are matched without regard to case; the stored key is "OriginalFilename".
    EXPECT_TRUE(queryVersionValue(block, "\\StringFileInfo\\040904e4\\ORIGINALFILENAME"));
    EXPECT_FALSE(queryVersionValue(block, "\\StringFileInfo\\04090000\\CompanyName"));
    EXPECT_FALSE(queryVersionValue(block, "\\StringFileInfo\\040904E4\\NoSuchKey"));
}

TEST(VersionInfo, FilesWithoutAUsableBlockRaiseAnErrorAndFillNothing) {
    test::ScratchDir dir;
    auto self = test::readBytes(selfPath());
    ASSERT_GT(self.size(), 4096u);

    auto truncated = dir.file("truncated");
    test::writeBytes(truncated, {self.begin(), self.begin() + static_cast<long>(self.size() / 2)});
    auto header = dir.file("header-only");
    test::writeBytes(header, {self.begin(), self.begin() + 64});
    auto empty = dir.file("empty");
    test::writeBytes(empty, {});
    auto text = dir.file("text");
    test::writeText(text, "#!/bin/sh\necho not an ELF file\n");

    // An ELF header whose section table claims more entries than the file holds.
    auto lying = dir.file("lying");
    auto bytes = self;
    bytes[0x3C] = 0xFF;  // e_shnum (ELF64, little-endian)
    bytes[0x3D] = 0xFF;
    test::writeBytes(lying, bytes);

    // The block's own length damaged inside an otherwise sound file.
    auto damaged = dir.file("damaged");
    auto block = readVersionBlock(selfPath());
    auto at = std::search(self.begin(), self.end(), block.begin(), block.end());
    ASSERT_NE(at, self.end());
    bytes = self;
    bytes[static_cast<std::size_t>(at - self.begin())] = 0xFF;
    bytes[static_cast<std::size_t>(at - self.begin()) + 1] = 0xFF;
    test::writeBytes(damaged, bytes);

    struct Case {
        std::string path;
        int error;
    };
    const Case cases[] = {
        {"/bin/true", ENODATA},
        {truncated, ENOEXEC},
        {header, ENOEXEC},
        {empty, ENOEXEC},
        {text, ENOEXEC},
        {lying, ENOEXEC},
        {damaged, ENODATA},
        {dir.file("missing"), ENOENT},
        {dir.path().string(), EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TEXEVersionData data;
        EXPECT_EQ(readError(c.path, data), c.error);
        EXPECT_EQ(data.CompanyName, "");
        EXPECT_EQ(data.ProductName, "");
        FileVersionNumbers v = ReadExeFileVersion(c.path);
        EXPECT_EQ(v.major, 65535);
        EXPECT_EQ(v.minor, 65535);
    }
}

}  // namespace
}  // namespace imbrix::app
