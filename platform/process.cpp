// Imbrix platform layer: starting a program and collecting what it prints.
//
// posix_spawn rather than fork: it is safe to call while other threads run, and
// glibc reports a failed exec (such as a missing program) as its return value.
//
// The child's end is watched through a pidfd (a descriptor that becomes readable
// when the process ends), so the wait never depends on the output pipe reaching
// its end: a program the child started may hold the pipe open for long after.
// Where the kernel has no pidfd, the same loop looks every 50 ms instead.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include "platform/uniquefd.h"

extern char** environ;

namespace imbrix::platform {

namespace {

using Clock = std::chrono::steady_clock;

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

// Whether `pid` has ended, leaving it unreaped: while it is a zombie its id
// (which is also its group's id) cannot be given to another process.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
        if (errno != EINTR) {
            return true;  // nothing left to wait for
        }
    }
    return info.si_pid == pid;
}

// Moves `fd` above the standard descriptors, so that dup2 onto 0, 1 and 2 in
// the child always makes fresh, inheritable copies.
bool aboveStandard(UniqueFd& fd, int& err) {
    if (fd.get() > STDERR_FILENO) {
        return true;
    }
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        err = errno;
        return false;
    }
    fd.reset(moved);
    return true;
}

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int& err) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        err = errno;
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    // Only our end is non-blocking: the child's writes block as usual.
    if (::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK) != 0) {
        err = errno;
        return false;
    }
    return aboveStandard(readEnd, err) && aboveStandard(writeEnd, err);
}

// The child's standard input when bytes are fed to it: a socket rather than a
// pipe, so that writing to a child that has stopped reading fails with EPIPE
// (MSG_NOSIGNAL) instead of raising SIGPIPE in this process.
bool makeInputSocket(UniqueFd& ours, UniqueFd& childs, int& err) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        err = errno;
        return false;
    }
    ours.reset(fds[0]);
    childs.reset(fds[1]);
    if (::shutdown(childs.get(), SHUT_WR) != 0 || ::shutdown(ours.get(), SHUT_RD) != 0) {
        err = errno;
        return false;
    }
    return aboveStandard(ours, err) && aboveStandard(childs, err);
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

