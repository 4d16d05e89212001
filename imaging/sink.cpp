#include "imaging/sink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "imaging/error.h"

namespace imbrix::imaging {

namespace {
constexpr std::size_t kFileBufferSize = std::size_t{1} << 20;
}

void MemorySink::write(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

FileSink::FileSink(int fd, std::string displayPath) : fd_(fd), path_(std::move(displayPath)) {
    buffer_.reserve(kFileBufferSize);
}

void FileSink::write(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (buffer_.size() + size > kFileBufferSize) {
        flush();
        if (size >= kFileBufferSize) {
            drain(p, size);
            return;
        }
    }
    buffer_.insert(buffer_.end(), p, p + size);
}

void FileSink::flush() {
    drain(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void FileSink::drain(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Error("Cannot write file \"" + path_ + "\". " + std::strerror(errno));
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace imbrix::imaging
