// Imbrix platform layer: starting a program and collecting what it prints.
//
// posix_spawn rather than fork: it is safe to call while other threads run, and
// glibc reports a failed exec (such as a missing program) as its return value.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

extern char** environ;

namespace imbrix::platform {

namespace {

// Closes a descriptor once, on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

std::string errorText(int err) {
    return std::system_category().message(err);
}

// Waits for `pid` and turns its status into the exit code of ProcessResult.
int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// A pipe whose ends are both above the standard descriptors, so that dup2 onto
// 1 and 2 in the child always makes fresh, inheritable copies.
bool makePipe(Fd& readEnd, Fd& writeEnd, int& err) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        err = errno;
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i] <= STDERR_FILENO) {
            const int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            if (moved < 0) {
                err = errno;
                ::close(fds[0]);
                ::close(fds[1]);
                return false;
            }
            ::close(fds[i]);
            fds[i] = moved;
        }
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workingFolder,
                         const std::function<void(std::string_view)>& onOutput) {
    ProcessResult result;
    if (argv.empty() || argv[0].empty()) {
        result.startError = "cannot start a program without a name";
        return result;
    }
    const std::string& program = argv[0];
    auto startFailed = [&](int err) {
        result.startError = "cannot start " + program + ": " + errorText(err);
        return result;
    };

    Fd readEnd, writeEnd;
    int err = 0;
    if (!makePipe(readEnd, writeEnd, err)) {
        return startFailed(err);
    }

    SpawnSetup setup;
    int rc =
        ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
    }
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO);
    }
    if (rc == 0) {
        // Descriptors another library opened without close-on-exec must not
        // reach the child either.
        rc = ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    }
    if (rc == 0 && !workingFolder.empty()) {
        rc = ::posix_spawn_file_actions_addchdir_np(&setup.actions, workingFolder.c_str());
    }
    if (rc == 0) {
        // The child starts with no blocked signals and default handling of the
        // signals a caller may have changed (a broken pipe must end it).
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGHUP}) {
            sigaddset(&defaults, sig);
        }
        ::posix_spawnattr_setsigmask(&setup.attr, &none);
        ::posix_spawnattr_setsigdefault(&setup.attr, &defaults);
        rc =
            ::posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (rc != 0) {
        return startFailed(rc);
    }

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    pid_t pid = -1;
    rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, args.data(), environ);
    if (rc != 0) {
        return startFailed(rc);
    }
    result.started = true;
    // Only the child holds the write end now, so the read ends when it exits
    // (or when its own children that inherited the output have exited).
    writeEnd.reset();

    try {
        std::array<char, 65536> buffer;
        for (;;) {
            const ssize_t n = ::read(readEnd.get(), buffer.data(), buffer.size());
            if (n > 0) {
                if (onOutput) {
                    onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
                }
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
    } catch (...) {
        // The caller gave up on this program: end it and never leave a zombie.
        readEnd.reset();
        ::kill(pid, SIGKILL);
        waitForExit(pid);
        throw;
    }
    readEnd.reset();
    result.exitCode = waitForExit(pid);
    return result;
}

}  // namespace imbrix::platform
