#include "imaging/source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "imaging/error.h"
#include "platform/uniquefd.h"

namespace imbrix::imaging {

namespace {
[[noreturn]] void failOpen(const std::string& path, int err) {
    throw Error("Cannot open file \"" + path + "\". " + std::strerror(err));
}
}  // namespace

FileBytes::FileBytes(const std::string& path) {
    // Closed on every way out, a failed allocation included.
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        failOpen(path, errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        failOpen(path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        failOpen(path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ == 0) {
        return;  // an empty file: an empty span, which every decoder rejects with its message
    }
    void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (map != MAP_FAILED) {
        data_ = static_cast<const std::uint8_t*>(map);
        mapped_ = true;
        return;
    }
    // Some file systems cannot map; read the file instead.
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size_);
    std::size_t done = 0;
    while (done < size_) {
        const ssize_t n = ::read(fd.get(), buffer.get() + done, size_ - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failOpen(path, n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    data_ = buffer.release();
}

FileBytes::~FileBytes() {
    if (mapped_) {
        ::munmap(const_cast<std::uint8_t*>(data_), size_);
    } else {
        delete[] data_;
    }
}

}  // namespace imbrix::imaging
