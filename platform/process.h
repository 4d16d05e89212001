// Imbrix platform layer: starting a program and collecting what it prints.
#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::platform {

struct ProcessResult {
    bool started = false;    ///< false when the program could not be started at all
    int exitCode = -1;       ///< exit status; 128 + signal number when killed by a signal
    std::string startError;  ///< why it could not be started, when !started
    bool timedOut = false;   ///< ended by the deadline
    bool stopped = false;    ///< ended by a stop request
};

/// When a program must end. Either way it is asked to end (SIGTERM to its
/// process group, so the programs it started go too), and killed (SIGKILL to
/// the group) when it has not ended after the grace period.
struct ProcessLimits {
    std::chrono::milliseconds deadline{0};  ///< from the start; 0: none
    std::stop_token stop;                   ///< a stop request ends it as the deadline does
    std::chrono::milliseconds grace{2000};
};

/// Runs argv[0] (a path, not looked up in PATH) with the arguments argv[1..]
/// directly (no shell), in `workingFolder`, in a process group of its own, with
/// standard input from /dev/null and standard output and error both into one
/// pipe. Each chunk read from the pipe is handed to `onOutput` as it arrives.
/// Waits until the program ends (not for programs it left running that still
/// hold the pipe), or until `limits` end it. Reentrant: several threads may run
/// programs at once.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workingFolder,
                         const std::function<void(std::string_view)>& onOutput,
                         const ProcessLimits& limits = {});

}  // namespace imbrix::platform
