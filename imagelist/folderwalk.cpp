// The folder walk.
#include "imagelist/folderwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "imagelist/imagelist.h"
#include "platform/files.h"
#include "platform/uniquefd.h"

namespace imbrix::imagelist {

namespace {

// The character of `name` at `at`, upper-cased, and moves `at` past it. A byte
// that does not start a valid UTF-8 sequence stands for itself, above every
// character.
std::uint32_t nextFoldedCharacter(std::string_view name, std::size_t& at) {
    auto i = static_cast<std::int32_t>(at);
    UChar32 c = 0;
    U8_NEXT(name.data(), i, static_cast<std::int32_t>(name.size()), c);
    if (c < 0) {
        return 0x110000u + static_cast<unsigned char>(name[at++]);
    }
    at = static_cast<std::size_t>(i);
    return static_cast<std::uint32_t>(u_toupper(c));
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

struct FolderId {
    dev_t device;
    ino_t inode;
    auto operator<=>(const FolderId&) const = default;
};

class Walker {
public:
    Walker(const std::function<bool()>& includeSubfolders,
           const std::function<bool(const std::string&)>& onFile, std::stop_token stop)
        : includeSubfolders_(includeSubfolders), onFile_(onFile), stop_(std::move(stop)) {}

    // False when the walk was stopped. The folder is closed on every way out,
    // an exception from `onFile` or a failed allocation included.
    bool walk(const std::string& dirName) {
        int opened;
        do {
            opened = ::open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } while (opened < 0 && errno == EINTR);
        platform::UniqueFd fd(opened);
        if (!fd) {
            return true;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            return true;
        }
        // Each real folder once, however many links lead to it: links that fan
        // out would otherwise list its files over and over, and a link back into
        // a folder being walked would never end.
        if (!visited_.insert(FolderId{st.st_dev, st.st_ino}).second) {
            return true;
        }
        const DirStream dir(::fdopendir(fd.get()));
        if (!dir) {
            return true;
        }
        fd.release();  // the stream owns the descriptor now
        return walkEntries(dir.get(), platform::withTrailingSlash(dirName));
    }

private:
    struct Entry {
        std::string name;
        unsigned char type;
    };

    bool walkEntries(DIR* dir, const std::string& prefix) {
        // The whole folder is read first and walked in name order: the order the
        // system hands entries out in differs from one file system to the next
        // and looks random to the user.
        std::vector<Entry> entries;
        for (;;) {
            if (stop_.stop_requested()) {
                return false;
            }
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr) {
                break;  // the end, or an error that ends this folder quietly
            }
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
                entries.push_back({name, entry->d_type});
            }
        }
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return FolderNameLess(a.name, b.name); });
        for (const Entry& entry : entries) {
            if (stop_.stop_requested()) {
                return false;
            }
            const std::string path = prefix + entry.name;
            switch (kindOf(entry.type, path)) {
                case Kind::kFolder:
                    if (includeSubfolders_ && includeSubfolders_() && !walk(path)) {
                        return false;
                    }
                    break;
                case Kind::kFile:
                    // A conversion's temporary file (one left by a run that was
                    // killed, or one of a run going on) is never a source.
                    if (Destekleniyormu(path) && !platform::tempFileTarget(path) && onFile_ &&
                        !onFile_(path)) {
                        return false;
                    }
                    break;
                case Kind::kSpecial:
                    break;
            }
        }
        return true;
    }

    enum class Kind { kFolder, kFile, kSpecial };

    static Kind kindOf(unsigned char type, const std::string& path) {
        switch (type) {
            case DT_DIR:
                return Kind::kFolder;
            case DT_REG:
                return Kind::kFile;
            case DT_FIFO:
            case DT_SOCK:
            case DT_CHR:
            case DT_BLK:
                return Kind::kSpecial;
            default:
                break;  // DT_LNK or DT_UNKNOWN: look at what the name leads to
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return Kind::kFile;  // a dangling link is listed as a file would be
        }
        if (S_ISDIR(st.st_mode)) {
            return Kind::kFolder;
        }
        return S_ISREG(st.st_mode) ? Kind::kFile : Kind::kSpecial;
    }

    const std::function<bool()>& includeSubfolders_;
    const std::function<bool(const std::string&)>& onFile_;
    std::stop_token stop_;
    std::set<FolderId> visited_;  // every folder walked so far
};

}  // namespace

bool FolderNameLess(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const std::uint32_t x = nextFoldedCharacter(a, i);
        const std::uint32_t y = nextFoldedCharacter(b, j);
        if (x != y) {
            return x < y;
        }
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size();  // the shorter name first
    }
    return a < b;  // equal but for case: by their bytes
}

bool AddAllFilesInDir(const std::string& dirName, const std::function<bool()>& includeSubfolders,
                      const std::function<bool(const std::string& path)>& onFile,
                      std::stop_token stop) {
    Walker walker(includeSubfolders, onFile, std::move(stop));
    return walker.walk(dirName);
}

bool AddFolderEntries(const std::string& dirName, const std::function<bool()>& includeSubfolders,
                      const std::function<bool(TMyRecord entry)>& onEntry, std::stop_token stop) {
    const std::function<bool(const std::string&)> onFile = [&](const std::string& path) {
        return !onEntry || onEntry(TMyRecord{path, 0, dirName});
    };
    return AddAllFilesInDir(dirName, includeSubfolders, onFile, std::move(stop));
}

}  // namespace imbrix::imagelist
