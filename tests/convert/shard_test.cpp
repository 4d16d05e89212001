// Shards of a list: the hash every machine agrees on, K/N as typed, and K and N
// as Slurm job arrays and Kubernetes Indexed Jobs give them.
#include "convert/shard.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/testsupport.h"
#include "platform/hash.h"

namespace imbrix::convert {
namespace {

// The published FNV-1a test vectors: the hash is the standard one, not ours.
TEST(ShardHash, IsStandardFnv1a64) {
    EXPECT_EQ(platform::fnv1a64(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(platform::fnv1a64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(platform::fnv1a64("foobar"), 0x85944171f73967e8ull);
}

// The README's rule, run by Python on the same paths, gives the same shards:
// another tool can tell which worker converts which file.
TEST(ShardHash, PythonAgreesWithTheDocumentedRule) {
    const std::vector<std::string> paths = {"photos/IMG_0001.JPG",
                                            "/srv/archive/2019/scan 17.tif",
                                            "-dash.png",
                                            "Z\xC3\xBCrich/caf\xC3\xA9.jpg",
                                            "odd\xFF"
                                            "byte.png",
                                            "line\nbreak.png",
                                            "./photos/IMG_0001.JPG"};
    test::ScratchDir dir;
    std::string list;
    for (const std::string& path : paths) {
        list += path;
        list.push_back('\0');
    }
    test::writeText(dir.path() / "paths", list);
    const std::string script = R"(
import sys
def shard(path, n):
    h = 14695981039346656037
    for b in path:
        h = ((h ^ b) * 1099511628211) % 2**64
    return h % n + 1
data = open(sys.argv[1], 'rb').read().split(b'\0')[:-1]
print(' '.join(str(shard(p, n)) for p in data for n in (1, 2, 3, 5, 7, 1000)))
)";
    std::string output;
    ASSERT_EQ(test::runCommand({"python3", "-c", script, (dir.path() / "paths").string()}, &output),
              0)
        << output;
    std::string ours;
    for (const std::string& path : paths) {
        for (std::uint32_t n : {1u, 2u, 3u, 5u, 7u, 1000u}) {
            ours += (ours.empty() ? "" : " ") + std::to_string(shardOfPath(path, n));
        }
    }
    EXPECT_EQ(output, ours + "\n");
    // The path as given: another spelling of the same file is another key.
    EXPECT_NE(platform::fnv1a64(paths[0]), platform::fnv1a64(paths.back()));
}

// Every file goes to one shard, and the shards are of about equal size.
TEST(ShardHash, SplitsAListEvenly) {
    for (std::uint32_t n = 1; n <= 5; ++n) {
        std::map<std::uint32_t, int> sizes;
        for (int i = 0; i < 10000; ++i) {
            const std::string path =
                "/archive/" + std::to_string(i / 100) + "/IMG_" + std::to_string(i) + ".jpg";
            const std::uint32_t shard = shardOfPath(path, n);
            ASSERT_GE(shard, 1u);
            ASSERT_LE(shard, n);
            ++sizes[shard];
        }
        EXPECT_EQ(sizes.size(), n);
        for (const auto& [shard, size] : sizes) {
            EXPECT_NEAR(size, 10000.0 / n, 10000.0 / n * 0.1) << shard << " of " << n;
        }
    }
}

TEST(ParseShard, KOfN) {
    EXPECT_EQ(parseShard("1/1"), (Shard{1, 1}));
    EXPECT_EQ(parseShard("3/10"), (Shard{3, 10}));
    EXPECT_EQ(parseShard("1000000/1000000"), (Shard{1000000, 1000000}));
    const std::pair<const char*, const char*> refused[] = {
        {"3", "shard must be K/N (as 3/10) or auto, not \"3\""},
        {"a/b", "shard must be K/N"},
        {" 1/2", "shard must be K/N"},
        {"1/-2", "shard must be K/N"},
        {"0/3", "shard K/N needs K from 1 to N, not \"0/3\""},
        {"4/3", "shard K/N needs K from 1 to N, not \"4/3\""},
        {"1/0", "the number of shards must be from 1 to 1000000, not \"1/0\""},
        {"1/1000001", "the number of shards must be from 1 to 1000000"},
        {"", "shard must be K/N"},
    };
    for (const auto& [text, message] : refused) {
        try {
            parseShard(text);
            ADD_FAILURE() << text << " was taken";
        } catch (const ShardError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << text << ": " << e.what();
        }
    }
}

using Environment = std::map<std::string, std::string>;

EnvironmentLookup lookupIn(const Environment& environment) {
    return [&environment](const char* name) -> std::optional<std::string> {
        const auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional(found->second);
    };
}

TEST(ShardFromEnvironment, SchedulersNumbering) {
    struct Case {
        const char* name;
        Environment environment;
        std::optional<std::uint32_t> count;
        Shard shard;
    };
    const Case cases[] = {
        {"Slurm --array=0-9, first task",
         {{"SLURM_ARRAY_TASK_ID", "0"},
          {"SLURM_ARRAY_TASK_MIN", "0"},
          {"SLURM_ARRAY_TASK_COUNT", "10"}},
         {},
         {1, 10}},
        {"Slurm --array=1-10, last task",
         {{"SLURM_ARRAY_TASK_ID", "10"},
          {"SLURM_ARRAY_TASK_MIN", "1"},
          {"SLURM_ARRAY_TASK_COUNT", "10"}},
         {},
         {10, 10}},
        {"Slurm --array=0-20:5",
         {{"SLURM_ARRAY_TASK_ID", "15"},
          {"SLURM_ARRAY_TASK_MIN", "0"},
          {"SLURM_ARRAY_TASK_STEP", "5"},
          {"SLURM_ARRAY_TASK_COUNT", "5"}},
         {},
         {4, 5}},
        {"Slurm, and the count given agrees",
         {{"SLURM_ARRAY_TASK_ID", "2"},
          {"SLURM_ARRAY_TASK_MIN", "1"},
          {"SLURM_ARRAY_TASK_COUNT", "4"}},
         4,
         {2, 4}},
        {"Kubernetes, count from IMBRIX_SHARD_COUNT",
         {{"JOB_COMPLETION_INDEX", "0"}, {"IMBRIX_SHARD_COUNT", "3"}},
         {},
         {1, 3}},
        {"Kubernetes, count given",
         {{"JOB_COMPLETION_INDEX", "6"}, {"IMBRIX_SHARD_COUNT", "3"}},
         7,
         {7, 7}},
        {"Slurm wins over Kubernetes",
         {{"SLURM_ARRAY_TASK_ID", "1"},
          {"SLURM_ARRAY_TASK_MIN", "0"},
          {"SLURM_ARRAY_TASK_COUNT", "2"},
          {"JOB_COMPLETION_INDEX", "0"},
          {"IMBRIX_SHARD_COUNT", "9"}},
         {},
         {2, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ShardFromEnvironment found = shardFromEnvironment(lookupIn(c.environment), c.count);
        EXPECT_EQ(found.shard, c.shard);
        EXPECT_FALSE(found.origin.empty());
    }
}

// Every task of an array, numbered from 0 or from 1, gets its own shard, and
// together they are all shards.
TEST(ShardFromEnvironment, EveryArrayTaskHasItsOwnShard) {
    for (std::uint32_t n = 1; n <= 5; ++n) {
        for (std::uint32_t first : {0u, 1u}) {
            std::set<std::uint32_t> shards;
            for (std::uint32_t id = first; id < first + n; ++id) {
                const Environment environment = {{"SLURM_ARRAY_TASK_ID", std::to_string(id)},
                                                 {"SLURM_ARRAY_TASK_MIN", std::to_string(first)},
                                                 {"SLURM_ARRAY_TASK_COUNT", std::to_string(n)}};
                const Shard shard = shardFromEnvironment(lookupIn(environment)).shard;
                EXPECT_EQ(shard.count, n);
                shards.insert(shard.index);
            }
            EXPECT_EQ(shards.size(), n);
            EXPECT_EQ(*shards.begin(), 1u);
            EXPECT_EQ(*shards.rbegin(), n);
        }
        std::set<std::uint32_t> shards;
        for (std::uint32_t index = 0; index < n; ++index) {
            const Environment environment = {{"JOB_COMPLETION_INDEX", std::to_string(index)}};
            shards.insert(shardFromEnvironment(lookupIn(environment), n).shard.index);
        }
        EXPECT_EQ(shards.size(), n);
        EXPECT_EQ(*shards.rbegin(), n);
    }
}

TEST(ShardFromEnvironment, RefusesWhatDoesNotFit) {
    struct Case {
        Environment environment;
        std::optional<std::uint32_t> count;
        const char* says;
    };
    const Case cases[] = {
        {{},
         {},
         "shard auto needs SLURM_ARRAY_TASK_ID (a Slurm job array) or JOB_COMPLETION_INDEX"},
        {{{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_MIN", "0"}},
         {},
         "SLURM_ARRAY_TASK_COUNT is not set"},
        {{{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
         {},
         "SLURM_ARRAY_TASK_MIN is not set"},
        {{{"SLURM_ARRAY_TASK_ID", "x"}}, {}, "SLURM_ARRAY_TASK_ID must be a number, not \"x\""},
        // --array=1,5,7: three tasks, no range.
        {{{"SLURM_ARRAY_TASK_ID", "5"},
          {"SLURM_ARRAY_TASK_MIN", "1"},
          {"SLURM_ARRAY_TASK_COUNT", "3"}},
         {},
         "the Slurm array is not one range of task ids"},
        {{{"SLURM_ARRAY_TASK_ID", "3"},
          {"SLURM_ARRAY_TASK_MIN", "0"},
          {"SLURM_ARRAY_TASK_COUNT", "4"}},
         5,
         "the shard count 5 differs from the Slurm array's"},
        {{{"JOB_COMPLETION_INDEX", "0"}}, {}, "a Kubernetes Indexed Job gives no shard count"},
        {{{"JOB_COMPLETION_INDEX", "3"}, {"IMBRIX_SHARD_COUNT", "3"}},
         {},
         "JOB_COMPLETION_INDEX counts from 0 and must be below the shard count"},
        {{{"JOB_COMPLETION_INDEX", "0"}, {"IMBRIX_SHARD_COUNT", "0"}},
         {},
         "IMBRIX_SHARD_COUNT must be a number from 1 to 1000000, not \"0\""},
        {{{"JOB_COMPLETION_INDEX", "-1"}, {"IMBRIX_SHARD_COUNT", "2"}},
         {},
         "JOB_COMPLETION_INDEX must be a number"},
    };
    for (const Case& c : cases) {
        try {
            const ShardFromEnvironment found =
                shardFromEnvironment(lookupIn(c.environment), c.count);
            ADD_FAILURE() << c.says << ": took " << found.origin;
        } catch (const ShardError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.says, 0), 0u) << e.what();
        }
    }
}

}  // namespace
}  // namespace imbrix::convert
