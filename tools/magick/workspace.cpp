#include "tools/magick/workspace.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/files.h"
#include "platform/uniquefd.h"

namespace imbrix::magick {

namespace {

// A signal handler can only reach process-wide state. These are written with the
// termination signals blocked, and read only by the handler.
char g_workspacePath[PATH_MAX];
int g_workspaceFd = -1;

constexpr std::array<int, 4> kTerminationSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Blocks the termination signals for its lifetime.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kTerminationSignals) {
            sigaddset(&set, sig);
        }
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalBlock() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t old_;
};

// Removes the files of the folder open as `dirFd`, with system calls only (safe in
// a signal handler). The helper tools create plain files there, no folders.
void removeFolderContents(int dirFd) {
    struct Entry {
        std::uint64_t ino;
        std::int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
    };
    alignas(8) char buffer[4096];
    for (int pass = 0; pass < 16; ++pass) {
        bool removed = false;
        ::lseek(dirFd, 0, SEEK_SET);
        for (;;) {
            const long n = ::syscall(SYS_getdents64, dirFd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            for (long pos = 0; pos < n;) {
                const auto* entry = reinterpret_cast<const Entry*>(buffer + pos);
                const char* name = buffer + pos + offsetof(Entry, name);
                const bool dot =
                    name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
                if (!dot && ::unlinkat(dirFd, name, 0) == 0) {
                    removed = true;
                }
                pos += entry->reclen;
            }
        }
        if (!removed) {
            break;
        }
    }
}

void cleanupAndReraise(int sig) {
    const int savedErrno = errno;
    if (g_workspaceFd >= 0) {
        removeFolderContents(g_workspaceFd);
        ::rmdir(g_workspacePath);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    errno = savedErrno;
}

std::string errorText(int err) {
    return std::system_category().message(err);
}

// Copies everything from `from` to `to`. Empty string on success, else the reason.
std::string copyContents(int from, int to) {
    std::array<char, 1 << 16> buffer;
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n == 0) {
            return {};
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errorText(errno);
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errorText(errno);
            }
            done += w;
        }
    }
}

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

Workspace::Workspace() {
    const char* base = std::getenv("TMPDIR");
    std::string folder = (base && *base) ? base : "/tmp";
    // Named after this process, so that a later call can tell the folders that
    // no front will ever remove (their process was killed) and remove them.
    platform::removeStaleWorkFolders(folder, kWorkspacePrefix);
    std::string pattern = platform::withTrailingSlash(folder) + std::string(kWorkspacePrefix) +
                          std::to_string(::getpid()) + "-XXXXXX";
    if (pattern.size() >= PATH_MAX) {
        throw std::runtime_error("cannot create a temporary folder in " + folder +
                                 ": the path is too long");
    }
    SignalBlock block;
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder in " + folder + ": " +
                                 errorText(errno));
    }
    path_ = pattern;
    std::memcpy(g_workspacePath, path_.c_str(), path_.size() + 1);
    g_workspaceFd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    installCleanupOnSignals();
}

Workspace::~Workspace() {
    SignalBlock block;
    if (g_workspaceFd >= 0) {
        ::close(g_workspaceFd);
        g_workspaceFd = -1;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void installCleanupOnSignals() {
    struct sigaction action {};
    action.sa_handler = cleanupAndReraise;
    sigemptyset(&action.sa_mask);
    for (int sig : kTerminationSignals) {
        sigaddset(&action.sa_mask, sig);
    }
    for (int sig : kTerminationSignals) {
        struct sigaction old {};
        // A signal the caller chose to ignore stays ignored.
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(sig, &action, nullptr);
    }
}

std::string publish(const std::string& finished, const std::string& destination) {
    struct stat st {};
    if (::lstat(destination.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            return "a folder or other non-file of that name exists";
        }
        if (st.st_size != 0) {
            return "a file of that name exists already and is not empty";
        }
    } else if (errno != ENOENT) {
        return errorText(errno);
    }

    const platform::UniqueFd source(::open(finished.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source) {
        return errorText(errno);
    }
    // On disk before it gets its final name, so that a crash cannot leave a
    // renamed but empty file.
    if (::fsync(source.get()) != 0 && errno != EINVAL) {
        return errorText(errno);
    }
    if (::rename(finished.c_str(), destination.c_str()) == 0) {
        return {};
    }
    if (errno != EXDEV) {
        return errorText(errno);
    }

    // Another file system: copy beside the destination, then rename.
    const std::string folder = platform::extractFilePath(destination);
    std::string pattern = folder + "." + platform::extractFileName(destination) + ".XXXXXX";
    if (platform::extractFileName(pattern).size() > NAME_MAX) {
        pattern = folder + ".magick-output.XXXXXX";
    }
    SignalBlock block;  // a signal now waits until the copy is named or gone
    platform::UniqueFd target(::mkstemp(pattern.data()));
    if (!target) {
        return errorText(errno);
    }
    std::string problem = copyContents(source.get(), target.get());
    if (problem.empty() && ::fchmod(target.get(), 0666 & ~currentUmask()) != 0) {
        problem = errorText(errno);
    }
    if (problem.empty() && ::fsync(target.get()) != 0) {
        problem = errorText(errno);
    }
    if (problem.empty() && target.close() != 0) {
        problem = errorText(errno);
    }
    if (problem.empty() && ::rename(pattern.c_str(), destination.c_str()) != 0) {
        problem = errorText(errno);
    }
    if (!problem.empty()) {
        ::unlink(pattern.c_str());
    }
    return problem;
}

}  // namespace imbrix::magick
