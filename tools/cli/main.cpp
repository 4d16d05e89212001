// imbrix-cli: converts image files, and the image files in folders, to one
// format with the same engine, names and messages as the desktop program.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "convert/chunkedrun.h"
#include "convert/pathlist.h"
#include "convert/run.h"
#include "convert/shard.h"
#include "convert/timeleft.h"
#include "platform/files.h"
#include "platform/system.h"
#include "tools/cli/record.h"
#include "tools/cli/sources.h"

namespace {

using namespace imbrix;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: imbrix-cli [options] [--] PATH...\n"
    "       imbrix-cli [options] --files-from LIST [--null] [--json] [--shard K/N]\n"
    "Converts image files, and the image files in folders, to one format.\n"
    "No existing file is ever overwritten: a taken name gets \" (2)\", \" (3)\", ... added\n"
    "(or, with --skip-existing, the file is skipped).\n"
    "\n"
    "Options:\n"
    "  -f, --format NAME    output format, any letter case (default PNG): PNG WEBP JPG\n"
    "                       JPEG JFIF TIF TIFF GIF BMP ICO WMP AVIF PSD SVG TGA JXL JP2 PDF\n"
    "  -q, --quality N      quality, 1 to 100 (default 100)\n"
    "  -g, --grayscale      convert to grayscale\n"
    "      --strip-metadata\n"
    "                       remove EXIF (GPS included), XMP, IPTC and comments from the\n"
    "                       outputs; the colour profile is kept, so colours stay right\n"
    "  -d, --dest DIR       write every output to DIR, created when missing\n"
    "                       (default: the folder of each source)\n"
    "      --keep-tree      with --dest: each file of a folder PATH goes to the same\n"
    "                       subfolder under DIR as it was in under PATH\n"
    "      --base DIR       with --keep-tree: a file given on its own (a PATH, a line of\n"
    "                       a list) under DIR goes to the same subfolder under --dest\n"
    "                       as it is in under DIR (as if the folder DIR had been given)\n"
    "      --no-subfolders  take only the files directly in a folder PATH\n"
    "      --skip-existing  convert no file whose output name exists already; such\n"
    "                       files are counted as skipped, not as failed\n"
    "      --keep-dates     give each output its source's modification time\n"
    "      --resize SPEC    resize every picture, keeping its proportions: fit:WxH\n"
    "                       (inside W x H pixels), long:N (the longer side N pixels)\n"
    "                       or percent:P; sides 1 to 65535, percent 1 to 1000\n"
    "      --enlarge        let --resize make smaller pictures larger too (by default\n"
    "                       they keep their size)\n"
    "  -j, --jobs N         files converted at once (default: one per processor core;\n"
    "                       more than 4 per core are reduced to that, with a note)\n"
    "      --memory SIZE    memory the run's pictures may hold at once, as 512M, 2G, ...\n"
    "                       (K, M, G; a bare number is M; default: half of the machine's\n"
    "                       memory). A picture that alone needs more fails.\n"
    "      --files-from LIST  convert the paths in the file LIST too ('-': standard\n"
    "                       input), one per line, read as the run goes (a list of\n"
    "                       millions is never held whole); a folder is walked as a\n"
    "                       PATH is. Empty lines are passed over\n"
    "  -0, --null           LIST's paths each end with a zero byte, as find -print0\n"
    "                       writes them (names may then hold line breaks)\n"
    "      --json           write one JSON line for each file to standard output as it\n"
    "                       finishes, in list order: source, output, status\n"
    "                       (converted, failed, skipped), error, bytes_in, bytes_out,\n"
    "                       ms; the report and messages go to standard error\n"
    "      --retry-failed RECORD\n"
    "                       convert the files that a --json record (a file of its\n"
    "                       lines, '-' for standard input) gives as failed\n"
    "      --shard K/N      convert only this process's share of the files, the K-th\n"
    "                       of N: a file is shard FNV-1a-64(its path) mod N + 1,\n"
    "                       hashing the path as given (not made absolute), so every\n"
    "                       worker given the same list agrees, whatever its folder\n"
    "      --shard auto     K and N from a Slurm job array (SLURM_ARRAY_TASK_ID,\n"
    "                       _MIN, _STEP, _COUNT) or a Kubernetes Indexed Job\n"
    "                       (JOB_COMPLETION_INDEX + 1 of IMBRIX_SHARD_COUNT)\n"
    "      --shard-count N  with --shard auto: N for a Kubernetes Indexed Job\n"
    "  -v, --verbose        print the external converter's log\n"
    "  -h, --help           print this help and exit\n"
    "      --version        print the version and exit\n"
    "  --                   end of the options: every later argument is a PATH, even\n"
    "                       one that starts with '-' (put it before names a wildcard\n"
    "                       made)\n"
    "\n"
    "Examples:\n"
    "  imbrix-cli --format webp --quality 80 --dest ~/web -- ~/Pictures/holiday\n"
    "  imbrix-cli -f jpg -- *.png\n"
    "  imbrix-cli -f jpg --resize long:1920 --keep-tree --skip-existing --dest ~/small \\\n"
    "      -- ~/Pictures\n"
    "  find /archive -name '*.tif' -print0 |\n"
    "      imbrix-cli -f webp --dest /web --null --files-from - --json > record.jsonl\n"
    "  imbrix-cli -f webp --dest /web --retry-failed record.jsonl --json > retry.jsonl\n"
    "\n"
    "Signals:\n"
    "  SIGINT, SIGTERM or SIGHUP stops the run: the files done so far are reported,\n"
    "  the file being converted is dropped and nothing of it is left behind.\n"
    "\n"
    "Exit status:\n"
    "  0 when no file failed (a skipped file is no failure), 1 when any failed (or a\n"
    "  list could not be read whole), 2 for bad options or a list or record that\n"
    "  cannot be opened, 128 + the signal's number when a signal stopped the run.\n";
// The help's ranges for --resize.
static_assert(imaging::kMaxResizeSide == 65535 && imaging::kMaxResizePercent == 1000);

struct Options {
    convert::ConversionOptions conversion;
    bool enlarge = false;  // applied to the resize once every option is read
    unsigned jobs = 0;
    std::uint64_t memory = 0;
    bool subfolders = true;
    bool verbose = false;
    std::vector<std::string> paths;
    std::string base;      // --base
    std::string listFile;  // --files-from
    bool nulSeparated = false;
    std::string retryRecord;  // --retry-failed
    bool json = false;
    std::optional<convert::Shard> shard;
    std::string shardOrigin;  // where --shard auto found it
};

class UsageError : public std::exception {
public:
    explicit UsageError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// "512M", "2G", "1048576K", "300" (megabytes): bytes, or nothing when malformed.
std::optional<std::uint64_t> parseMemorySize(const std::string& text) {
    std::string digits = text;
    std::uint64_t unit = std::uint64_t{1} << 20;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'K':
            case 'k':
                unit = std::uint64_t{1} << 10;
                digits.pop_back();
                break;
            case 'M':
            case 'm':
                digits.pop_back();
                break;
            case 'G':
            case 'g':
                unit = std::uint64_t{1} << 30;
                digits.pop_back();
                break;
            default:
                break;
        }
    }
    if (digits.empty() || digits.size() > 12 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(digits) * unit;
}

std::optional<long> parseNumber(const std::string& text) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// "fit:WxH", "long:N" or "percent:P", each number in its range.
imaging::ResizeOptions parseResize(const std::string& spec) {
    const std::size_t colon = spec.find(':');
    const std::string kind = colon == std::string::npos ? spec : spec.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : spec.substr(colon + 1);
    const auto number = [&spec](const std::string& text, std::uint32_t most, const char* what) {
        const std::optional<long> n = parseNumber(text);
        if (!n || *n < 1 || *n > static_cast<long>(most)) {
            throw UsageError("resize " + std::string(what) + " must be a number from 1 to " +
                             std::to_string(most) + ", not \"" + text + "\" (in \"" + spec + "\")");
        }
        return static_cast<std::uint32_t>(*n);
    };
    imaging::ResizeOptions resize;
    if (kind == "fit") {
        const std::size_t x = value.find_first_of("xX");
        if (x == std::string::npos) {
            throw UsageError("resize fit needs a box as WxH, as fit:1920x1080, not \"" + spec +
                             "\"");
        }
        resize.mode = imaging::ResizeMode::Fit;
        resize.width = number(value.substr(0, x), imaging::kMaxResizeSide, "width");
        resize.height = number(value.substr(x + 1), imaging::kMaxResizeSide, "height");
    } else if (kind == "long") {
        resize.mode = imaging::ResizeMode::LongSide;
        resize.longSide = number(value, imaging::kMaxResizeSide, "side");
    } else if (kind == "percent") {
        resize.mode = imaging::ResizeMode::Percent;
        resize.percent = number(value, imaging::kMaxResizePercent, "percent");
    } else {
        throw UsageError("resize must be fit:WxH, long:N or percent:P, not \"" + spec + "\"");
    }
    return resize;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// Returns nothing when the program is done (help, version).
std::optional<Options> parseArguments(int argc, char** argv) {
    Options options;
    options.conversion.format = "PNG";
    options.conversion.quality = imaging::kDefaultQuality;
    options.conversion.destination = convert::kSameFolderAsOriginal;

    bool optionsEnded = false;
    std::optional<std::string> shardText;
    std::optional<std::string> shardCountText;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.paths.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> attached;  // --name=value, or -Xvalue for a short option
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                attached = arg.substr(eq + 1);
                arg.erase(eq);
            }
        } else if (arg.size() > 2 &&
                   std::string_view("fqdj").find(arg[1]) != std::string_view::npos) {
            attached = arg.substr(2);
            arg.erase(2);
        }
        const auto value = [&]() -> std::string {
            if (attached) {
                return *attached;
            }
            if (i + 1 >= argc) {
                throw UsageError("option " + arg + " needs a value");
            }
            return argv[++i];
        };
        const auto noValue = [&] {
            if (attached) {
                throw UsageError("option " + arg + " takes no value");
            }
        };

