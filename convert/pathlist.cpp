// Imbrix conversion engine: a list of paths read as a stream.
#include "convert/pathlist.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace imbrix::convert {

namespace {

constexpr std::size_t kBlockBytes = 64 * 1024;

std::string reason(int err) {
    return std::system_category().message(err);
}

}  // namespace

PathListReader::PathListReader(const std::string& name, Separator separator,
                               std::size_t maxEntryBytes)
    : name_(name),
      separator_(separator == Separator::Nul ? '\0' : '\n'),
      maxEntryBytes_(maxEntryBytes),
      // Room for the longest entry and a block read behind it.
      buffer_(maxEntryBytes + 1 + kBlockBytes) {
    if (name == "-") {
        fd_ = STDIN_FILENO;
    } else {
        int opened;
        do {
            opened = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        } while (opened < 0 && errno == EINTR);
        if (opened < 0) {
            throw PathListError("cannot read the list " + name + ": " + reason(errno));
        }
        owned_.reset(opened);
        fd_ = opened;
    }
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        throw PathListError("cannot read the list " + name + ": " + reason(EISDIR));
    }
}

// Moves what is left to the front and reads more behind it. False at the end.
bool PathListReader::fill(const std::stop_token& stop, const std::function<void()>& waiting) {
    if (eof_ || stopped_) {
        return false;
    }
    // A pipe's writer may keep the list waiting: the caller hears of it, and a
    // stop ends the wait.
    bool told = false;
    while (stop.stop_possible() || waiting) {
        if (stop.stop_requested()) {
            stopped_ = true;
            return false;
        }
        pollfd ready{fd_, POLLIN, 0};
        const int n = ::poll(&ready, 1, 100);
        if (n > 0 || (n < 0 && errno != EINTR)) {
            break;  // readable, at its end, or an error read() will report
        }
        if (n == 0 && waiting && !told) {
            told = true;
            waiting();
        }
    }
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw PathListError("cannot read the list " + name_ + ": " + reason(errno));
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(n);
        return true;
    }
}

std::optional<PathListReader::Entry> PathListReader::next(std::stop_token stop,
                                                          const std::function<void()>& waiting) {
    for (;;) {
        // An entry is complete at its separator, or at the end of the list.
        std::size_t searchFrom = begin_;
        const char* found = nullptr;
        for (;;) {
            found = static_cast<const char*>(
                std::memchr(buffer_.data() + searchFrom, separator_, end_ - searchFrom));
            if (found || end_ - begin_ > maxEntryBytes_) {
                break;
            }
            const std::size_t searched = end_ - begin_;
            if (!fill(stop, waiting)) {
                break;
            }
            searchFrom = begin_ + searched;  // fill() moved the entry to the front
        }
        if (stopped_ || (!found && begin_ == end_)) {
            return std::nullopt;  // the end of the list (a part read of an entry is dropped)
        }
        Entry entry;
        entry.number = ++number_;
        const std::size_t length =
            found ? static_cast<std::size_t>(found - buffer_.data()) - begin_ : end_ - begin_;
        if (length > maxEntryBytes_) {
            // Too long for a path: report its start and pass over the rest of it.
            entry.path.assign(buffer_.data() + begin_, std::min<std::size_t>(length, 64));
            entry.problem = std::string(separator_ == '\n' ? "line " : "entry ") +
                            std::to_string(entry.number) + " of the list " + name_ +
                            " is longer than " + std::to_string(maxEntryBytes_) + " bytes";
            for (;;) {
                const char* end = static_cast<const char*>(
                    std::memchr(buffer_.data() + begin_, separator_, end_ - begin_));
                if (end) {
                    begin_ = static_cast<std::size_t>(end - buffer_.data()) + 1;
                    break;
                }
                begin_ = end_;
                if (!fill(stop, waiting)) {
                    break;
                }
            }
            return entry;
        }
        entry.path.assign(buffer_.data() + begin_, length);
        begin_ += length + (found ? 1 : 0);
        if (entry.path.empty()) {
            continue;  // an empty line: nothing to convert, but it counts as a line
        }
        if (separator_ == '\n' && entry.path.find('\0') != std::string::npos) {
            entry.problem = "line " + std::to_string(entry.number) + " of the list " + name_ +
                            " holds a zero byte: a list of NUL-separated paths (find -print0) "
                            "needs --null";
        }
        return entry;
    }
}

}  // namespace imbrix::convert
