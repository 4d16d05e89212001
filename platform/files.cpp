// Imbrix platform layer: files and folders.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files_claim.h"
#include "platform/hash.h"

namespace imbrix::platform {

namespace {

std::system_error errnoError(int err, const std::string& what) {
    return std::system_error(err, std::system_category(), what);
}

// Longest file name most Linux file systems accept, in bytes.
constexpr std::size_t kMaxNameBytes = 255;

// Marks the names of temporary files, between the unique tag and the suffix.
constexpr std::string_view kTempMarker = ".imbrix-tmp";

// What the tag of a temporary file's name says about the run that made it.
struct TempTag {
    pid_t pid = 0;
    std::string_view host;  ///< "h" + 16 hex digits; empty in the names of older versions
};

// "<pid>-<n>" or "<pid>-<n>-<random>" (decimal numbers joined by '-'), then
// "-h<16 hex digits>" naming the machine.
std::optional<TempTag> parseTempTag(std::string_view tag) {
    TempTag parsed;
    const std::size_t lastDash = tag.rfind('-');
    if (lastDash != std::string_view::npos && tag.size() - lastDash == 18 &&
        tag[lastDash + 1] == 'h') {
        parsed.host = tag.substr(lastDash + 1);
        if (parsed.host.substr(1).find_first_not_of("0123456789abcdef") != std::string_view::npos) {
            return std::nullopt;
        }
        tag = tag.substr(0, lastDash);
    }
    int parts = 1;
    bool digits = false;
    for (char c : tag) {
        if (c == '-') {
            if (!digits) {
                return std::nullopt;
            }
            ++parts;
            digits = false;
        } else if (c >= '0' && c <= '9') {
            digits = true;
        } else {
            return std::nullopt;
        }
    }
    const std::string_view pid = tag.substr(0, tag.find('-'));
    if (!digits || (parts != 2 && parts != 3) || pid.size() > 9) {
        return std::nullopt;
    }
    parsed.pid = static_cast<pid_t>(std::stol(std::string(pid)));
    return parsed;
}

bool isTempTag(std::string_view tag) {
    return parseTempTag(tag).has_value();
}

// This machine in the names of temporary files: "h" and the FNV-1a hash of its
// host name. Workers on several machines may write into one shared folder; a
// process id means something only on the machine that gave it out.
const std::string& hostTag() {
    static const std::string tag = [] {
        std::array<char, 256> name{};
        if (::gethostname(name.data(), name.size() - 1) != 0) {
            name[0] = '\0';
        }
        std::array<char, 17> hex{};
        std::snprintf(hex.data(), hex.size(), "%016llx",
                      static_cast<unsigned long long>(fnv1a64(name.data())));
        std::string text = "h";
        text += hex.data();
        return text;
    }();
    return tag;
}

// `text` cut to at most `maxBytes` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(std::string text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text;
}

// Numbers temporary files of this process; unique together with the pid.
std::uint64_t nextTempNumber() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool folderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool nameTaken(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::int64_t fileSizeBytes(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool createFolders(const std::string& path) {
    std::error_code error;
    return createFolders(path, error);
}

bool createFolders(const std::string& path, std::error_code& error) {
    error.clear();
    if (path.empty()) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
        return false;
    }
    // Another thread or process may make the same folders at the same time:
    // a folder that appears meanwhile is no failure.
    std::filesystem::create_directories(std::filesystem::path(path), error);
    if (folderExists(path)) {
        error.clear();
        return true;
    }
    if (!error) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    return false;
}

std::optional<FileTime> modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileTime{static_cast<std::int64_t>(st.st_mtim.tv_sec),
                    static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

void setModificationTime(const std::string& path, const FileTime& time) {
    if (time.nanoseconds < 0 || time.nanoseconds > 999'999'999) {
        throw errnoError(EINVAL, "cannot set the modification time of " + path);
    }
    timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = static_cast<time_t>(time.seconds);
    times[1].tv_nsec = static_cast<long>(time.nanoseconds);
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        throw errnoError(errno, "cannot set the modification time of " + path);
    }
}

bool isFolderWritable(const std::string& folder) {
    const std::string probe = withTrailingSlash(folder) + "chk.tmp";
    int opened;
    do {
        opened = ::open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (opened < 0 && errno == EINTR);
    UniqueFd fd(opened);
    if (!fd) {
        return false;
    }
    fd.reset();
    ::unlink(probe.c_str());
    return true;
}

std::string withTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    return path;
}

std::string extractFileExt(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    return path.substr(dot);
}

std::string extractFileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string extractFilePath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string stripFileExt(const std::string& path) {
    return path.substr(0, path.size() - extractFileExt(path).size());
}

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// TempFile

TempFile::TempFile(const std::string& folder, const std::string& stem, const std::string& suffix) {
    std::string safeStem = stem;
    for (char& c : safeStem) {
        if (c == '/') {
            c = '_';
        }
    }
    const std::string dir = withTrailingSlash(folder);
    const std::string pid = std::to_string(::getpid());
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Normally pid and counter make the name unique; a file left over by an
        // earlier process with the same pid gets a random part added.
        std::string tag = pid + "-" + std::to_string(nextTempNumber());
        if (attempt > 0) {
            tag += "-" + std::to_string(random());
        }
        tag += "-" + hostTag();
        const std::string tail = "." + tag + std::string(kTempMarker) + suffix;
        const std::size_t room =
            kMaxNameBytes > tail.size() + 1 ? kMaxNameBytes - tail.size() - 1 : 0;
        const std::string name = "." + cutUtf8(safeStem, room) + tail;
        std::string candidate = dir + name;
        int opened;
        do {
            opened =
                ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        } while (opened < 0 && errno == EINTR);
        if (opened >= 0) {
            // Nothing from here on throws: the file is ours as soon as it exists.
            fd_.reset(opened);
            path_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) {
            throw errnoError(errno, "cannot create a temporary file in " + dir);
        }
    }
    throw errnoError(EEXIST, "cannot create a temporary file in " + dir);
}

TempFile::~TempFile() {
    fd_.reset();
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), fd_(std::move(other.fd_)) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        fd_.reset();
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
        path_ = std::exchange(other.path_, {});
        fd_ = std::move(other.fd_);
    }
    return *this;
}