        if (arg == "-f" || arg == "--format") {
            const std::string format = upper(value());
            if (!convert::isOutputFormat(format)) {
                throw UsageError("unknown format \"" + format + "\"");
            }
            options.conversion.format = format;
        } else if (arg == "-q" || arg == "--quality") {
            const std::string text = value();
            const std::optional<long> quality = parseNumber(text);
            if (!quality || *quality < 1 || *quality > 100) {
                throw UsageError("quality must be a number from 1 to 100, not \"" + text + "\"");
            }
            options.conversion.quality = static_cast<int>(*quality);
        } else if (arg == "-g" || arg == "--grayscale") {
            noValue();
            options.conversion.grayscale = true;
        } else if (arg == "--strip-metadata") {
            noValue();
            options.conversion.stripMetadata = true;
        } else if (arg == "-d" || arg == "--dest") {
            const std::string dest = value();
            if (dest.empty()) {
                throw UsageError("the destination folder must not be empty");
            }
            options.conversion.destination = dest;
        } else if (arg == "--base") {
            options.base = value();
            if (options.base.empty()) {
                throw UsageError("the base folder must not be empty");
            }
        } else if (arg == "--keep-tree") {
            noValue();
            options.conversion.keepFolderStructure = true;
        } else if (arg == "--skip-existing") {
            noValue();
            options.conversion.existingOutput = convert::ExistingOutput::Skip;
        } else if (arg == "--keep-dates") {
            noValue();
            options.conversion.keepFileDates = true;
        } else if (arg == "--resize") {
            options.conversion.resize = parseResize(value());
        } else if (arg == "--enlarge") {
            noValue();
            options.enlarge = true;
        } else if (arg == "--no-subfolders") {
            noValue();
            options.subfolders = false;
        } else if (arg == "-j" || arg == "--jobs") {
            const std::string text = value();
            const std::optional<long> jobs = parseNumber(text);
            if (!jobs || *jobs < 1 || *jobs > 1024) {
                throw UsageError("jobs must be a number from 1 to 1024, not \"" + text + "\"");
            }
            options.jobs = static_cast<unsigned>(*jobs);
        } else if (arg == "--memory") {
            const std::string text = value();
            const std::optional<std::uint64_t> bytes = parseMemorySize(text);
            if (!bytes || *bytes < (std::uint64_t{64} << 20)) {
                throw UsageError("memory must be a size of at least 64M (as 512M or 2G), not \"" +
                                 text + "\"");
            }
            options.memory = *bytes;
        } else if (arg == "--files-from") {
            options.listFile = value();
            if (options.listFile.empty()) {
                throw UsageError("option --files-from needs a file name ('-': standard input)");
            }
        } else if (arg == "--null" || arg == "-0") {
            noValue();
            options.nulSeparated = true;
        } else if (arg == "--retry-failed") {
            options.retryRecord = value();
            if (options.retryRecord.empty()) {
                throw UsageError("option --retry-failed needs a file name ('-': standard input)");
            }
        } else if (arg == "--json") {
            noValue();
            options.json = true;
        } else if (arg == "--shard") {
            shardText = value();
        } else if (arg == "--shard-count") {
            shardCountText = value();
        } else if (arg == "-v" || arg == "--verbose") {
            noValue();
            options.verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return std::nullopt;
        } else if (arg == "--version") {
            std::cout << "imbrix-cli " IMBRIX_VERSION_TEXT "\n";
            return std::nullopt;
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    if (options.paths.empty() && options.listFile.empty() && options.retryRecord.empty()) {
        throw UsageError("no PATH given (nor --files-from or --retry-failed)");
    }
    if (options.nulSeparated && options.listFile.empty()) {
        throw UsageError("option --null needs --files-from");
    }
    if (options.listFile == "-" && options.retryRecord == "-") {
        throw UsageError("--files-from and --retry-failed cannot both read standard input");
    }
    try {
        if (shardCountText && shardText != "auto") {
            throw UsageError("option --shard-count needs --shard auto");
        }
        if (shardText == "auto") {
            std::optional<std::uint32_t> count;
            if (shardCountText) {
                count = convert::parseShardCount(*shardCountText, "shard count");
            }
            const convert::ShardFromEnvironment found = convert::shardFromEnvironment(
                [](const char* name) -> std::optional<std::string> {
                    const char* value = std::getenv(name);
                    return value ? std::optional<std::string>(value) : std::nullopt;
                },
                count);
            options.shard = found.shard;
            options.shardOrigin = found.origin;
        } else if (shardText) {
            options.shard = convert::parseShard(*shardText);
        }
    } catch (const convert::ShardError& e) {
        throw UsageError(e.what());
    }
    if (options.conversion.keepFolderStructure &&
        options.conversion.destination == convert::kSameFolderAsOriginal) {
        throw UsageError("option --keep-tree needs --dest");
    }
    if (!options.base.empty() && !options.conversion.keepFolderStructure) {
        throw UsageError("option --base needs --keep-tree");
    }
    if (options.enlarge && !options.conversion.resize.active()) {
        throw UsageError("option --enlarge needs --resize");
    }
    options.conversion.resize.enlarge = options.enlarge;
    return options;
}

// A message box text on a terminal: each line of it on a line of its own.
std::string messageLines(const std::string& message) {
    std::string text;
    std::size_t start = 0;
    while (start <= message.size()) {
        std::size_t end = message.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = message.size();
        }
        if (end > start) {
            if (!text.empty()) {
                text += "\n  ";
            }
            text += message.substr(start, end - start);
        }
        start = end + 1;
    }
    return text;
}

