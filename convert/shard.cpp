// Imbrix conversion engine: one worker's share of a list.
#include "convert/shard.h"

#include "platform/hash.h"

namespace imbrix::convert {

namespace {

// A plain decimal number of at most nine digits: no sign, no blanks.
std::optional<std::uint32_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

}  // namespace

std::uint32_t shardOfPath(std::string_view path, std::uint32_t count) {
    if (count == 0) {
        throw ShardError("a list cannot be split into 0 shards");
    }
    return static_cast<std::uint32_t>(platform::fnv1a64(path) % count) + 1;
}

Shard parseShard(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::optional<std::uint32_t> index =
        slash == std::string_view::npos ? std::nullopt : decimal(text.substr(0, slash));
    const std::optional<std::uint32_t> count =
        slash == std::string_view::npos ? std::nullopt : decimal(text.substr(slash + 1));
    if (!index || !count) {
        throw ShardError("shard must be K/N (as 3/10) or auto, not " + quoted(text));
    }
    if (*count < 1 || *count > kMaxShardCount) {
        throw ShardError("the number of shards must be from 1 to " +
                         std::to_string(kMaxShardCount) + ", not " + quoted(text));
    }
    if (*index < 1 || *index > *count) {
        throw ShardError("shard K/N needs K from 1 to N, not " + quoted(text));
    }
    return {*index, *count};
}

std::uint32_t parseShardCount(std::string_view text, const std::string& what) {
    const std::optional<std::uint32_t> count = decimal(text);
    if (!count || *count < 1 || *count > kMaxShardCount) {
        throw ShardError(what + " must be a number from 1 to " + std::to_string(kMaxShardCount) +
                         ", not " + quoted(text));
    }
    return *count;
}

ShardFromEnvironment shardFromEnvironment(const EnvironmentLookup& lookup,
                                          std::optional<std::uint32_t> count) {
    const auto number = [&lookup](const char* name) -> std::optional<std::uint32_t> {
        const std::optional<std::string> text = lookup(name);
        if (!text) {
            return std::nullopt;
        }
        const std::optional<std::uint32_t> value = decimal(*text);
        if (!value) {
            throw ShardError(std::string(name) + " must be a number, not " + quoted(*text));
        }
        return value;
    };
    const auto required = [&number](const char* name, const char* needed) {
        const std::optional<std::uint32_t> value = number(name);
        if (!value) {
            throw ShardError(std::string(name) + " is not set (" + needed + ")");
        }
        return *value;
    };

    if (const std::optional<std::uint32_t> id = number("SLURM_ARRAY_TASK_ID")) {
        const char* slurm = "a Slurm job array sets it";
        const std::uint32_t total = required("SLURM_ARRAY_TASK_COUNT", slurm);
        const std::uint32_t least = required("SLURM_ARRAY_TASK_MIN", slurm);
        const std::uint32_t step = number("SLURM_ARRAY_TASK_STEP").value_or(1);
        const std::string origin = "SLURM_ARRAY_TASK_ID=" + std::to_string(*id) +
                                   ", SLURM_ARRAY_TASK_MIN=" + std::to_string(least) +
                                   ", SLURM_ARRAY_TASK_COUNT=" + std::to_string(total);
        if (total < 1 || total > kMaxShardCount) {
            throw ShardError("SLURM_ARRAY_TASK_COUNT must be from 1 to " +
                             std::to_string(kMaxShardCount) + " (" + origin + ")");
        }
        if (count && *count != total) {
            throw ShardError("the shard count " + std::to_string(*count) +
                             " differs from the Slurm array's (" + origin + ")");
        }
        if (step < 1 || *id < least || (*id - least) % step != 0 || (*id - least) / step >= total) {
            throw ShardError("the Slurm array is not one range of task ids (" + origin +
                             "): start it as --array=0-" + std::to_string(total - 1) +
                             " or give --shard K/N");
        }
        return {{(*id - least) / step + 1, total}, origin};
    }

    if (const std::optional<std::uint32_t> index = number("JOB_COMPLETION_INDEX")) {
        std::string origin = "JOB_COMPLETION_INDEX=" + std::to_string(*index);
        if (!count) {
            const std::optional<std::string> text = lookup("IMBRIX_SHARD_COUNT");
            if (!text) {
                throw ShardError(
                    "a Kubernetes Indexed Job gives no shard count: set IMBRIX_SHARD_COUNT to the "
                    "Job's completions, or give --shard-count N");
            }
            count = parseShardCount(*text, "IMBRIX_SHARD_COUNT");
            origin += ", IMBRIX_SHARD_COUNT=" + std::to_string(*count);
        } else {
            origin += ", --shard-count " + std::to_string(*count);
        }
        if (*index >= *count) {
            throw ShardError(
                "JOB_COMPLETION_INDEX counts from 0 and must be below the shard count (" + origin +
                ")");
        }
        return {{*index + 1, *count}, origin};
    }

    throw ShardError(
        "shard auto needs SLURM_ARRAY_TASK_ID (a Slurm job array) or JOB_COMPLETION_INDEX (a "
        "Kubernetes Indexed Job) in the environment");
}

}  // namespace imbrix::convert