void TempFile::close() {
    if (!fd_) {
        return;
    }
    // The descriptor is gone after close() whatever it returns; EINTR is no error.
    if (fd_.close() != 0 && errno != EINTR) {
        throw errnoError(errno, "cannot write " + path_);
    }
}

void TempFile::remove() {
    fd_.reset();
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
    }
}

std::string TempFile::publishUnique(const std::string& candidate) {
    if (path_.empty()) {
        throw errnoError(ENOENT, "no temporary file to publish as " + candidate);
    }
    std::string claimed = claimUniqueName(path_, candidate, ClaimMethod::kRenameNoReplace);
    path_.clear();
    return claimed;
}

bool TempFile::publishExact(const std::string& target) {
    if (path_.empty()) {
        throw errnoError(ENOENT, "no temporary file to publish as " + target);
    }
    if (!claimExactName(path_, target, ClaimMethod::kRenameNoReplace)) {
        return false;
    }
    path_.clear();
    return true;
}

void TempFile::replace(const std::string& target) {
    if (path_.empty()) {
        throw errnoError(ENOENT, "no temporary file to put in place of " + target);
    }
    if (::rename(path_.c_str(), target.c_str()) != 0) {
        throw errnoError(errno, "cannot replace " + target);
    }
    path_.clear();
}

std::optional<std::string> tempFileTarget(const std::string& path) {
    // "." + stem + "." + tag + marker + suffix; the stem may hold dots, even the marker.
    const std::string name = extractFileName(path);
    const std::size_t marker = name.rfind(kTempMarker);
    if (name.empty() || name.front() != '.' || marker == std::string::npos || marker == 0) {
        return std::nullopt;
    }
    const std::size_t tagDot = name.rfind('.', marker - 1);
    if (tagDot == std::string::npos || tagDot == 0 ||
        !isTempTag(std::string_view(name).substr(tagDot + 1, marker - tagDot - 1))) {
        return std::nullopt;
    }
    return name.substr(1, tagDot - 1) + name.substr(marker + kTempMarker.size());
}