class ConsoleReporter final : public convert::RunReporter {
public:
    ConsoleReporter(std::size_t total, bool verbose)
        : total_(total), verbose_(verbose), progress_(::isatty(STDERR_FILENO) == 1) {}

    ~ConsoleReporter() override { clearProgress(); }

    void status(const std::string& text) override {
        if (!progress_ || text.empty()) {
            return;
        }
        clearProgress();
        std::cerr << "[" << done_ + 1 << "/" << total_;
        if (const auto left = timeLeft_.left()) {
            std::cerr << ", " << convert::clockText(*left) << " left";
        }
        std::cerr << "] " << text << std::flush;
        shown_ = true;
    }
    void fileFailed(std::size_t, const std::string& source, const std::string& message) override {
        clearProgress();
        std::cerr << "ERROR: " << source << ": " << messageLines(message) << "\n";
    }
    void fileConverted(std::size_t, const std::string& source, const std::string& output) override {
        if (verbose_) {
            clearProgress();
            std::cout << source << " -> " << output << "\n" << std::flush;
        }
    }
    void fileSkipped(std::size_t, const std::string& source, const std::string& existing) override {
        if (verbose_) {
            clearProgress();
            std::cout << source << " -> " << existing << " (exists: skipped)\n" << std::flush;
        }
    }
    void warning(const std::string& caption, const std::string& text, convert::RunCheck) override {
        clearProgress();
        std::cerr << caption << ": " << text << "\n";
    }
    void converterLog(const std::string& text) override {
        if (verbose_) {
            clearProgress();
            std::cout << text << std::flush;
        }
    }
    void progress(const convert::RunProgress& progress) override {
        done_ = progress.done;
        total_ = progress.total;
        timeLeft_.progress(progress);
    }

