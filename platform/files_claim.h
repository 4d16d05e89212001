// Imbrix platform layer: claiming a free output name without replacing anything.
//
// TempFile::publishUnique is the public way in; this header exposes the steps so
// that each way of claiming a name can be exercised on any file system.
#pragma once

#include <string>

namespace imbrix::platform {

/// How a finished file takes its final name. Each later method serves file
/// systems that lack the earlier one.
enum class ClaimMethod {
    kRenameNoReplace,  ///< renameat2(RENAME_NOREPLACE)
    kLink,             ///< link() to the new name, then unlink() the old one
    kPlaceholder,      ///< an exclusively created empty file, then rename() over it
};

/// `candidate` for n < 2, otherwise "<folder><stem> (n)<ext>".
std::string numberedName(const std::string& candidate, unsigned n);

/// Moves the file `from` to the first name of candidate, "<stem> (2)<ext>", ...
/// that no file or folder holds, starting with `method` and falling back to the
/// later methods where the file system does not support it. Returns the name
/// claimed. Throws std::system_error when the file cannot be moved at all.
std::string claimUniqueName(const std::string& from, const std::string& candidate,
                            ClaimMethod method);

/// Moves the file `from` to `target` itself, by the same methods. False, with
/// `from` left in place, when a file or folder of that name exists. Throws
/// std::system_error when the file cannot be moved at all.
bool claimExactName(const std::string& from, const std::string& target, ClaimMethod method);

}  // namespace imbrix::platform
