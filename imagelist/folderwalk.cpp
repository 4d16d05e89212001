// The folder walk.
#include "imagelist/folderwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "imagelist/imagelist.h"
#include "platform/files.h"

namespace imbrix::imagelist {

namespace {

struct FolderId {
    dev_t device;
    ino_t inode;
    bool operator==(const FolderId&) const = default;
};

class Walker {
public:
    Walker(const std::function<bool()>& includeSubfolders,
           const std::function<bool(const std::string&)>& onFile, std::stop_token stop)
        : includeSubfolders_(includeSubfolders), onFile_(onFile), stop_(std::move(stop)) {}

    // False when the walk was stopped.
    bool walk(const std::string& dirName) {
        int fd;
        do {
            fd = ::open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            return true;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return true;
        }
        const FolderId id{st.st_dev, st.st_ino};
        for (const FolderId& open : path_) {
            if (open == id) {  // a link back into a folder being walked
                ::close(fd);
                return true;
            }
        }
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            ::close(fd);
            return true;
        }
        path_.push_back(id);
        const bool finished = walkEntries(dir, platform::withTrailingSlash(dirName));
        path_.pop_back();
        ::closedir(dir);
        return finished;
    }

private:
    bool walkEntries(DIR* dir, const std::string& prefix) {
        for (;;) {
            if (stop_.stop_requested()) {
                return false;
            }
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr) {
                return true;  // the end, or an error that ends this folder quietly
            }
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
                continue;
            }
            const std::string path = prefix + name;
            switch (kindOf(entry->d_type, path)) {
                case Kind::kFolder:
                    if (includeSubfolders_ && includeSubfolders_() && !walk(path)) {
                        return false;
                    }
                    break;
                case Kind::kFile:
                    if (Destekleniyormu(path) && onFile_ && !onFile_(path)) {
                        return false;
                    }
                    break;
                case Kind::kSpecial:
                    break;
            }
        }
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
    std::vector<FolderId> path_;  // the folders currently being walked, outermost first
};

}  // namespace

bool AddAllFilesInDir(const std::string& dirName, const std::function<bool()>& includeSubfolders,
                      const std::function<bool(const std::string& path)>& onFile,
                      std::stop_token stop) {
    Walker walker(includeSubfolders, onFile, std::move(stop));
    return walker.walk(dirName);
}

}  // namespace imbrix::imagelist
