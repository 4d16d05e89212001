// Imbrix conversion engine: the machine-readable record of a run.
//
// One JSON object per file, one per line (JSON Lines), in list order:
//
//   {"source":"in/a.jpg","output":"out/a.webp","status":"converted",
//    "bytes_in":48211,"bytes_out":30127,"ms":41}
//
//   source       the file as the list gave it (or as a folder's walk found it)
//   base_folder  the folder whose walk found it; absent for a file given on its own
//   output       the file written, or for a skipped file the one that exists;
//                absent when the file failed
//   status       "converted", "failed" or "skipped" (its output existed)
//   error        the message the desktop program shows; only when failed
//   bytes_in     the source's size; null when it was not found
//   bytes_out    the size of what this run wrote for it (0 when nothing)
//   ms           the time spent on it, in milliseconds
//
// Text is UTF-8. A path that is not valid UTF-8 (a file name from an older
// system) keeps its bytes losslessly: its field shows it with U+FFFD for each
// byte that is not UTF-8, and a second field, "source_bytes" (likewise
// "base_folder_bytes", "output_bytes"), holds its exact bytes in base64. Such
// bytes in an error message are only shown as U+FFFD.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "convert/pathlist.h"
#include "convert/run.h"

namespace imbrix::convert {

/// The longest line of a record that is read back, in bytes.
inline constexpr std::size_t kMaxRecordLineBytes = 1 << 20;

/// One file's line of the record, with its '\n'.
std::string recordLine(const FileOutcome& outcome);

/// True when `text` is valid UTF-8 (no overlong forms, surrogates or code
/// points beyond U+10FFFF).
bool isValidUtf8(std::string_view text);

/// Standard base64 (RFC 4648, with padding).
std::string base64Encode(std::string_view bytes);
/// The bytes of standard base64 text; nothing when `text` is not that.
std::optional<std::string> base64Decode(std::string_view text);

/// Reads the files that failed from a record, as a stream (a record of
/// millions of lines is not held).
class FailedFilesReader {
public:
    struct Entry {
        SourceFile file;
        std::string problem;  ///< set when the line is no record of a file; `file` is empty then
    };

    /// Opens the record `name` ("-": standard input). Throws PathListError.
    explicit FailedFilesReader(const std::string& name);

    /// The next file whose status is "failed", or a line that cannot be read as
    /// a record's line; nothing at the end (or once `stop` is requested while a
    /// pipe keeps the record waiting; `waiting` as for PathListReader::next()).
    /// Throws PathListError when the record cannot be read on.
    std::optional<Entry> next(std::stop_token stop = {}, const std::function<void()>& waiting = {});

private:
    PathListReader lines_;
};

}  // namespace imbrix::convert
