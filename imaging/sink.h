// Imbrix imaging layer: where encoders write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imbrix::imaging {

/// Destination of an encoder. write() either stores every byte or throws Error.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const void* data, std::size_t size) = 0;
};

/// Collects the bytes in memory.
class MemorySink final : public Sink {
public:
    void write(const void* data, std::size_t size) override;
    std::vector<std::uint8_t> bytes;
};

/// Writes to an open file descriptor through a buffer. The descriptor stays the
/// caller's. flush() must be called before the file is published; a failed
/// write (full disk, ...) throws Error naming `displayPath`.
class FileSink final : public Sink {
public:
    FileSink(int fd, std::string displayPath);
    ~FileSink() override = default;
    void write(const void* data, std::size_t size) override;
    void flush();

private:
    void drain(const std::uint8_t* data, std::size_t size);
    int fd_;
    std::string path_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace imbrix::imaging