    void clearProgress() {
        if (shown_) {
            std::cerr << "\r\033[K" << std::flush;
            shown_ = false;
        }
    }

private:
    std::size_t total_;
    std::size_t done_ = 0;  // files processed, from the run's progress
    convert::RunTimeLeft timeLeft_;
    bool verbose_;
    bool progress_;
    bool shown_ = false;
};

// SIGINT, SIGTERM and SIGHUP stop the run through its stop token, so that it
// ends its converters and removes its temporary files on the way out. The
// signals are blocked in every thread (set before any is started) and taken by
// one thread of their own; no handler runs.
class SignalStop {
public:
    SignalStop() {
        sigemptyset(&signals_);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&signals_, sig);
        }
        ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::jthread([this](std::stop_token end) { wait(end); });
    }

    std::stop_token token() const { return source_.get_token(); }
    /// The signal that stopped the run, 0 when none came.
    int signal() const { return signal_.load(); }

private:
    void wait(std::stop_token end) {
        const timespec tick{0, 100'000'000};
        while (!end.stop_requested()) {
            const int sig = ::sigtimedwait(&signals_, nullptr, &tick);
            if (sig > 0) {
                int none = 0;
                if (signal_.compare_exchange_strong(none, sig)) {
                    source_.request_stop();
                }
            }
        }
    }

    sigset_t signals_;
    std::stop_source source_;
    std::atomic<int> signal_{0};
    std::jthread thread_;  // last: started once the rest exists
};

