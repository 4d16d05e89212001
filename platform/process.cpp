// Imbrix platform layer: starting a program and collecting what it prints.
//
// The child is started with fork and exec by hand rather than posix_spawn, which
// cannot make the child die with its parent (PR_SET_PDEATHSIG): between the two
// the child makes only async-signal-safe calls, everything else is prepared
// before the fork. A failed exec (such as a missing program) is reported back
// through a close-on-exec pipe.
//
// The child's end is watched through a pidfd (a descriptor that becomes readable
// when the process ends), so the wait never depends on the output pipe reaching
// its end: a program the child started may hold the pipe open for long after.
// Where the kernel has no pidfd, the same loop looks every 50 ms instead.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
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

// Signals that a caller may have set to be ignored and that must reach the
// child with their default action (a broken pipe must end it).
constexpr std::array<int, 6> kDefaultSignals{SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGHUP};

// Everything the child needs after the fork, prepared beforehand: between fork
// and exec the child may only make async-signal-safe calls (no allocation, no
// locks), since another thread may have held any lock at the moment of the fork.
struct ChildPlan {
    const char* program = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* workingFolder = nullptr;  // null: stay where the parent is
    int inputFd = -1;                     // -1: /dev/null
    int outputFd = -1;
    int errorReportFd = -1;      // close-on-exec: carries errno when the exec fails
    int goFd = -1;               // -1, or a pipe that brings one byte when the child may go on
    int goWriteFd = -1;          // the parent\'s end of it, closed in the child
    int descriptorLimit = 1024;  // where a kernel without close_range stops looking
    bool ownGroup = false;
    pid_t parent = 0;
};

[[noreturn]] void failInChild(const ChildPlan& plan, int err) noexcept {
    [[maybe_unused]] const ssize_t n = ::write(plan.errorReportFd, &err, sizeof err);
    ::_exit(127);
}

// The child's side, from the fork to the exec. Every signal is blocked on entry.
[[noreturn]] void runChild(const ChildPlan& plan) noexcept {
    // Handlers of the parent mean nothing here (and must not run on its copied
    // state): every caught signal, and each of kDefaultSignals, goes back to its
    // default action before the signals are let through again.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_DFL &&
            current.sa_handler != SIG_IGN) {
            ::sigaction(sig, &byDefault, nullptr);
        }
    }
    for (int sig : kDefaultSignals) {
        ::sigaction(sig, &byDefault, nullptr);
    }
    if (plan.ownGroup && ::setpgid(0, 0) != 0) {
        failInChild(plan, errno);
    }
    // The child dies with the thread that started it, however that thread's
    // process ends (SIGKILL included); the setting outlives the exec, so a
    // program started in turn by this one the same way dies with it, and so on
    // down the chain. Had the parent ended before this line, nobody would send
    // the signal any more: the child then ends by itself.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        failInChild(plan, errno);
    }
    if (::getppid() != plan.parent) {
        ::_exit(127);
    }
    if (plan.goFd >= 0) {
        // The parent sets up what must be in place before the program runs
        // (the guard of its group); without its byte, nothing runs.
        ::close(plan.goWriteFd);
        char go = 0;
        ssize_t n;
        do {
            n = ::read(plan.goFd, &go, 1);
        } while (n < 0 && errno == EINTR);
        if (n != 1) {
            ::_exit(127);
        }
    }
    if (plan.inputFd >= 0) {
        if (::dup2(plan.inputFd, STDIN_FILENO) < 0) {
            failInChild(plan, errno);
        }
    } else {
        const int null = ::open("/dev/null", O_RDONLY);
        if (null < 0) {
            failInChild(plan, errno);
        }
        if (null != STDIN_FILENO && (::dup2(null, STDIN_FILENO) < 0 || ::close(null) != 0)) {
            failInChild(plan, errno);
        }
    }
    if (::dup2(plan.outputFd, STDOUT_FILENO) < 0 || ::dup2(plan.outputFd, STDERR_FILENO) < 0) {
        failInChild(plan, errno);
    }
    // Descriptors another library opened without close-on-exec must not reach
    // the program either; marked rather than closed, so the error report stays
    // open until the exec.
    if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = STDERR_FILENO + 1; fd < plan.descriptorLimit; ++fd) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
                ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
            }
        }
    }
    if (plan.workingFolder && ::chdir(plan.workingFolder) != 0) {
        failInChild(plan, errno);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.program, plan.argv, plan.envp);
    failInChild(plan, errno);
}

// Forks and execs as `plan` says. With a group of its own, `beforeExec` runs in
// the parent between the fork and the exec, with the child's pid (its group's
// id), and returns 0 or an errno that fails the start. Returns the child's pid,
// or -1 with `err` set when it could not be started (the failed child already
// reaped).
pid_t startChild(ChildPlan plan, int& err, const std::function<int(pid_t)>& beforeExec) {
    UniqueFd reportRead, reportWrite, goRead, goWrite;
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            err = errno;
            return -1;
        }
        reportRead.reset(fds[0]);
        reportWrite.reset(fds[1]);
        if (plan.ownGroup) {
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                err = errno;
                return -1;
            }
            goRead.reset(fds[0]);
            goWrite.reset(fds[1]);
            plan.goFd = goRead.get();
            plan.goWriteFd = goWrite.get();
        }
    }
    plan.errorReportFd = reportWrite.get();
    plan.parent = ::getpid();

    // No handler of ours may run in the child before it has put them back.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    // _Fork: no fork handlers run, so nothing another library registered runs
    // in the child.
    const pid_t pid = ::_Fork();
    if (pid == 0) {
        runChild(plan);
    }
    const int forkErr = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        err = forkErr;
        return -1;
    }
    reportWrite.reset();
    goRead.reset();
    if (plan.ownGroup) {
        // The group exists from here on, whichever of the two calls comes first.
        ::setpgid(pid, pid);
        const int setupErr = beforeExec(pid);
        const char go = 1;
        if (setupErr != 0 || ::write(goWrite.get(), &go, 1) != 1) {
            goWrite.reset();  // the child ends without running anything
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            err = setupErr != 0 ? setupErr : EPIPE;
            return -1;
        }
        goWrite.reset();
    }
    int childErr = 0;
    ssize_t n;
    do {
        n = ::read(reportRead.get(), &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof childErr)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        err = childErr;
        return -1;
    }
    return pid;  // the report pipe closed at the exec: the program runs
}

