// Imbrix version information: the strings and numbers of an executable's version block.
//
// Our executables carry a block in the VS_VERSIONINFO layout in the ELF section
// ".imbrix_version" (see cmake/ImbrixVersionInfo.cmake). The reader finds that
// section in any file and answers the queries the program makes of it. Qt-free.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::app {

/// The twelve version strings, empty until read.
struct TEXEVersionData {
    std::string CompanyName;
    std::string FileDescription;
    std::string FileVersion;
    std::string InternalName;
    std::string LegalCopyright;
    std::string LegalTrademarks;
    std::string OriginalFileName;
    std::string ProductName;
    std::string ProductVersion;
    std::string Comments;
    std::string PrivateBuild;
    std::string SpecialBuild;
};

/// Fills `data` from the version block of the file at `path`: each field whose key
/// is in the block's first string table; the others keep their value. Throws
/// std::system_error (with an errno code and a message naming the file) when the
/// file cannot be read (its errno), is no well-formed ELF file (ENOEXEC), carries
/// no version block (ENODATA), or the block is damaged or names no translation
/// (ENODATA). Nothing is filled when it throws.
void ReadExeVersionData(const std::string& path, TEXEVersionData& data);

/// The four numbers of the fixed part's file version.
struct FileVersionNumbers {
    std::uint16_t major = 65535;
    std::uint16_t minor = 65535;
    std::uint16_t release = 65535;
    std::uint16_t build = 65535;
};

/// The file version of the fixed part; all 65535 when the file has no usable block.
/// Never throws.
FileVersionNumbers ReadExeFileVersion(const std::string& path);

/// The raw version block of the file at `path` (errors as ReadExeVersionData).
std::vector<std::uint8_t> readVersionBlock(const std::string& path);

/// The value a query such as "\", "\VarFileInfo\Translation\" or
/// "\StringFileInfo\040904e4\CompanyName" names in `block` (keys compared without
/// regard to ASCII case), or nothing. A string's value ends before its terminator.
std::optional<std::span<const std::uint8_t>> queryVersionValue(std::span<const std::uint8_t> block,
                                                               std::string_view query);

}  // namespace imbrix::app
