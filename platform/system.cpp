// Imbrix platform layer: the running program, its data folder, the clock.
#include "platform/system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "platform/files.h"

namespace imbrix::platform {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::string programPath() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string programFolder() {
    return extractFilePath(programPath());
}

std::string userConfigFolder() {
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base-directory rules say.
    const std::string xdg = environment("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg.front() == '/') {
        return withoutTrailingSlashes(xdg);
    }
    const std::string home = environment("HOME");
    if (home.empty()) {
        return {};
    }
    return withoutTrailingSlashes(home) + "/.config";
}

std::string chooseDataFolder(const std::string& programFolder, const std::string& company,
                             const std::string& product) {
    // A program installed under /usr (by a package, or `cmake --install` with its
    // default prefix) keeps nothing beside itself: the file system's hierarchy
    // has /usr read-only, and a package removed would leave root's settings there.
    const bool systemInstalled = withTrailingSlash(programFolder).starts_with("/usr/");
    if (!systemInstalled && isFolderWritable(programFolder)) {
        return withTrailingSlash(programFolder);
    }
    const std::string config = userConfigFolder();
    // The configuration folder itself is private to the user when we have to make it.
    if (!config.empty()) {
        ::mkdir(config.c_str(), 0700);
    }
    const std::string companyFolder = config + "/" + company;
    const std::string productFolder = companyFolder + "/" + product;
    ::mkdir(companyFolder.c_str(), 0755);
    ::mkdir(productFolder.c_str(), 0755);
    return productFolder + "/";
}

std::uint32_t tickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void holdNamedLock(const std::string& name) {
    std::string folder = environment("XDG_RUNTIME_DIR");
    if (folder.empty() || folder.front() != '/') {
        std::error_code ec;
        folder = std::filesystem::temp_directory_path(ec).string();
        if (ec || folder.empty()) {
            folder = "/tmp";
        }
    }
    const std::string path = withTrailingSlash(folder) + name;
    // O_NOFOLLOW: in a shared temp folder a planted link must not redirect us.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return;
    }
    // Whether we got the lock does not matter: a second instance runs normally.
    // The descriptor stays open, and the lock held, until the process ends.
    ::flock(fd, LOCK_EX | LOCK_NB);
}

std::uint64_t physicalMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::uint64_t processMemoryLimit() {
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit value {};
        if (::getrlimit(resource, &value) == 0 && value.rlim_cur != RLIM_INFINITY) {
            limit = std::min<std::uint64_t>(limit, value.rlim_cur);
        }
    }
    // The memory cgroup: v2's memory.max ("max" or bytes), v1's memory.limit_in_bytes
    // (under the group's path, or at the root as a container sees its own group).
    const auto lower = [&limit](const std::string& file) {
        std::ifstream in(file);
        std::uint64_t bytes = 0;
        if (in >> bytes) {
            limit = std::min(limit, bytes);
        }
    };
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        if (line.rfind("0::", 0) == 0) {
            lower("/sys/fs/cgroup" + line.substr(3) + "/memory.max");
        } else if (const std::size_t at = line.find(":memory:"); at != std::string::npos) {
            lower("/sys/fs/cgroup/memory" + line.substr(at + 8) + "/memory.limit_in_bytes");
            lower("/sys/fs/cgroup/memory/memory.limit_in_bytes");
        }
    }
    return limit;
}

}  // namespace imbrix::platform
