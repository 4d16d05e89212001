// imbrix-cli: the roads into a run. PATH arguments, a list file (--files-from)
// and the failed files of an earlier record (--retry-failed) are read in that
// order, as a stream, and each file of this process's shard is handed on.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "convert/pathlist.h"
#include "convert/run.h"
#include "convert/runrecord.h"
#include "convert/shard.h"

namespace imbrix::cli {

struct SourceOptions {
    std::vector<std::string> paths;  ///< PATH arguments
    std::string listFile;            ///< --files-from; empty: none
    bool nulSeparated = false;       ///< --null
    std::string retryRecord;         ///< --retry-failed; empty: none
    bool subfolders = true;
    std::optional<convert::Shard> shard;
    /// --base: the base folder of every file given on its own (for --keep-tree).
    std::string base;
};

/// What the sources held, over all shards.
struct SourceCounts {
    std::size_t taken = 0;     ///< files handed on (this shard's)
    std::size_t files = 0;     ///< files found, this shard's and the others'
    std::size_t problems = 0;  ///< entries or lines that could not be read (each reported)
};

/// The sources of a run. Each entry is taken as a PATH argument is:
///  - a folder is walked (subfolders too, unless told not to), and each file
///    found goes to the shard of its path as the walk makes it (the folder as
///    given, '/', the path below it), so every shard walks the folder and takes
///    its share. A folder whose name looks like a picture file's ("2023.jpg/")
///    is walked by the shard of its own name alone, which takes all of it;
///  - a file with a picture file's name goes to the shard of its path as given;
///    no other shard looks at it (not even to see what it is);
///  - anything else (no picture's name, not a regular file, a temporary file of
///    a conversion) is reported by the shard of its path and converted by none.
/// A file of a record (--retry-failed) goes to the shard of its "source".
class Sources {
public:
    /// Opens the list and the record. Throws convert::PathListError when one
    /// cannot be opened.
    explicit Sources(SourceOptions options);

    /// Hands each file of this shard to `take`, in order, until `take` returns
    /// false or `stop` is requested; calls `waiting` when a list's writer (a
    /// pipe) keeps it waiting, so that what was taken can be converted
    /// meanwhile. Problems (an unreadable list, a malformed line) are written
    /// to `messages` and counted; so are the skipped entries.
    SourceCounts feed(const std::function<bool(convert::SourceFile)>& take,
                      const std::function<void()>& waiting, std::stop_token stop,
                      std::ostream& messages);

private:
    bool entry(const std::string& path, const std::function<bool(convert::SourceFile)>& take,
               std::stop_token stop, std::ostream& messages);
    bool mine(const std::string& path) const;

    SourceOptions options_;
    std::optional<convert::PathListReader> list_;
    std::optional<convert::FailedFilesReader> record_;
    SourceCounts counts_;
};

}  // namespace imbrix::cli