namespace {

// The tag of a TempFile name.
std::optional<TempTag> tempFileTag(const std::string& name) {
    if (!tempFileTarget(name)) {
        return std::nullopt;
    }
    const std::size_t marker = name.rfind(kTempMarker);
    const std::size_t tagDot = name.rfind('.', marker - 1);
    return parseTempTag(std::string_view(name).substr(tagDot + 1, marker - tagDot - 1));
}

// The whole of a small /proc file, or nothing.
std::optional<std::string> readProcFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0 || text.size() > (1u << 20)) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// When the process started, in seconds since the epoch; nothing when unknown.
std::optional<double> processStartTime(pid_t pid) {
    const std::optional<std::string> stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    const std::optional<std::string> system = readProcFile("/proc/stat");
    if (!stat || !system) {
        return std::nullopt;
    }
    // The fields after the name (which may hold anything) start at its ')'.
    const std::size_t close = stat->rfind(')');
    const std::size_t btimeAt = system->find("\nbtime ");
    if (close == std::string::npos || btimeAt == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat->substr(close + 1));
    std::string field;
    // Field 22, the start time in clock ticks after boot, follows the 19 fields
    // from the state (field 3) on.
    for (int i = 0; i < 19 && (fields >> field); ++i) {
    }
    unsigned long long ticks = 0;
    if (!(fields >> ticks)) {
        return std::nullopt;
    }
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    const double bootTime = std::strtod(system->c_str() + btimeAt + 7, nullptr);
    return perSecond > 0 ? bootTime + static_cast<double>(ticks) / static_cast<double>(perSecond)
                         : std::optional<double>();
}

// Whether the process `pid` may still be the run that wrote a temporary file
// last changed at `writtenAt` (seconds since the epoch). Whatever cannot be
// told counts as a live run: its file is left alone.
bool mayBeLiveRun(pid_t pid, double writtenAt) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) {
        return false;
    }
    const std::string proc = "/proc/" + std::to_string(pid);
    if (const std::optional<std::string> stat = readProcFile(proc + "/stat")) {
        const std::size_t close = stat->rfind(')');
        if (close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] == 'Z') {
            return false;  // ended, not yet reaped
        }
    }
    // Started after the file was last written: not the process that wrote it.
    // (A second of slack for the clocks' different grains.)
    if (const std::optional<double> started = processStartTime(pid)) {
        if (*started > writtenAt + 1.0) {
            return false;
        }
    }
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink(proc + "/exe", error);
    if (error) {
        return true;  // not ours to look into: maybe a run of another kind
    }
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    // The same program, or another installation or build of it (its own folder).
    if (!error && exe.filename() == self.filename()) {
        return true;
    }
    return exe.filename().string().rfind("imbrix", 0) == 0;
}

}  // namespace

namespace {

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::size_t removeStaleTempFiles(const std::string& folder, std::chrono::seconds otherMachineAge) {
    const std::string dir = withTrailingSlash(folder);
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
        return 0;
    }
    std::vector<std::string> names;
    {
        const int listFd = ::dup(dirFd.get());
        DIR* stream = listFd < 0 ? nullptr : ::fdopendir(listFd);
        if (stream == nullptr) {
            if (listFd >= 0) {
                ::close(listFd);
            }
            return 0;
        }
        while (const dirent* entry = ::readdir(stream)) {
            if (entry->d_name[0] == '.' && tempFileTag(entry->d_name)) {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(stream);
    }
    std::size_t removed = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            continue;
        }
        // The status change time: a run may set a file's modification time
        // (to its source's), never this one.
        const double changedAt =
            static_cast<double>(st.st_ctim.tv_sec) + static_cast<double>(st.st_ctim.tv_nsec) / 1e9;
        const TempTag tag = *tempFileTag(name);
        const bool stale =
            !tag.host.empty() && tag.host != hostTag()
                // Another machine's: its process cannot be asked after, so the
                // file goes when it has not changed for longer than any run
                // keeps a temporary file.
                ? secondsNow() - changedAt >= static_cast<double>(otherMachineAge.count())
                : !mayBeLiveRun(tag.pid, changedAt);
        if (stale && ::unlinkat(dirFd.get(), name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

std::size_t removeStaleWorkFolders(const std::string& folder, std::string_view prefix) {
    std::error_code error;
    std::vector<std::pair<std::filesystem::path, pid_t>> candidates;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::size_t dash = name.find('-', prefix.size());
        const std::string digits = name.substr(prefix.size(), dash - prefix.size());
        if (dash == std::string::npos || digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        candidates.emplace_back(it->path(), static_cast<pid_t>(std::stol(digits)));
    }
    std::size_t removed = 0;
    for (const auto& [path, pid] : candidates) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
            continue;
        }
        const double writtenAt =
            static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
        if (!mayBeLiveRun(pid, writtenAt)) {
            std::filesystem::remove_all(path, error);
            removed += error ? 0 : 1;
        }
    }
    return removed;
}

void replaceFileContents(const std::string& path, std::string_view text, unsigned newFileMode) {
    const std::string folder = extractFilePath(path);
    TempFile temp(folder.empty() ? std::string(".") : folder, extractFileName(path), "");
    struct stat existing {};
    const bool replacing = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    if (::fchmod(temp.fd(), replacing ? existing.st_mode & 07777 : newFileMode) != 0) {
        throw errnoError(errno, "cannot write " + path);
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(temp.fd(), text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw errnoError(errno, "cannot write " + path);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(temp.fd()) != 0) {
        throw errnoError(errno, "cannot write " + path);
    }
    temp.close();
    temp.replace(path);
}

// ---------------------------------------------------------------------------
// Unique names

std::string numberedName(const std::string& candidate, unsigned n) {
    if (n < 2) {
        return candidate;
    }
    const std::string folder = extractFilePath(candidate);
    const std::string name = extractFileName(candidate);
    const std::string ext = extractFileExt(name);
    return folder + name.substr(0, name.size() - ext.size()) + " (" + std::to_string(n) + ")" + ext;
}

namespace {

enum class Attempt { kClaimed, kTaken, kUnsupported };

Attempt tryRenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return Attempt::kClaimed;
    }
    const int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) {
        return Attempt::kTaken;
    }
    if (err == EINVAL || err == ENOSYS) {
        return Attempt::kUnsupported;
    }
    throw errnoError(err, "cannot create " + to);
}

// True when `a` and `b` are names of one file.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

Attempt tryLink(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return Attempt::kClaimed;
    }
    const int err = errno;
    // SFTP file systems (sshfs) answer every refusal of their server, a taken
    // name too, with EPERM; so do file systems without hard links, where the
    // name is then free.
    if (err == EEXIST || (err == EPERM && nameTaken(to))) {
        // On NFS a link whose reply was lost is sent again and answered
        // "exists": the name is ours when it leads to our file (the rule of
        // open(2) for lock files on NFS).
        if (sameFile(from, to)) {
            ::unlink(from.c_str());
            return Attempt::kClaimed;
        }
        return Attempt::kTaken;
    }
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK) {
        return Attempt::kUnsupported;
    }
    throw errnoError(err, "cannot create " + to);
}

