// Imbrix platform layer: starting a program and collecting what it prints.
//
// posix_spawn rather than fork: it is safe to call while other threads run, and
// glibc reports a failed exec (such as a missing program) as its return value.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/uniquefd.h"

extern char** environ;

namespace imbrix::platform {

namespace {

using Fd = UniqueFd;

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

using Clock = std::chrono::steady_clock;

// True when `pid` has ended; it is left unreaped, so that its process id, and
// with it its process group, cannot be taken by another program yet.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
        if (errno != EINTR) {
            return true;
        }
    }
    return info.si_pid == pid;
}

// Asks the program and its group to end, waits the grace period, then kills
// the whole group. Returns with the program ended but not reaped.
void endGroup(pid_t pid, std::chrono::milliseconds grace) {
    ::kill(-pid, SIGTERM);
    const Clock::time_point until = Clock::now() + grace;
    while (!hasEnded(pid) && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid, SIGKILL);
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
                         const std::function<void(std::string_view)>& onOutput,
                         const ProcessLimits& limits) {
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
        // A group of its own (led by the child), so that ending it ends the
        // programs it starts too.
        ::posix_spawnattr_setpgroup(&setup.attr, 0);
        rc = ::posix_spawnattr_setflags(
            &setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
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

    const Clock::time_point started = Clock::now();
    const bool hasDeadline = limits.deadline.count() > 0;
    try {
        std::array<char, 65536> buffer;
        bool pipeOpen = true;
        for (;;) {
            if (hasDeadline && Clock::now() - started >= limits.deadline) {
                result.timedOut = true;
                break;
            }
            if (limits.stop.stop_requested()) {
                result.stopped = true;
                break;
            }
            if (!pipeOpen || hasEnded(pid)) {
                // What is still in the pipe is read below; programs the child
                // left running may hold it open, so it is not waited for.
                break;
            }
            pollfd fd{readEnd.get(), POLLIN, 0};
            const int ready = ::poll(&fd, 1, 50);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (ready <= 0) {
                continue;
            }
            const ssize_t n = ::read(readEnd.get(), buffer.data(), buffer.size());
            if (n > 0) {
                if (onOutput) {
                    onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
                }
            } else if (n == 0 || errno != EINTR) {
                pipeOpen = false;
            }
        }
        if (result.timedOut || result.stopped) {
            endGroup(pid, limits.grace);
        } else if (pipeOpen) {
            // The child has ended: take what it wrote last, without blocking.
            ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
            for (ssize_t n; (n = ::read(readEnd.get(), buffer.data(), buffer.size())) > 0;) {
                if (onOutput) {
                    onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
                }
            }
        }
    } catch (...) {
        // The caller gave up on this program: end it and never leave a zombie.
        readEnd.reset();
        ::kill(-pid, SIGKILL);
        waitForExit(pid);
        throw;
    }
    readEnd.reset();
    result.exitCode = waitForExit(pid);
    return result;
}

}  // namespace imbrix::platform