// With --json the human report goes to standard error: standard output holds
// the record alone.
class ReportToStandardError {
public:
    explicit ReportToStandardError(bool active)
        : saved_(active ? std::cout.rdbuf(std::cerr.rdbuf()) : nullptr) {}
    ~ReportToStandardError() {
        if (saved_) {
            std::cout.flush();
            std::cout.rdbuf(saved_);
        }
    }
    ReportToStandardError(const ReportToStandardError&) = delete;
    ReportToStandardError& operator=(const ReportToStandardError&) = delete;

private:
    std::streambuf* saved_;
};

int run(const Options& options, cli::Sources& sources, const SignalStop& signals) {
    convert::ConversionEnvironment environment;
    environment.programFolder = platform::programFolder();
    environment.dataFolder = platform::chooseDataFolder(environment.programFolder,
                                                        IMBRIX_COMPANY_NAME, IMBRIX_PRODUCT_NAME);
    environment.jobs = options.jobs;
    environment.memoryLimit = options.memory;
    if (options.jobs > 0) {
        const unsigned allowed = convert::workerCount(options.jobs, options.jobs);
        if (allowed < options.jobs) {
            std::cerr << "Note: --jobs " << options.jobs << " reduced to " << allowed
                      << " (at most " << convert::kMaxJobsPerCore << " per processor core)\n";
        }
    }
    if (options.shard) {
        std::cerr << "Shard " << options.shard->index << "/" << options.shard->count;
        if (!options.shardOrigin.empty()) {
            std::cerr << " (" << options.shardOrigin << ")";
        }
        std::cerr << "\n";
    }

    const ReportToStandardError toStandardError(options.json);
    ConsoleReporter console(0, options.verbose);
    cli::RecordReporter record(console, STDOUT_FILENO);
    convert::RunReporter& reporter = options.json ? static_cast<convert::RunReporter&>(record)
                                                  : static_cast<convert::RunReporter&>(console);
    // The list is read as the run goes: its files are converted in parts.
    convert::ChunkedRun chunked(options.conversion, environment, reporter, convert::Translator{},
                                signals.token());
    // A list that comes slowly (a pipe from a queue) is converted as it comes:
    // while its writer keeps it waiting, the files read so far go ahead.
    const cli::SourceCounts counts =
        sources.feed([&chunked](convert::SourceFile file) { return chunked.add(std::move(file)); },
                     [&chunked] { chunked.flush(); }, signals.token(), std::cerr);

    if (counts.taken == 0 && counts.files > 0 && options.shard && signals.signal() == 0) {
        // Other shards have the files; this one has none of them.
        std::cerr << "Shard " << options.shard->index << "/" << options.shard->count
                  << ": none of the " << counts.files << " files is this shard's\n";
        return counts.problems > 0 ? kExitFailed : 0;
    }
    if (counts.files == 0 && options.paths.empty() && options.listFile.empty() &&
        signals.signal() == 0) {
        // A re-run of a record in which nothing failed.
        std::cerr << "No file of " << options.retryRecord << " failed: nothing to convert again\n";
        return counts.problems > 0 ? kExitFailed : 0;
    }
    const std::optional<convert::RunSummary> summary = chunked.finish();
    console.clearProgress();
    if (!summary) {
        return kExitFailed;
    }
    std::cout << "Processed Image Files: " << summary->processed << "\n"
              << "Elapsed Time: " << summary->elapsed << "\n"
              << summary->diskSpaceCaption << " " << summary->diskSpaceValue << "\n";
    if (summary->skippedCount > 0) {
        std::cout << "Skipped: " << summary->skippedCount << " (their outputs exist)\n";
    }
    if (summary->failedCount > 0) {
        std::cout << "Failed: " << summary->failedCount << "\n";
    }
    std::cout << std::flush;
    if (signals.signal() != 0) {
        std::cerr << "Stopped by signal " << signals.signal() << " after " << summary->fileCount
                  << " of " << summary->listCount << " files\n";
        return 128 + signals.signal();
    }
    if (!std::cout) {
        std::cerr << "imbrix-cli: cannot write the report to standard output\n";
        return kExitFailed;
    }
    return summary->failedCount > 0 || counts.problems > 0 ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Every file needs buffers of about the same sizes: keep freed memory for the
    // next file instead of returning it to the system and faulting it in again.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // A reader that went away (a closed pipe) makes writes fail, not the program die.
    ::signal(SIGPIPE, SIG_IGN);
    std::optional<Options> options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "imbrix-cli: " << e.what() << "\n"
                  << "Try 'imbrix-cli --help' for more information.\n";
        return kExitUsage;
    }
    if (!options) {
        return 0;
    }
    std::optional<cli::Sources> sources;
    try {
        sources.emplace(cli::SourceOptions{options->paths, options->listFile, options->nulSeparated,
                                           options->retryRecord, options->subfolders,
                                           options->shard, options->base});
    } catch (const convert::PathListError& e) {
        std::cerr << "imbrix-cli: " << e.what() << "\n";
        return kExitUsage;
    }
    try {
        const SignalStop signals;
        return run(*options, *sources, signals);
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return kExitFailed;
    }
}
