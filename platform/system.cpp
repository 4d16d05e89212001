// Imbrix platform layer: the running program, its data folder, the clock.
#include "platform/system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
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
    if (isFolderWritable(programFolder)) {
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

}  // namespace imbrix::platform
