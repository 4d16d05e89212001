// Imbrix version information: finding the version block in an ELF file and reading it.
#include "app/versioninfo.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/uniquefd.h"

namespace imbrix::app {
namespace {

constexpr char kSectionName[] = ".imbrix_version";  // compared with its terminator
constexpr std::uint64_t kMaxSectionCount = 1u << 20;
constexpr std::uint64_t kMaxSectionSize = 1u << 20;  // a block is at most 64 KiB

[[noreturn]] void fail(int code, const std::string& path, const std::string& what) {
    throw std::system_error(code, std::system_category(), path + ": " + what);
}

// A file read at offsets, every read checked against the file's size.
class ElfFile {
public:
    explicit ElfFile(const std::string& path)
        : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (!fd_)
            fail(errno, path, "cannot read the version information");
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) {
            fail(errno, path, "cannot read the version information");
        }
        if (S_ISDIR(st.st_mode)) {
            fail(EISDIR, path, "cannot read the version information");
        }
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;

    std::uint64_t size() const { return size_; }

    // Reads exactly `n` bytes at `offset`; false when they lie outside the file.
    bool read(std::uint64_t offset, void* buffer, std::size_t n) const {
        if (offset > size_ || n > size_ - offset)
            return false;
        auto* out = static_cast<char*>(buffer);
        while (n > 0) {
            ssize_t got = ::pread(fd_.get(), out, n, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                fail(errno, path_, "cannot read the version information");
            if (got == 0)
                return false;  // the file shrank under us
            out += got;
            offset += static_cast<std::uint64_t>(got);
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    std::string path_;
    platform::UniqueFd fd_;
    std::uint64_t size_ = 0;
};

// Integer fields in the file's own byte order.
struct Reader {
    bool bigEndian = false;
    std::uint64_t get(const std::uint8_t* p, std::size_t width) const {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            std::size_t k = bigEndian ? i : width - 1 - i;
            v = (v << 8) | p[k];
        }
        return v;
    }
};

struct SectionHeader {
    std::uint32_t name = 0;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;
};

struct ElfLayout {
    bool is64 = false;
    Reader reader;
    std::uint64_t shoff = 0;
    std::uint64_t shentsize = 0;
    std::uint64_t shnum = 0;
    std::uint64_t shstrndx = 0;
};

#define IMBRIX_FIELD(type, member) offsetof(type, member), sizeof(type::member)

bool readSectionHeader(const ElfFile& file, const ElfLayout& elf, std::uint64_t index,
                       SectionHeader& out) {
    std::array<std::uint8_t, sizeof(Elf64_Shdr)> raw{};
    std::size_t want = elf.is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (index > (file.size() - elf.shoff) / elf.shentsize)
        return false;
    if (!file.read(elf.shoff + index * elf.shentsize, raw.data(), want))
        return false;
    auto field = [&](std::size_t offset, std::size_t width) {
        return elf.reader.get(raw.data() + offset, width);
    };
    if (elf.is64) {
        out.name = static_cast<std::uint32_t>(field(IMBRIX_FIELD(Elf64_Shdr, sh_name)));
        out.type = static_cast<std::uint32_t>(field(IMBRIX_FIELD(Elf64_Shdr, sh_type)));
        out.offset = field(IMBRIX_FIELD(Elf64_Shdr, sh_offset));
        out.size = field(IMBRIX_FIELD(Elf64_Shdr, sh_size));
        out.link = static_cast<std::uint32_t>(field(IMBRIX_FIELD(Elf64_Shdr, sh_link)));
    } else {
        out.name = static_cast<std::uint32_t>(field(IMBRIX_FIELD(Elf32_Shdr, sh_name)));
        out.type = static_cast<std::uint32_t>(field(IMBRIX_FIELD(Elf32_Shdr, sh_type)));
        out.offset = field(IMBRIX_FIELD(Elf32_Shdr, sh_offset));
        out.size = field(IMBRIX_FIELD(Elf32_Shdr, sh_size));
        out.link = static_cast<std::uint32_t>(field(IMBRIX_FIELD(Elf32_Shdr, sh_link)));
    }
    return true;
}

// The ELF header's facts about the section table; false when it is no ELF file.
bool readLayout(const ElfFile& file, ElfLayout& elf) {
    std::array<std::uint8_t, sizeof(Elf64_Ehdr)> raw{};
    if (!file.read(0, raw.data(), EI_NIDENT))
        return false;
    if (std::memcmp(raw.data(), ELFMAG, SELFMAG) != 0)
        return false;
    if (raw[EI_CLASS] != ELFCLASS32 && raw[EI_CLASS] != ELFCLASS64)
        return false;
    if (raw[EI_DATA] != ELFDATA2LSB && raw[EI_DATA] != ELFDATA2MSB)
        return false;
    elf.is64 = raw[EI_CLASS] == ELFCLASS64;
    elf.reader.bigEndian = raw[EI_DATA] == ELFDATA2MSB;
    if (!file.read(0, raw.data(), elf.is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr))) {
        return false;
    }
    auto field = [&](std::size_t offset, std::size_t width) {
        return elf.reader.get(raw.data() + offset, width);
    };
    if (elf.is64) {
        elf.shoff = field(IMBRIX_FIELD(Elf64_Ehdr, e_shoff));
        elf.shentsize = field(IMBRIX_FIELD(Elf64_Ehdr, e_shentsize));
        elf.shnum = field(IMBRIX_FIELD(Elf64_Ehdr, e_shnum));
        elf.shstrndx = field(IMBRIX_FIELD(Elf64_Ehdr, e_shstrndx));
    } else {
        elf.shoff = field(IMBRIX_FIELD(Elf32_Ehdr, e_shoff));
        elf.shentsize = field(IMBRIX_FIELD(Elf32_Ehdr, e_shentsize));
        elf.shnum = field(IMBRIX_FIELD(Elf32_Ehdr, e_shnum));
        elf.shstrndx = field(IMBRIX_FIELD(Elf32_Ehdr, e_shstrndx));
    }
    std::uint64_t minEntry = elf.is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (elf.shoff == 0) {  // no section table at all
        elf.shnum = 0;
        return true;
    }
    if (elf.shentsize < minEntry || elf.shoff >= file.size())
        return false;
    // Extended numbering: the real count and string-table index live in section 0.
    if (elf.shnum == 0 || elf.shstrndx == SHN_XINDEX) {
        SectionHeader first;
        if (!readSectionHeader(file, elf, 0, first))
            return false;
        if (elf.shnum == 0)
            elf.shnum = first.size;
        if (elf.shstrndx == SHN_XINDEX)
            elf.shstrndx = first.link;
    }
    if (elf.shnum > kMaxSectionCount || elf.shnum > (file.size() - elf.shoff) / elf.shentsize) {
        return false;
    }
    return true;
}

#undef IMBRIX_FIELD

}  // namespace

std::vector<std::uint8_t> readVersionBlock(const std::string& path) {
    ElfFile file(path);
    ElfLayout elf;
    if (!readLayout(file, elf))
        fail(ENOEXEC, path, "not a well-formed executable file");
    if (elf.shnum == 0)
        fail(ENODATA, path, "no version information");

    SectionHeader names;
    if (elf.shstrndx >= elf.shnum || !readSectionHeader(file, elf, elf.shstrndx, names) ||
        names.type == SHT_NOBITS || names.offset > file.size() ||
        names.size > file.size() - names.offset) {
        fail(ENOEXEC, path, "damaged section table");
    }

    for (std::uint64_t i = 1; i < elf.shnum; ++i) {
        SectionHeader section;
        if (!readSectionHeader(file, elf, i, section))
            fail(ENOEXEC, path, "damaged section table");
        if (section.name >= names.size)
            continue;
        char name[sizeof kSectionName] = {};
        std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(sizeof name, names.size - section.name));
        if (!file.read(names.offset + section.name, name, n))
            continue;
        if (n != sizeof name || std::memcmp(name, kSectionName, sizeof name) != 0)
            continue;

        if (section.type == SHT_NOBITS || section.size < 6 || section.size > kMaxSectionSize) {
            fail(ENODATA, path, "damaged version information");
        }
        std::vector<std::uint8_t> block(static_cast<std::size_t>(section.size));
        if (!file.read(section.offset, block.data(), block.size())) {
            fail(ENODATA, path, "damaged version information");
        }
        std::size_t length = static_cast<std::size_t>(block[0] | (block[1] << 8));
        if (length < 6 || length > block.size())
            fail(ENODATA, path, "damaged version information");
        block.resize(length);
        return block;
    }
    fail(ENODATA, path, "no version information");
}

}  // namespace imbrix::app
