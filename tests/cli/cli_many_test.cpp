// imbrix-cli as a worker of a batch split over processes and machines: paths
// from a list (lines or NUL-separated, on standard input too), the JSON record
// of every file, shards, re-runs of the failures, and several workers writing
// into one folder at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "common/recordrows.h"
#include "common/testsupport.h"
#include "platform/files.h"

extern char** environ;

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string readAll(const fs::path& file) {
    const std::vector<std::uint8_t> bytes = readBytes(file);
    return {bytes.begin(), bytes.end()};
}

struct Outcome {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
    fs::path outFile;
};

class CliMany : public ::testing::Test {
protected:
    // Starts imbrix-cli with standard input from `input` (a file; empty: none),
    // standard output and error into files of their own, and `env` added to
    // the environment (the scheduler variables removed first).
    pid_t start(std::vector<std::string> args, const std::string& input = {},
                const std::map<std::string, std::string>& env = {}) {
        args.insert(args.begin(), (binDir() / "imbrix-cli").string());
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("SLURM_", 0) != 0 && entry.rfind("JOB_COMPLETION_INDEX=", 0) != 0 &&
                entry.rfind("IMBRIX_SHARD_COUNT=", 0) != 0) {
                environment.push_back(entry);
            }
        }
        for (const auto& [name, value] : env) {
            environment.push_back(name + "=" + value);
        }
        std::vector<char*> argv, envp;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (std::string& e : environment) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        const std::string number = std::to_string(++runs_);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(),
                                         O_RDONLY, 0);
        const std::string out = scratch_.file("stdout" + number);
        const std::string err = scratch_.file("stderr" + number);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        started_[pid] = number;
        return pid;
    }

    Outcome finish(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        Outcome outcome;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        const std::string number = started_.at(pid);
        outcome.outFile = scratch_.path() / ("stdout" + number);
        outcome.out = readAll(outcome.outFile);
        outcome.err = readAll(scratch_.path() / ("stderr" + number));
        return outcome;
    }

    Outcome cli(std::vector<std::string> args, const std::string& input = {},
                const std::map<std::string, std::string>& env = {}) {
        return finish(start(std::move(args), input, env));
    }

    // A copy of a corpus file under the scratch folder.
    std::string copy(const std::string& corpusFile, const std::string& name) {
        const fs::path target = scratch_.path() / name;
        fs::create_directories(target.parent_path());
        fs::copy_file(corpusDir() / corpusFile, target);
        return target.string();
    }

    std::string list(const std::string& name, const std::vector<std::string>& paths,
                     char separator) {
        std::string text;
        for (const std::string& path : paths) {
            text += path;
            text.push_back(separator);
        }
        writeText(scratch_.path() / name, text);
        return scratch_.file(name);
    }

    // The regular files under `folder`, paths relative to it, sorted.
    static std::vector<std::string> filesUnder(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file()) {
                names.push_back(fs::relative(entry.path(), folder).string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    ScratchDir scratch_;
    int runs_ = 0;
    std::map<pid_t, std::string> started_;
};

// Lists of awkward names, as lines and NUL-separated, from a file and from
// standard input; a folder in a list is walked; a list that is missing, or
// given where it cannot be, is a usage error.
TEST_F(CliMany, FilesFromListsOfAwkwardNames) {
    const std::string blanks = copy("pngsuite/basn2c08.png", "in/with  blanks .png");
    const std::string dash = copy("pngsuite/basn0g08.png", "in/-dhijack.png");
    const std::string help = copy("pngsuite/basn3p08.png", "in/--help.png");
    const std::string folder = scratch_.file("in/folder");
    copy("pngsuite/basn6a08.png", "in/folder/deep/inside.png");
    const std::string out = scratch_.file("out");

    // One per line, an empty line among them, the last without its line end.
    writeText(scratch_.path() / "lines", blanks + "\n" + dash + "\n\n" + help + "\n" + folder);
    Outcome result = cli({"--files-from", scratch_.file("lines"), "-d", out, "-f", "jpg"});
    ASSERT_EQ(result.status, 0) << result.err << result.out;
    EXPECT_TRUE(contains(result.out, "Processed Image Files: 4\n")) << result.out;
    EXPECT_EQ(filesUnder(out), (std::vector<std::string>{"--help.jpg", "-dhijack.jpg", "inside.jpg",
                                                         "with  blanks .jpg"}));
    EXPECT_FALSE(fs::exists(scratch_.path() / "hijack.png"));

    // NUL-separated on standard input: a name may hold a line break.
    const std::string newline = copy("pngsuite/basn2c08.png", "in/line\nbreak.png");
    const std::string nul = list("nul", {newline, dash, blanks}, '\0');
    const std::string out2 = scratch_.file("out2");
    result = cli({"--null", "--files-from", "-", "--dest", out2}, nul);
    ASSERT_EQ(result.status, 0) << result.err << result.out;
    EXPECT_EQ(filesUnder(out2),
              (std::vector<std::string>{"-dhijack.png", "line\nbreak.png", "with  blanks .png"}));

    // The NUL list read as lines: said, and the run fails (nothing is guessed).
    result = cli({"--files-from", nul, "--dest", scratch_.file("out3")});
    EXPECT_EQ(result.status, 1) << result.err << result.out;
    EXPECT_TRUE(contains(result.err, "holds a zero byte")) << result.err;
    EXPECT_TRUE(contains(result.err, "needs --null")) << result.err;

    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::string missing = scratch_.file("no such list");
    const Case usage[] = {
        {{"--files-from", missing}, "cannot read the list "},
        {{"--retry-failed", missing}, "cannot read the list "},
        {{"--files-from", scratch_.file("in")}, ": Is a directory"},
        {{"--null", blanks}, "option --null needs --files-from"},
        {{"--files-from"}, "option --files-from needs a value"},
        {{"--files-from", "-", "--retry-failed", "-"}, "cannot both read standard input"},
    };
    for (const Case& c : usage) {
        result = cli(c.args);
        EXPECT_EQ(result.status, 2) << c.args.front() << ": " << result.err;
        EXPECT_TRUE(contains(result.err, c.says)) << result.err;
    }
    EXPECT_TRUE(contains(cli({"--files-from", missing}).err,
                         "cannot read the list " + missing + ": No such file or directory"));
}

// A list of files (as find makes it) keeps its folders under --dest with
// --keep-tree --base, whether its paths are absolute or relative to the base;
// a file outside the base goes to --dest itself.
TEST_F(CliMany, BaseKeepsTheTreeOfListedFiles) {
    copy("pngsuite/basn2c08.png", "archive/2019/summer/a.png");
    copy("pngsuite/basn0g08.png", "archive/2020/b.png");
    const std::string outside = copy("pngsuite/basn3p08.png", "elsewhere/c.png");
    const std::string archive = scratch_.file("archive");
    const std::string absolute =
        list("absolute", {archive + "/2019/summer/a.png", archive + "/2020/b.png", outside}, '\0');
    Outcome result = cli({"--keep-tree", "--base", archive, "--null", "--files-from", absolute,
                          "-d", scratch_.file("out1")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(filesUnder(scratch_.path() / "out1"),
              (std::vector<std::string>{"2019/summer/a.png", "2020/b.png", "c.png"}));

    // Relative to the working folder, as `cd archive && find . -print0` gives them.
    const pid_t pid = [&] {
        const fs::path previous = fs::current_path();
        fs::current_path(archive);
        const pid_t started = start({"--keep-tree", "--base", ".", "--files-from",
                                     list("relative", {"./2019/summer/a.png", "2020/b.png"}, '\n'),
                                     "-d", scratch_.file("out2")});
        fs::current_path(previous);
        return started;
    }();
    result = finish(pid);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(filesUnder(scratch_.path() / "out2"),
              (std::vector<std::string>{"2019/summer/a.png", "2020/b.png"}));

    result = cli({"--base", archive, "--files-from", absolute, "-d", scratch_.file("out3")});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "option --base needs --keep-tree")) << result.err;
}

// A list that comes slowly (a queue writing into a pipe) is converted as it
// comes, each file recorded before the list ends; a signal ends the wait for
// the next path.
TEST_F(CliMany, SlowListIsConvertedAsItComesAndASignalEndsTheWait) {
    const std::string first = copy("pngsuite/basn2c08.png", "in/first.png");
    const std::string second = copy("pngsuite/basn0g08.png", "in/second.png");
    int queue[2];
    ASSERT_EQ(::pipe2(queue, O_CLOEXEC), 0);
    const pid_t pid = start({"--files-from", "-", "--json", "-d", scratch_.file("out")},
                            "/proc/self/fd/" + std::to_string(queue[0]));
    ::close(queue[0]);
    const int writer = queue[1];
    const fs::path record = scratch_.path() / ("stdout" + started_.at(pid));
    const auto recordLines = [&record](std::size_t lines) {
        for (int i = 0; i < 300; ++i) {
            const std::string text = readAll(record);
            if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    for (const auto& [path, lines] : {std::pair{first, 1u}, std::pair{second, 2u}}) {
        const std::string line = path + "\n";
        ASSERT_EQ(::write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        EXPECT_TRUE(recordLines(lines)) << path << " not converted while the list stays open";
    }
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(endsWithin(pid, std::chrono::seconds(5)));
    const Outcome result = finish(pid);
    ::close(writer);
    EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
    EXPECT_TRUE(contains(result.err, "Stopped by signal 15 after 2 of 2 files")) << result.err;
    EXPECT_EQ(filesUnder(scratch_.path() / "out"),
              (std::vector<std::string>{"first.png", "second.png"}));
}

// The record: one row per file, in list order, that Python's json module reads;
// its figures agree with the report on standard error and with the disk.
TEST_F(CliMany, JsonRecordAgreesWithTheReportAndTheDisk) {
    const std::string out = scratch_.file("out");
    fs::create_directories(out);
    const std::vector<std::string> sources = {
        copy("pngsuite/basn2c08.png", "in/one.png"),
        copy("pngsuite/basn2c08.png", "in/fake.jpg"),  // a PNG named as a JPEG: fails
        copy("pngsuite/basn0g08.png", "in/kept.png"),  // its output exists: skipped
        scratch_.file("in/missing.png"),               // fails, no size
        copy("pngsuite/basn6a08.png", "in/two \xE2\x80\x94 caf\xC3\xA9.png"),
        copy("pngsuite/basn3p08.png", "in/old \xE9.png"),  // not UTF-8
    };
    writeText(out + "/kept.webp", "already there");
    const Outcome result = cli({"--json", "--skip-existing", "-f", "webp", "-d", out,
                                "--files-from", list("list", sources, '\n')});
    EXPECT_EQ(result.status, 1) << result.err;

    const std::vector<RecordRow> rows = readRecord(result.outFile);
    ASSERT_EQ(rows.size(), sources.size()) << result.out;
    const std::vector<std::string> statuses = {"converted", "failed",    "skipped",
                                               "failed",    "converted", "converted"};
    std::map<std::string, int> counts;
    std::int64_t bytesIn = 0, bytesOut = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(sources[i]);
        const RecordRow& row = rows[i];
        EXPECT_EQ(row.source, sources[i]);
        EXPECT_EQ(row.status, statuses[i]);
        ++counts[row.status];
        if (row.status == "converted") {
            ASSERT_TRUE(row.output);
            EXPECT_EQ(row.bytesOut, platform::fileSizeBytes(*row.output));
            EXPECT_EQ(row.bytesIn, platform::fileSizeBytes(sources[i]));
        }
        if (row.status != "skipped" && row.bytesIn) {
            bytesIn += *row.bytesIn;
        }
        bytesOut += row.bytesOut;
    }
    EXPECT_EQ(rows[2].output, out + "/kept.webp");
    EXPECT_EQ(readAll(out + "/kept.webp"), "already there");
    EXPECT_FALSE(rows[3].bytesIn);
    EXPECT_EQ(rows[5].output, out + "/old \xE9.webp");
    // The message the desktop program shows, in the record and on the terminal.
    ASSERT_TRUE(rows[1].error);
    EXPECT_EQ(rows[1].error->rfind("JPEG error #53", 0), 0u) << *rows[1].error;
    EXPECT_TRUE(contains(result.err, "ERROR: " + sources[1] + ": JPEG error #53")) << result.err;

    // The report, on standard error, gives the same counts; the disk holds the
    // outputs the record names and nothing else.
    EXPECT_TRUE(contains(result.err, "Processed Image Files: 6\n")) << result.err;
    EXPECT_TRUE(contains(result.err, "Skipped: 1 (their outputs exist)\n")) << result.err;
    EXPECT_TRUE(contains(result.err, "Failed: 2\n")) << result.err;
    EXPECT_FALSE(contains(result.out, "Processed")) << result.out;
    EXPECT_EQ(counts["converted"], 3);
    EXPECT_EQ(filesUnder(out).size(), 4u);  // three written, one kept
    std::int64_t onDisk = 0;
    for (const RecordRow& row : rows) {
        if (row.status == "converted") {
            onDisk += platform::fileSizeBytes(*row.output);
        }
    }
    EXPECT_EQ(onDisk, bytesOut);
    EXPECT_GT(bytesIn, 0);
}

// Shards of one list, N from 1 to 5: each file is converted by exactly one of
// them and none is left out; a folder in the list is shared out by its files.
TEST_F(CliMany, ShardsAreDisjointAndCoverTheList) {
    std::vector<std::string> paths;
    const char* pictures[] = {"pngsuite/basn0g08.png", "pngsuite/basn2c08.png",
                              "pngsuite/basn3p08.png", "pngsuite/basn6a08.png"};
    for (int i = 0; i < 16; ++i) {
        paths.push_back(copy(pictures[i % 4], "in/p" + std::to_string(i) + ".png"));
    }
    for (int i = 0; i < 8; ++i) {
        copy(pictures[i % 4], "in/folder/sub/f" + std::to_string(i) + ".png");
    }
    const std::string lines = list("list", {}, '\n');
    writeText(lines, [&] {
        std::string text;
        for (const std::string& path : paths) {
            text += path + "\n";
        }
        return text + scratch_.file("in/folder") + "\n";
    }());
    const std::size_t total = paths.size() + 8;

    // The sources each shard converted, by a record of each.
    std::map<std::uint32_t, std::vector<std::set<std::string>>> taken;
    for (std::uint32_t n = 1; n <= 5; ++n) {
        const std::string out = scratch_.file("out" + std::to_string(n));
        std::set<std::string> all;
        for (std::uint32_t k = 1; k <= n; ++k) {
            const std::string shard = std::to_string(k) + "/" + std::to_string(n);
            const Outcome result = cli({"--shard", shard, "--json", "--keep-tree", "-j", "1", "-d",
                                        out, "--files-from", lines});
            ASSERT_EQ(result.status, 0) << shard << ": " << result.err;
            EXPECT_TRUE(contains(result.err, "Shard " + shard)) << result.err;
            std::set<std::string> mine;
            for (const RecordRow& row : readRecord(result.outFile)) {
                EXPECT_EQ(row.status, "converted") << row.source;
                EXPECT_TRUE(mine.insert(row.source).second) << row.source << " twice";
                EXPECT_TRUE(all.insert(row.source).second)
                    << row.source << " converted by two shards of " << n;
            }
            taken[n].push_back(mine);
        }
        EXPECT_EQ(all.size(), total) << "shards of " << n;
        EXPECT_EQ(filesUnder(out).size(), total) << "shards of " << n;
    }
    // Not all in one shard: the folder's files are shared out too.
    for (const std::set<std::string>& share : taken[5]) {
        EXPECT_LT(share.size(), total);
    }

    // --shard auto, numbered as a Slurm array from 0 or from 1, or as a
    // Kubernetes Indexed Job: the same shards as K/N.
    struct Auto {
        std::map<std::string, std::string> env;
        std::vector<std::string> flags;
        std::uint32_t k;
    };
    const Auto cases[] = {
        {{{"SLURM_ARRAY_TASK_ID", "0"},
          {"SLURM_ARRAY_TASK_MIN", "0"},
          {"SLURM_ARRAY_TASK_COUNT", "3"}},
         {},
         1},
        {{{"SLURM_ARRAY_TASK_ID", "3"},
          {"SLURM_ARRAY_TASK_MIN", "1"},
          {"SLURM_ARRAY_TASK_COUNT", "3"}},
         {},
         3},
        {{{"JOB_COMPLETION_INDEX", "1"}, {"IMBRIX_SHARD_COUNT", "3"}}, {}, 2},
        {{{"JOB_COMPLETION_INDEX", "2"}}, {"--shard-count", "3"}, 3},
    };
    for (const Auto& c : cases) {
        std::vector<std::string> args = {
            "--shard", "auto", "--json", "-d", scratch_.file("auto"), "--files-from", lines};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        const Outcome result = cli(args, {}, c.env);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(contains(result.err, "Shard " + std::to_string(c.k) + "/3 (")) << result.err;
        std::set<std::string> sources;
        for (const RecordRow& row : readRecord(result.outFile)) {
            sources.insert(row.source);
        }
        EXPECT_EQ(sources, taken[3][c.k - 1]) << result.err;
    }
    for (const Auto& c : {Auto{{}, {}, 0}, Auto{{{"JOB_COMPLETION_INDEX", "0"}}, {}, 0}}) {
        const Outcome result = cli({"--shard", "auto", "--files-from", lines}, {}, c.env);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_TRUE(contains(result.err, "shard auto needs") ||
                    contains(result.err, "gives no shard count"))
            << result.err;
    }
    EXPECT_EQ(cli({"--shard", "4/3", "--files-from", lines}).status, 2);
    EXPECT_EQ(cli({"--shard-count", "3", "--files-from", lines}).status, 2);

    // A shard that the list gives nothing: said, and no failure.
    const std::string one = list("one", {paths[0]}, '\n');
    int empty = 0;
    for (std::uint32_t k = 1; k <= 5; ++k) {
        const Outcome result = cli({"--shard", std::to_string(k) + "/5", "--json", "-d",
                                    scratch_.file("single"), "--files-from", one});
        EXPECT_EQ(result.status, 0) << result.err;
        if (contains(result.err, "none of the 1 files is this shard's")) {
            ++empty;
            EXPECT_TRUE(result.out.empty());
        }
    }
    EXPECT_EQ(empty, 4);
}

// A re-run of the failures of a record converts those files and only those,
// each where the first run would have put it.
TEST_F(CliMany, RetryFailedConvertsOnlyTheFailures) {
    const std::string good = copy("pngsuite/basn2c08.png", "in/good.png");
    const std::string broken = scratch_.file("in/sub/broken.png");
    const std::string gone = scratch_.file("in/gone.png");
    std::vector<std::uint8_t> bytes = readBytes(corpusDir() / "pngsuite/basn6a08.png");
    const std::vector<std::uint8_t> whole = bytes;
    bytes.resize(bytes.size() / 2);  // cut short
    fs::create_directories(scratch_.path() / "in/sub");
    writeBytes(broken, bytes);
    const std::string out = scratch_.file("out");

    Outcome first = cli({"--json", "--keep-tree", "-d", out, scratch_.file("in"), gone});
    EXPECT_EQ(first.status, 1) << first.err;
    const std::vector<RecordRow> rows = readRecord(first.outFile);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(filesUnder(out), std::vector<std::string>{"good.png"});

    // The causes mended, the failures go again.
    writeBytes(broken, whole);
    fs::copy_file(corpusDir() / "pngsuite/basn0g08.png", gone);
    const Outcome retry =
        cli({"--json", "--keep-tree", "-d", out, "--retry-failed", first.outFile.string()});
    ASSERT_EQ(retry.status, 0) << retry.err;
    std::set<std::string> retried;
    for (const RecordRow& row : readRecord(retry.outFile)) {
        EXPECT_EQ(row.status, "converted");
        retried.insert(row.source);
    }
    EXPECT_EQ(retried, (std::set<std::string>{broken, gone}));
    // The file of the folder goes to its subfolder again (its base folder is in the record).
    EXPECT_EQ(filesUnder(out),
              (std::vector<std::string>{"gone.png", "good.png", "sub/broken.png"}));

    // Nothing failed the second time: a third run has nothing to do, and that
    // is no failure.
    const Outcome nothing = cli({"--retry-failed", retry.outFile.string()});
    EXPECT_EQ(nothing.status, 0) << nothing.err;
    EXPECT_TRUE(contains(nothing.err, "No file of " + retry.outFile.string() + " failed"))
        << nothing.err;
    EXPECT_FALSE(contains(nothing.err, "Processed")) << nothing.err;
}

// Workers started at once, each with files of the same names, all into one
// folder: every file arrives under a name of its own, none overwrites another,
// and the records name exactly the files on disk.
TEST_F(CliMany, WorkersSharingOneDestinationLoseNothing) {
    constexpr int kWorkers = 4;
    constexpr int kFiles = 12;
    const char* pictures[kWorkers] = {"pngsuite/basn0g08.png", "pngsuite/basn2c08.png",
                                      "pngsuite/basn3p08.png", "pngsuite/basn6a08.png"};
    const std::string out = scratch_.file("shared");
    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; ++w) {
        std::vector<std::string> paths;
        for (int i = 0; i < kFiles; ++i) {
            paths.push_back(
                copy(pictures[w], "w" + std::to_string(w) + "/p" + std::to_string(i) + ".png"));
        }
        workers.push_back(start({"--json", "-j", "2", "-f", "bmp", "-d", out, "--files-from",
                                 list("list" + std::to_string(w), paths, '\n')}));
    }
    std::set<std::string> outputs;
    for (int w = 0; w < kWorkers; ++w) {
        const Outcome result = finish(workers[w]);
        EXPECT_EQ(result.status, 0) << result.err;
        const std::vector<RecordRow> rows = readRecord(result.outFile);
        EXPECT_EQ(rows.size(), static_cast<std::size_t>(kFiles));
        const std::uintmax_t size = fs::file_size(corpusDir() / pictures[w]);
        for (const RecordRow& row : rows) {
            ASSERT_EQ(row.status, "converted") << row.source;
            EXPECT_TRUE(outputs.insert(*row.output).second) << *row.output << " written twice";
            EXPECT_EQ(row.bytesIn, static_cast<std::int64_t>(size));
            // Still this worker's picture: the same size as it was written.
            EXPECT_EQ(platform::fileSizeBytes(*row.output), row.bytesOut) << *row.output;
        }
    }
    const std::vector<std::string> onDisk = filesUnder(out);
    EXPECT_EQ(onDisk.size(), static_cast<std::size_t>(kWorkers * kFiles));
    std::set<std::string> named;
    for (const std::string& name : onDisk) {
        named.insert(out + "/" + name);
    }
    EXPECT_EQ(named, outputs);
    // Each name of the sequence, with no gap: p0.bmp, p0 (2).bmp, ... p0 (4).bmp.
    for (int i = 0; i < kFiles; ++i) {
        const std::string stem = out + "/p" + std::to_string(i);
        EXPECT_TRUE(named.count(stem + ".bmp"));
        for (int n = 2; n <= kWorkers; ++n) {
            EXPECT_TRUE(named.count(stem + " (" + std::to_string(n) + ").bmp")) << stem << " " << n;
        }
    }
}

}  // namespace
}  // namespace imbrix::test
