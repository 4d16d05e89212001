// Imbrix conversion engine: a list of paths read as a stream.
//
// A list of millions of paths (from find, a database, a queue) is read a block
// at a time: what is held is one block and one path, whatever the list's length.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/uniquefd.h"

namespace imbrix::convert {

/// The longest path an entry may hold, in bytes (the system's PATH_MAX less its
/// zero byte): no longer path can be opened.
inline constexpr std::size_t kMaxListPathBytes = 4095;

/// A list that cannot be opened or read on; the message names it and says why.
class PathListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Reads a list of paths (or any text of one record per line) as a stream.
class PathListReader {
public:
    enum class Separator {
        Newline,  ///< one path per line; a name holding a line break cannot be listed
        Nul,      ///< each path ends with a zero byte, as find -print0 writes them
    };

    /// One entry of the list. `problem` is set, and `path` holds what was read of
    /// it, when the entry cannot be a path: the caller reports it and reads on.
    struct Entry {
        std::string path;
        std::string problem;
        std::size_t number = 0;  ///< the entry's line (or NUL-separated record) number, from 1
    };

    /// Opens the list file `name`; "-" reads standard input. Throws
    /// PathListError when the file cannot be opened (or is a folder). A longer
    /// entry than `maxEntryBytes` is reported, not held.
    PathListReader(const std::string& name, Separator separator,
                   std::size_t maxEntryBytes = kMaxListPathBytes);

    /// The next entry, skipping empty ones; nothing at the end of the list, or
    /// once `stop` is requested while the list's writer (a pipe) keeps it
    /// waiting. When the writer keeps it waiting for a tenth of a second,
    /// `waiting` is called (once for each wait). Throws PathListError when the
    /// list cannot be read on.
    std::optional<Entry> next(std::stop_token stop = {}, const std::function<void()>& waiting = {});

    /// The list's name as given ("-" for standard input), for messages.
    const std::string& name() const { return name_; }

private:
    bool fill(const std::stop_token& stop, const std::function<void()>& waiting);

    std::string name_;
    char separator_;
    std::size_t maxEntryBytes_;
    platform::UniqueFd owned_;
    int fd_ = -1;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool stopped_ = false;
    std::size_t number_ = 0;
};

}  // namespace imbrix::convert
