// Imbrix platform layer: starting a program and collecting what it prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::platform {

/// When a program is ended before it finishes by itself.
struct ProcessLimits {
    /// How long the program may run; zero means no limit.
    std::chrono::milliseconds deadline{0};
    /// A stop request ends the program as a passed deadline does.
    std::stop_token stop;
    /// How long the program's group has between SIGTERM and SIGKILL.
    std::chrono::milliseconds grace{2000};
    /// "NAME=value" entries added to the program's environment (the converter
    /// front's memory limit).
    std::vector<std::string> environment;
};

/// How the program came to an end.
enum class ProcessEnd {
    Finished,  ///< by itself (normally or by a signal from elsewhere)
    TimedOut,  ///< its deadline passed and it was ended
    Stopped,   ///< a stop was requested and it was ended
};

struct ProcessResult {
    bool started = false;    ///< false when the program could not be started at all
    int exitCode = -1;       ///< exit status; 128 + signal number when killed by a signal
    std::string startError;  ///< why it could not be started, when !started
    ProcessEnd end = ProcessEnd::Finished;
};

/// Runs argv[0] (a path, not looked up in PATH) with the arguments argv[1..]
/// directly (no shell), in `workingFolder`, with standard output and error both
/// into one pipe. Each chunk read from the pipe is handed to `onOutput` as it
/// arrives. Standard input is /dev/null, or when `input` is given, a stream that
/// carries those bytes and then ends.
///
/// With a deadline or a stop token in `limits`, the program starts in a process
/// group of its own, so that the programs it starts in turn are ended with it:
/// when the deadline passes or a stop is requested, the group gets SIGTERM, then
/// after the grace period SIGKILL, and the result tells which of the two ended
/// it. Without limits it stays in the caller's group, as a helper of a program
/// that is itself ended with its group (the converter front's tools) must. The call returns
/// once the program itself has ended and the output it left is read: a program
/// it started that still holds the output open does not keep the call waiting.
/// When `onOutput` throws, the group is killed and the exception passed on.
///
/// Nothing started here outlives this process: the program gets SIGKILL when the
/// thread that started it ends (PR_SET_PDEATHSIG, which also reaches down the
/// chain of programs started through this function), and a group of its own is
/// ended by SIGKILL when this process ends in any way, or when the call returns.
///
/// Reentrant: several threads may run programs at once.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workingFolder,
                         const std::function<void(std::string_view)>& onOutput,
                         const ProcessLimits& limits = {},
                         std::optional<std::span<const std::uint8_t>> input = std::nullopt);

}  // namespace imbrix::platform