// Reserves `to` with an empty file of our own, then moves the finished file over
// that placeholder. Only ever replaces the placeholder just created.
Attempt tryPlaceholder(const std::string& from, const std::string& to) {
    int opened;
    do {
        opened = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    } while (opened < 0 && errno == EINTR);
    UniqueFd placeholder(opened);
    if (!placeholder) {
        const int err = errno;
        // A folder of that name answers EEXIST too; EISDIR covers a trailing
        // '/'; an SFTP file system answers EPERM (see tryLink).
        if (err == EEXIST || err == EISDIR || (err == EPERM && nameTaken(to))) {
            return Attempt::kTaken;
        }
        throw errnoError(err, "cannot create " + to);
    }
    placeholder.reset();
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        ::unlink(to.c_str());
        throw errnoError(err, "cannot create " + to);
    }
    return Attempt::kClaimed;
}

}  // namespace

namespace {

// One name, by `method` or, where the file system lacks it, the later ones;
// `method` is left at the one that answered.
bool claimName(const std::string& from, const std::string& target, ClaimMethod& method) {
    for (;;) {
        Attempt result = Attempt::kUnsupported;
        switch (method) {
            case ClaimMethod::kRenameNoReplace:
                result = tryRenameNoReplace(from, target);
                break;
            case ClaimMethod::kLink:
                result = tryLink(from, target);
                break;
            case ClaimMethod::kPlaceholder:
                result = tryPlaceholder(from, target);
                break;
        }
        if (result != Attempt::kUnsupported) {
            return result == Attempt::kClaimed;
        }
        // This file system lacks the method: try the next one on the same name.
        method = method == ClaimMethod::kRenameNoReplace ? ClaimMethod::kLink
                                                         : ClaimMethod::kPlaceholder;
    }
}

}  // namespace

std::string claimUniqueName(const std::string& from, const std::string& candidate,
                            ClaimMethod method) {
    for (unsigned n = 1;; ++n) {
        const std::string target = numberedName(candidate, n);
        if (claimName(from, target, method)) {
            return target;
        }
    }
}

bool claimExactName(const std::string& from, const std::string& target, ClaimMethod method) {
    return claimName(from, target, method);
}

std::string uniqueFileName(const std::string& candidate) {
    for (unsigned n = 1;; ++n) {
        const std::string name = numberedName(candidate, n);
        if (!fileExists(name)) {
            return name;
        }
    }
}

}  // namespace imbrix::platform
