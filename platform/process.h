// Imbrix platform layer: starting a program and collecting what it prints.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::platform {

struct ProcessResult {
    bool started = false;  ///< false when the program could not be started at all
    int exitCode = -1;     ///< exit status; 128 + signal number when killed by a signal
    std::string startError;  ///< why it could not be started, when !started
};

/// Runs argv[0] (a path, not looked up in PATH) with the arguments argv[1..]
/// directly (no shell), in `workingFolder`, with standard input from /dev/null
/// and standard output and error both into one pipe. Each chunk read from the
/// pipe is handed to `onOutput` as it arrives. Waits until the program ends.
/// Reentrant: several threads may run programs at once.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workingFolder,
                         const std::function<void(std::string_view)>& onOutput);

}  // namespace imbrix::platform