// Ends a child's process group when this process goes, whichever way it goes.
//
// PR_SET_PDEATHSIG reaches the child only: what the child starts in turn by
// other means than runProcess (a shell's jobs, a library's delegates) would
// outlive a parent that was killed. So a small guard joins the child's group
// and waits on a pipe whose only writer is this process: the pipe ends when this
// process ends (SIGKILL included) or when runProcess lets the guard go, and the
// guard then sends SIGKILL to the whole group, itself included.
//
// The guard shares this process's memory (CLONE_VM) instead of copying it, so it
// costs a small stack and nothing more, and it makes system calls only. Every
// signal is blocked in it.
class GroupGuard {
public:
    GroupGuard() = default;
    ~GroupGuard() { release(); }
    GroupGuard(const GroupGuard&) = delete;
    GroupGuard& operator=(const GroupGuard&) = delete;

    /// Starts the guard of group `group`. Returns 0, or the errno of what failed.
    int start(pid_t group) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return errno;
        }
        UniqueFd readEnd(fds[0]);
        writeEnd_.reset(fds[1]);
        void* stack = ::mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (stack == MAP_FAILED) {
            const int err = errno;
            writeEnd_.reset();
            return err;
        }
        stack_ = stack;
        args_.readFd = readEnd.get();
        sigset_t all, old;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old);
        pid_ = ::clone(&GroupGuard::guardMain, static_cast<char*>(stack_) + kStackSize,
                       CLONE_VM | SIGCHLD, &args_);
        const int cloneErr = errno;
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (pid_ < 0) {
            writeEnd_.reset();
            ::munmap(stack_, kStackSize);
            stack_ = nullptr;
            return cloneErr;
        }
        // Into the group before this returns, so that the group is guarded
        // before its program runs.
        if (::setpgid(pid_, group) != 0) {
            const int err = errno;
            ::kill(pid_, SIGKILL);
            release();
            return err;
        }
        return 0;  // the guard has its own copy of the read end
    }

    /// Lets the guard end the group now and waits for it.
    void release() {
        writeEnd_.reset();
        if (pid_ > 0) {
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        if (stack_) {
            ::munmap(stack_, kStackSize);
            stack_ = nullptr;
        }
    }

private:
    struct Args {
        int readFd = -1;
    };

    static int guardMain(void* raw) {
        const int readFd = static_cast<const Args*>(raw)->readFd;
        // Nothing of this process's but the pipe is held open by the guard.
        if (readFd > 0) {
            ::close_range(0, static_cast<unsigned>(readFd) - 1, 0);
        }
        ::close_range(static_cast<unsigned>(readFd) + 1, ~0U, 0);
        if (::chdir("/") != 0) {
            // Staying in the starting folder only keeps it in use; the guard works.
        }
        char byte;
        while (::read(readFd, &byte, 1) != 0) {
            // Nothing is ever written: only the end of the pipe counts.
        }
        ::kill(0, SIGKILL);
        ::_exit(0);
    }

    static constexpr std::size_t kStackSize = 64 * 1024;
    UniqueFd writeEnd_;
    Args args_;
    void* stack_ = nullptr;
    pid_t pid_ = -1;
};

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

    ChildPlan plan;
    plan.program = program.c_str();
    plan.argv = args.data();
    plan.envp = env.data();
    plan.workingFolder = workingFolder.empty() ? nullptr : workingFolder.c_str();
    plan.inputFd = inputChilds.get();
    plan.outputFd = writeEnd.get();
    plan.ownGroup = ownGroup;
    plan.descriptorLimit = static_cast<int>(std::clamp(::sysconf(_SC_OPEN_MAX), 1024L, 65536L));
    GroupGuard guard;
    const pid_t pid = startChild(plan, err, [&guard](pid_t group) { return guard.start(group); });
    if (pid < 0) {
        return startFailed(err);
    }
    // Only the child (and what it starts) holds these ends now.
    writeEnd.reset();
    inputChilds.reset();
    result.started = true;

    Supervisor supervisor(pid, ownGroup, std::move(readEnd), std::move(inputOurs),
                          input.value_or(std::span<const std::uint8_t>()), onOutput, limits);
    try {
        result.end = supervisor.watch();
    } catch (...) {
        // The caller gave up on this program: end it (with its group when it
        // has one), never leave a zombie.
        supervisor.killGroup();
        guard.release();
        waitForExit(pid);
        throw;
    }
    if (result.end != ProcessEnd::Finished) {
        // Programs of the group that outlived the child after SIGTERM.
        supervisor.killGroup();
    }
    // The guard ends what is left of the group: nothing the program started
    // outlives the call.
    guard.release();
    result.exitCode = waitForExit(pid);
    return result;
}

}  // namespace imbrix::platform
