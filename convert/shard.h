// Imbrix conversion engine: one worker's share of a list, for runs split over
// several processes or machines (GNU parallel, a Slurm job array, a Kubernetes
// Indexed Job).
//
// Every path goes to exactly one of N shards, decided by a fixed hash of the
// path's bytes as they are given: no shard depends on the list's order, on the
// other shards, on the working folder or on the machine. The rule, so that
// other tools can reproduce it:
//
//     shard = FNV-1a-64(path bytes) mod N + 1        (see platform/hash.h)
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace imbrix::convert {

/// The most shards a list may be split into.
inline constexpr std::uint32_t kMaxShardCount = 1'000'000;

/// Shard `index` of `count`, 1 <= index <= count.
struct Shard {
    std::uint32_t index = 1;
    std::uint32_t count = 1;
    bool operator==(const Shard&) const = default;
};

/// A shard that cannot be made from what was given; the message says why.
class ShardError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

/// The shard (1..count) that `path` belongs to.
std::uint32_t shardOfPath(std::string_view path, std::uint32_t count);

/// True when `path` belongs to `shard`.
inline bool inShard(std::string_view path, const Shard& shard) {
    return shardOfPath(path, shard.count) == shard.index;
}

/// "K/N" with 1 <= K <= N <= kMaxShardCount. Throws ShardError.
Shard parseShard(std::string_view text);

/// A count of shards, 1 to kMaxShardCount, as typed. Throws ShardError naming `what`.
std::uint32_t parseShardCount(std::string_view text, const std::string& what);

/// A shard found in the environment, and where it came from ("SLURM_ARRAY_TASK_ID=4, ...").
struct ShardFromEnvironment {
    Shard shard;
    std::string origin;
};

/// Looks up an environment variable; nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

/// The shard of this process as its job scheduler numbers it:
///  - a Slurm job array task: K = (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN)
///    / SLURM_ARRAY_TASK_STEP + 1 (the step 1 when unset), N =
///    SLURM_ARRAY_TASK_COUNT; so --array=0-9 and --array=1-10 both give 1..10.
///    The array must be one range (with a step); a list such as 1,5,7 is refused.
///  - a Kubernetes Indexed Job's pod: K = JOB_COMPLETION_INDEX + 1 (the index
///    counts from 0); N = `count`, or IMBRIX_SHARD_COUNT (Kubernetes gives no
///    count: the manifest sets it to the Job's completions).
/// Slurm's variables win when both are there. `count`, when given, must agree
/// with Slurm's count. Throws ShardError when neither is there or the numbers
/// do not fit.
ShardFromEnvironment shardFromEnvironment(const EnvironmentLookup& lookup,
                                          std::optional<std::uint32_t> count = std::nullopt);

}  // namespace imbrix::convert