int spawnSettings(SpawnSetup& setup, int outputFd, int inputFd, const std::string& workingFolder,
                  bool ownGroup) {
    int rc = inputFd >= 0
                 ? ::posix_spawn_file_actions_adddup2(&setup.actions, inputFd, STDIN_FILENO)
                 : ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                                      O_RDONLY, 0);
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&setup.actions, outputFd, STDOUT_FILENO);
    }
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&setup.actions, outputFd, STDERR_FILENO);
    }
    if (rc == 0) {
        // Descriptors another library opened without close-on-exec must not
        // reach the child either.
        rc = ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    }
    if (rc == 0 && !workingFolder.empty()) {
        rc = ::posix_spawn_file_actions_addchdir_np(&setup.actions, workingFolder.c_str());
    }
    if (rc != 0) {
        return rc;
    }
    // The child starts with no blocked signals and default handling of the
    // signals a caller may have changed (a broken pipe must end it); when asked,
    // in a new process group whose id is its own pid.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGHUP}) {
        sigaddset(&defaults, sig);
    }
    ::posix_spawnattr_setsigmask(&setup.attr, &none);
    ::posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownGroup) {
        ::posix_spawnattr_setpgroup(&setup.attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    return ::posix_spawnattr_setflags(&setup.attr, flags);
}

// Watches one started child until it ends: feeds its input, hands on its
// output, and ends its group when the deadline passes or a stop is requested.
class Supervisor {
public:
    Supervisor(pid_t pid, bool ownGroup, UniqueFd output, UniqueFd input,
               std::span<const std::uint8_t> inputBytes,
               const std::function<void(std::string_view)>& onOutput, const ProcessLimits& limits)
        : pid_(pid),
          // Signals go to the child's group when it has one of its own, never
          // to ours.
          target_(ownGroup ? -pid : pid),
          output_(std::move(output)),
          input_(std::move(input)),
          inputBytes_(inputBytes),
          onOutput_(onOutput),
          limits_(limits),
          pidFd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
          wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (limits_.deadline.count() > 0) {
            deadlineAt_ = Clock::now() + limits_.deadline;
        }
    }

    // Returns once the child has ended; it is left unreaped.
    ProcessEnd watch() {
        // A stop request from another thread wakes the poll below at once.
        const int wakeFd = wake_.get();
        std::stop_callback onStop(limits_.stop, [wakeFd] {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
        });
        while (!hasEnded(pid_)) {
            const Clock::time_point now = Clock::now();
            if (end_ == ProcessEnd::Finished) {
                if (limits_.stop.stop_requested()) {
                    terminate(ProcessEnd::Stopped, now);
                } else if (now >= deadlineAt_) {
                    terminate(ProcessEnd::TimedOut, now);
                }
            } else if (!killed_ && now >= killAt_) {
                ::kill(target_, SIGKILL);
                killed_ = true;
            }
            waitForEvents(now);
        }
        drainOutput();
        return end_;
    }

    // Ends whatever is left of the child's group (the child itself still
    // unreaped, so the group's id is still ours to use).
    void killGroup() { ::kill(target_, SIGKILL); }

private:
    void terminate(ProcessEnd why, Clock::time_point now) {
        end_ = why;
        ::kill(target_, SIGTERM);
        killAt_ = now + limits_.grace;
        input_.reset();
    }

    // The time until the next thing this loop must do by itself.
    int pollTimeout(Clock::time_point now) const {
        Clock::time_point next = Clock::time_point::max();
        if (end_ == ProcessEnd::Finished) {
            next = deadlineAt_;
        } else if (!killed_) {
            next = killAt_;
        }
        auto wait = next == Clock::time_point::max()
                        ? std::chrono::milliseconds::max()
                        : std::chrono::ceil<std::chrono::milliseconds>(next - now);
        if (!pidFd_ || !wake_) {
            wait = std::min(wait, std::chrono::milliseconds(50));
        }
        if (wait == std::chrono::milliseconds::max()) {
            return -1;
        }
        return static_cast<int>(
            std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 60'000));
    }

    void waitForEvents(Clock::time_point now) {
        std::array<pollfd, 4> fds{};
        nfds_t count = 0;
        auto add = [&](const UniqueFd& fd, short events) {
            if (fd) {
                fds[count++] = pollfd{fd.get(), events, 0};
            }
        };
        add(output_, POLLIN);
        add(input_, POLLOUT);
        add(pidFd_, POLLIN);
        add(wake_, POLLIN);
        if (::poll(fds.data(), count, pollTimeout(now)) <= 0) {
            return;  // a timeout or an interruption: the loop looks again
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (output_ && fds[i].fd == output_.get()) {
                readOutput();
            } else if (input_ && fds[i].fd == input_.get()) {
                writeInput();
            } else if (wake_ && fds[i].fd == wake_.get()) {
                std::uint64_t requests = 0;
                [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &requests, sizeof requests);
            }
        }
    }

    void readOutput() {
        const ssize_t n = ::read(output_.get(), buffer_.data(), buffer_.size());
        if (n > 0) {
            if (onOutput_) {
                onOutput_(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
            }
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            output_.reset();  // every writer has closed it, or it failed
        }
    }

    void writeInput() {
        const std::span<const std::uint8_t> rest = inputBytes_.subspan(inputSent_);
        if (!rest.empty()) {
            const ssize_t n =
                ::send(input_.get(), rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                inputSent_ += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                input_.reset();  // the child stopped reading: the rest is not wanted
                return;
            }
        }
        if (inputSent_ == inputBytes_.size()) {
            input_.reset();  // the end of its input
        }
    }

    // What the child wrote before it ended is in the pipe; a program it started
    // may go on writing, so this takes what is there and no more than a few
    // buffers' worth.
    void drainOutput() {
        for (int reads = 0; output_ && reads < 64; ++reads) {
            pollfd pfd{output_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 0) <= 0) {
                break;  // nothing more there now
            }
            readOutput();
        }
    }

    pid_t pid_;
    pid_t target_;
    UniqueFd output_;
    UniqueFd input_;
    std::span<const std::uint8_t> inputBytes_;
    std::size_t inputSent_ = 0;
    const std::function<void(std::string_view)>& onOutput_;
    const ProcessLimits& limits_;
    UniqueFd pidFd_;
    UniqueFd wake_;
    Clock::time_point deadlineAt_ = Clock::time_point::max();
    Clock::time_point killAt_ = Clock::time_point::max();
    ProcessEnd end_ = ProcessEnd::Finished;
    bool killed_ = false;
    std::array<char, 65536> buffer_;
};

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workingFolder,
                         const std::function<void(std::string_view)>& onOutput,
                         const ProcessLimits& limits,
                         std::optional<std::span<const std::uint8_t>> input) {
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

    UniqueFd readEnd, writeEnd, inputOurs, inputChilds;
    int err = 0;
    if (!makePipe(readEnd, writeEnd, err)) {
        return startFailed(err);
    }
    if (input && !makeInputSocket(inputOurs, inputChilds, err)) {
        return startFailed(err);
    }

    const bool ownGroup = limits.deadline.count() > 0 || limits.stop.stop_possible();
    SpawnSetup setup;
    int rc = spawnSettings(setup, writeEnd.get(), inputChilds.get(), workingFolder, ownGroup);
    if (rc != 0) {
        return startFailed(rc);
    }

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    // Our environment, with the limits' entries in place of any of the same name.
    std::vector<char*> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(
            limits.environment.begin(), limits.environment.end(),
            [&](const std::string& e) { return e.rfind(std::string(name) + "=", 0) == 0; });
        if (!replaced) {
            env.push_back(*entry);
        }
    }
    for (const std::string& entry : limits.environment) {
        env.push_back(const_cast<char*>(entry.c_str()));
    }
    env.push_back(nullptr);

    pid_t pid = -1;
    rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, args.data(), env.data());
    if (rc != 0) {
        return startFailed(rc);
    }
    result.started = true;
    // Only the child (and what it starts) holds these ends now.
    writeEnd.reset();
    inputChilds.reset();

    Supervisor supervisor(pid, ownGroup, std::move(readEnd), std::move(inputOurs),
                          input.value_or(std::span<const std::uint8_t>()), onOutput, limits);
    try {
        result.end = supervisor.watch();
    } catch (...) {
        // The caller gave up on this program: end it (with its group when it
        // has one), never leave a zombie.
        supervisor.killGroup();
        waitForExit(pid);
        throw;
    }
    if (result.end != ProcessEnd::Finished) {
        // Programs of the group that outlived the child after SIGTERM.
        supervisor.killGroup();
    }
    result.exitCode = waitForExit(pid);
    return result;
}

}  // namespace imbrix::platform
