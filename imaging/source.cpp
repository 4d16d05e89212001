#include "imaging/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "imaging/error.h"
#include "platform/uniquefd.h"

namespace imbrix::imaging {

namespace {

[[noreturn]] void failOpen(const std::string& path, const std::string& reason) {
    throw Error("Cannot open file \"" + path + "\". " + reason);
}

[[noreturn]] void failRead(const std::string& path, const std::string& reason) {
    throw Error("Cannot read file \"" + path + "\". " + reason);
}

// Why a file of this mode is not read, or nothing for a regular file.
const char* notRegular(mode_t mode) {
    if (S_ISREG(mode)) {
        return nullptr;
    }
    if (S_ISDIR(mode)) {
        return std::strerror(EISDIR);
    }
    if (S_ISFIFO(mode)) {
        return "Not a regular file (a named pipe)";
    }
    if (S_ISSOCK(mode)) {
        return "Not a regular file (a socket)";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "Not a regular file (a device)";
    }
    return "Not a regular file";
}

void checkFile(const std::string& path, const struct stat& st) {
    if (const char* why = notRegular(st.st_mode)) {
        failOpen(path, why);
    }
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        failOpen(path, "The file is too large (" + std::to_string(st.st_size) + " bytes, at most " +
                           std::to_string(kMaxFileBytes) + ")");
    }
}

// Reads up to `size` bytes; returns how many there were before the end of the file.
std::size_t readUpTo(int fd, std::uint8_t* out, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failRead(path, std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

constexpr const char* kChanged = "The file changed while it was read";

}  // namespace

FileBytes::FileBytes(const std::string& path) {
    // Looked at before it is opened, so that no device is ever opened; the
    // descriptor's own facts below are the ones that count.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        failOpen(path, std::strerror(errno));
    }
    checkFile(path, st);
    // O_NONBLOCK: should the path have become a named pipe since, open() does
    // not wait for a writer. Closed on every way out.
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        failOpen(path, std::strerror(errno));
    }
    if (::fstat(fd.get(), &st) != 0) {
        failOpen(path, std::strerror(errno));
    }
    checkFile(path, st);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        failOpen(path, std::strerror(errno));
    }

    const auto size = static_cast<std::size_t>(st.st_size);
    // One byte more than the file should hold, to see a file that grew.
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size + 1);
    const std::size_t got = readUpTo(fd.get(), buffer.get(), size + 1, path);
    struct stat after {};
    if (got != size || ::fstat(fd.get(), &after) != 0 || after.st_size != st.st_size ||
        after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec) {
        failRead(path, kChanged);
    }
    data_ = std::move(buffer);
    size_ = size;
}

}  // namespace imbrix::imaging
