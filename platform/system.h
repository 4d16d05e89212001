// Imbrix platform layer: the running program, its data folder, the clock.
#pragma once

#include <cstdint>
#include <string>

namespace imbrix::platform {

/// Absolute path of the running executable.
std::string programPath();
/// Its folder, ending with '/'.
std::string programFolder();

/// $XDG_CONFIG_HOME, else $HOME/.config; no trailing '/'. Empty when neither is set.
std::string userConfigFolder();

/// The data folder rule: `programFolder` when the write probe succeeds there and
/// it is not under /usr (an installed program, even run by root); otherwise
/// userConfigFolder() + "/<company>/<product>/", both folders created when
/// missing (failures ignored). Always ends with '/'.
std::string chooseDataFolder(const std::string& programFolder, const std::string& company,
                             const std::string& product);

/// Milliseconds from a monotonic clock, as unsigned 32 bits (wraps like a tick count).
std::uint32_t tickCount();

/// Bytes of physical memory in the machine; 0 when it cannot be told.
std::uint64_t physicalMemory();

/// The most memory this process may use by its own limits: the smallest of
/// RLIMIT_AS, RLIMIT_DATA and its cgroup's memory.max. UINT64_MAX when none is set.
std::uint64_t processMemoryLimit();

/// A named lock "<name>" in $XDG_RUNTIME_DIR (or the temp folder), held for the
/// life of the process and never examined: a second instance runs normally.
void holdNamedLock(const std::string& name);

}  // namespace imbrix::platform
