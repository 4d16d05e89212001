// Imbrix conversion engine: the conversion run.
//
// Workers prepare files (decode, convert, encode into a temporary file) in list
// order, a bounded distance ahead; the calling thread takes the results in list
// order, gives each output its name, adds up the sizes and reports. So names,
// bytes and messages are those of a one-at-a-time run.
//
// Nothing a worker meets leaves its thread: a file that throws fails with the
// exception's text, and anything worse (no memory even for that) ends the run
// with the exception on the calling thread. Whatever ends the run early, a stop
// or an exception, the pool is joined and drops the files it holds, which
// removes their temporary outputs.
#include "convert/run.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <thread>

#include "convert/convertfile.h"
#include "platform/files.h"
#include "platform/system.h"

namespace imbrix::convert {

namespace {

// How often the waiting caller hears idle().
constexpr std::chrono::milliseconds kIdleInterval{30};

class WorkerPool {
public:
    WorkerPool(const std::vector<SourceFile>& files, const ConversionOptions& options,
               const FileSettings& settings, unsigned workers, std::stop_token stop)
        : files_(files),
          options_(options),
          settings_(settings),
          results_(files.size()),
          // Workers run this many files ahead of the last named one: enough to
          // keep every core busy, few enough to bound the waiting temporary files.
          window_(std::size_t{workers} * 2 + 1),
          stop_(std::move(stop)),
          onStop_(stop_, [this] { halt(); }) {
        threads_.reserve(workers);
        try {
            for (unsigned i = 0; i < workers; ++i) {
                threads_.emplace_back([this] { workGuarded(); });
            }
        } catch (...) {
            halt();
            joinAll();
            throw;
        }
    }

    ~WorkerPool() {
        halt();
        joinAll();
    }

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// Waits for file `index`, calling `idle` while it waits. Nothing when the run
    /// was stopped meanwhile; rethrows what ended a worker.
    template <typename Idle>
    std::optional<PreparedFile> take(std::size_t index, Idle idle) {
        std::unique_lock lock(mutex_);
        const auto ready = [&] { return results_[index].has_value() || halted_ || fatal_; };
        while (!ready()) {
            if (!resultCv_.wait_for(lock, kIdleInterval, ready)) {
                lock.unlock();
                idle();
                lock.lock();
            }
        }
        if (fatal_) {
            std::rethrow_exception(fatal_);
        }
        if (!results_[index] || stop_.stop_requested()) {
            return std::nullopt;
        }
        std::optional<PreparedFile> file = std::move(results_[index]);
        results_[index].reset();
        return file;
    }

    /// File `index` has taken its name or failed: later files may go ahead.
    void finished(std::size_t index) {
        {
            std::lock_guard lock(mutex_);
            finished_ = index + 1;
        }
        workCv_.notify_all();
    }

private:
    /// No more files are started; waiting threads wake.
    void halt() {
        {
            std::lock_guard lock(mutex_);
            halted_ = true;
        }
        workCv_.notify_all();
        resultCv_.notify_all();
    }

    void joinAll() {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

    // The thread's edge: what escapes work() ends the run on the calling thread.
    void workGuarded() noexcept {
        try {
            work();
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!fatal_) {
                fatal_ = std::current_exception();
            }
            halted_ = true;
            workCv_.notify_all();
            resultCv_.notify_all();
        }
    }

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            workCv_.wait(lock, [this] {
                return halted_ || next_ >= files_.size() || next_ < finished_ + window_;
            });
            if (halted_ || next_ >= files_.size()) {
                return;
            }
            const std::size_t index = next_++;
            lock.unlock();
            PreparedFile file = prepare(files_[index]);
            lock.lock();
            results_[index] = std::move(file);
            resultCv_.notify_all();
        }
    }

    PreparedFile prepare(const SourceFile& file) const {
        const std::string& source = file.path;
        try {
            return prepareFile(source, outputFolderFor(file, options_), settings_, stop_);
        } catch (const std::bad_alloc&) {
            return failed(source, FileError{FileError::Kind::OutOfMemory, {}});
        } catch (const std::exception& e) {
            return failed(source, FileError{FileError::Kind::Failed, e.what()});
        } catch (...) {
            return failed(source, FileError{FileError::Kind::Failed,
                                            "The file could not be converted: unknown error"});
        }
    }

    static PreparedFile failed(const std::string& source, FileError error) {
        PreparedFile file;
        file.source = source;
        file.sourceSize = GetFileSizeBytes(source);
        file.error = std::move(error);
        return file;
    }

    const std::vector<SourceFile>& files_;
    const ConversionOptions& options_;
    const FileSettings& settings_;
    std::vector<std::optional<PreparedFile>> results_;
    const std::size_t window_;

    std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable resultCv_;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    bool halted_ = false;
    std::exception_ptr fatal_;
    std::stop_token stop_;
    std::stop_callback<std::function<void()>> onStop_;  // after what halt() uses
    std::vector<std::thread> threads_;  // last: started after everything above exists
};

}  // namespace

unsigned workerCount(unsigned jobs, std::size_t files) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    if (jobs == 0) {
        jobs = cores;
    }
    jobs = std::min(jobs, cores * kMaxJobsPerCore);
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, files)));
}

std::uint64_t defaultMemoryLimit() {
    constexpr std::uint64_t kLeast = std::uint64_t{256} << 20;
    std::uint64_t limit = platform::physicalMemory() / 2;
    if (limit == 0) {
        limit = std::uint64_t{2} << 30;  // the machine does not say: a modest guess
    }
    limit = std::min(limit, platform::processMemoryLimit() / 2);
    return std::max(limit, kLeast);
}

namespace {

// A run killed before it could clean up leaves its temporary files in the
// folders it wrote to; the next run into those folders removes them (never those
// of a run still going on).
void removeStaleTemporaries(const std::vector<SourceFile>& files, const ConversionOptions& options,
                            const std::string& dataFolder) {
    std::set<std::string> folders{dataFolder};
    for (const SourceFile& file : files) {
        const std::string folder = outputFolderFor(file, options);
        folders.insert(folder.empty() ? std::string("./") : folder);
        if (options.destination != kSameFolderAsOriginal && !options.keepFolderStructure) {
            break;  // one folder for every file
        }
    }
    for (const std::string& folder : folders) {
        platform::removeStaleTempFiles(folder);
    }
}

// The write probe of the destination. Another run into the same folder (another
// worker of a batch split over processes) may be probing at this moment: its
// "chk.tmp" fails ours. Such a probe is gone within milliseconds, so a probe
// file that stays for a second is taken for a stale one.
bool destinationWritable(const std::string& folder) {
    constexpr int kTries = 20;
    constexpr std::chrono::milliseconds kPause{50};
    for (int attempt = 1;; ++attempt) {
        if (platform::isFolderWritable(folder)) {
            return true;
        }
        if (attempt == kTries || !platform::nameTaken(folder + "chk.tmp")) {
            return false;
        }
        std::this_thread::sleep_for(kPause);
    }
}

}  // namespace

bool isOutputFormat(const std::string& format) {
    return imaging::findOutputFormat(format) != nullptr;
}

std::string outputFolderFor(const std::string& source, const std::string& destination) {
    if (destination == kSameFolderAsOriginal) {
        return platform::extractFilePath(source);
    }
    return platform::withTrailingSlash(destination);
}

namespace {

// The parts of a path between its slashes, without "." and empty ones; an
// absolute path starts with "/". Lexical only: links are not looked at, so a
// link's name stands for a folder like any other.
std::vector<std::string_view> pathParts(std::string_view path) {
    std::vector<std::string_view> parts;
    if (!path.empty() && path.front() == '/') {
        parts.emplace_back("/");
    }
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

// The folder of `source` below `base`, "a/b/" (empty when it is `base` itself),
// or nothing when the source is not below it or the way down climbs ("..").
std::optional<std::string> folderBelow(const std::string& source, const std::string& base) {
    const std::string sourceFolder = platform::extractFilePath(source);
    const std::vector<std::string_view> folder = pathParts(sourceFolder);
    const std::vector<std::string_view> root = pathParts(base);
    const auto absolute = [](const std::vector<std::string_view>& parts) {
        return !parts.empty() && parts.front() == "/";
    };
    // A relative base ("photos", or "." itself) holds relative paths only.
    if (absolute(folder) != absolute(root) || folder.size() < root.size() ||
        !std::equal(root.begin(), root.end(), folder.begin())) {
        return std::nullopt;
    }
    std::string below;
    for (std::size_t i = root.size(); i < folder.size(); ++i) {
        if (folder[i] == "..") {
            return std::nullopt;
        }
        below.append(folder[i]).push_back('/');
    }
    return below;
}

}  // namespace

std::string outputFolderFor(const SourceFile& source, const ConversionOptions& options) {
    std::string folder = outputFolderFor(source.path, options.destination);
    if (!options.keepFolderStructure || options.destination == kSameFolderAsOriginal ||
        source.baseFolder.empty()) {
        return folder;
    }
    if (const std::optional<std::string> below = folderBelow(source.path, source.baseFolder)) {
        folder += *below;
    }
    return folder;
}

std::string outputCandidate(const std::string& source, const std::string& outputFolder,
                            const std::string& format) {
    return outputFolder + platform::stripFileExt(platform::extractFileName(source)) + "." +
           platform::asciiLower(format);
}

std::int64_t GetFileSizeBytes(const std::string& path) {
    return platform::fileSizeBytes(path);
}

std::optional<RunSummary> runConversion(const std::vector<std::string>& paths,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        RunReporter& reporter, const Translator& translate,
                                        std::stop_token stop) {
    std::vector<SourceFile> files;
    files.reserve(paths.size());
    for (const std::string& path : paths) {
        files.push_back({path, {}});
    }
    return runConversion(files, options, environment, reporter, translate, std::move(stop));
}

std::optional<RunSummary> runConversion(const std::vector<SourceFile>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        RunReporter& reporter, const Translator& translate,
                                        std::stop_token stop) {
    if (!isOutputFormat(options.format)) {
        throw std::invalid_argument("Unknown output format \"" + options.format + "\"");
    }
    const auto tr = [&translate](const std::string& text) {
        return translate ? translate(text) : text;
    };

    // The checks.
    if (files.empty()) {
        reporter.warning(tr("WARNING"), tr("No image files have been added!"), RunCheck::EmptyList);
        return std::nullopt;
    }
    if (options.destination != kSameFolderAsOriginal) {
        if (options.destination.empty()) {
            throw RunError("Unable to create directory");
        }
        if (!platform::folderExists(options.destination)) {
            platform::createFolders(options.destination);
        }
        if (!platform::folderExists(options.destination)) {
            reporter.warning(tr("WARNING"), tr("Directory does not exist!"),
                             RunCheck::DirectoryNotCreated);
            return std::nullopt;
        }
        if (!destinationWritable(platform::withTrailingSlash(options.destination))) {
            reporter.warning(tr("WARNING"), tr("Unable to write to directory!"),
                             RunCheck::DirectoryNotWritable);
            return std::nullopt;
        }
    }

    const std::uint32_t startTick = platform::tickCount();
    FileSettings settings;
    settings.format = options.format;
    settings.grayscale = options.grayscale;
    settings.stripMetadata = options.stripMetadata;
    settings.quality = std::clamp(options.quality, 1, 100);
    settings.resize = options.resize;
    settings.existingOutput = options.existingOutput;
    settings.keepFileDates = options.keepFileDates;
    // The destination exists (checked above); the subfolders of a kept tree are
    // made as their first outputs are written.
    settings.createOutputFolders =
        options.keepFolderStructure && options.destination != kSameFolderAsOriginal;
    settings.stages = stagesFor(settings);
    settings.dataFolder = platform::withTrailingSlash(environment.dataFolder);
    settings.converterPath = environment.converterPath.empty()
                                 ? environment.programFolder + "imagemagick/magick"
                                 : environment.converterPath;
    std::optional<imaging::MemoryBudget> ownBudget;
    if (environment.memory) {
        settings.memory = environment.memory;
    } else {
        settings.memory = &ownBudget.emplace(environment.memoryLimit > 0 ? environment.memoryLimit
                                                                         : defaultMemoryLimit());
    }
    settings.converterFolder = platform::extractFilePath(settings.converterPath);
    if (settings.converterFolder.size() > 1) {
        settings.converterFolder.pop_back();  // the working folder has no '/' at its end
    }

    if (environment.removeStaleTemporaries) {
        removeStaleTemporaries(files, options, settings.dataFolder);
    }

    RunSummary summary;
    summary.listCount = files.size();
    summary.files.reserve(files.size());
    RunProgress progress;
    progress.total = files.size();
    for (const SourceFile& file : files) {
        progress.sourceBytesTotal += std::max<std::int64_t>(GetFileSizeBytes(file.path), 0);
    }
    {
        WorkerPool pool(files, options, settings, workerCount(environment.jobs, files.size()),
                        stop);
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (stop.stop_requested()) {
                summary.stopped = true;
                break;
            }
            reporter.status("Converting " + files[i].path + "...");
            std::optional<PreparedFile> taken = pool.take(i, [&reporter] { reporter.idle(); });
            if (!taken) {
                summary.stopped = true;
                reporter.status("");
                break;
            }
            PreparedFile& prepared = *taken;
            FileOutcome outcome = finishFile(prepared);
            pool.finished(i);
            outcome.baseFolder = files[i].baseFolder;
            outcome.bytesIn = prepared.sourceSize;
            outcome.elapsedMs = prepared.elapsedMs;

            // A skipped file wrote nothing: its source is no part of the disk space figures.
            if (prepared.sourceSize >= 0 && !outcome.skipped) {
                summary.inputTotal += prepared.sourceSize;
            }
            for (const std::string& log : prepared.converterLogs) {
                reporter.converterLog(log);
            }
            if (outcome.skipped) {
                ++summary.skippedCount;
                reporter.fileSkipped(i, outcome.source, outcome.output);
            } else if (outcome.error.empty()) {
                const std::int64_t outputSize = GetFileSizeBytes(outcome.output);
                if (outputSize >= 0) {
                    summary.outputTotal += outputSize;
                    outcome.bytesOut = outputSize;
                }
                reporter.fileConverted(i, outcome.source, outcome.output);
            } else {
                outcome.error = failureMessage(outcome.error);
                ++summary.failedCount;
                reporter.fileFailed(i, outcome.source, outcome.error);
            }
            reporter.fileDone(i, outcome);
            summary.files.push_back(std::move(outcome));
            reporter.status("");

            progress.done = summary.files.size();
            progress.failed = summary.failedCount;
            progress.skipped = summary.skippedCount;
            progress.bytesIn = summary.inputTotal;
            progress.bytesOut = summary.outputTotal;
            progress.sourceBytesDone += std::max<std::int64_t>(prepared.sourceSize, 0);
            reporter.progress(progress);
        }
    }
    summary.fileCount = summary.files.size();

    summary.elapsedMs = platform::tickCount() - startTick;
    summary.difference = summary.inputTotal - summary.outputTotal;
    summary.percentage = roundedPercentage(summary.difference, summary.inputTotal);
    const DiskSpaceText disk =
        diskSpaceText(summary.inputTotal, summary.outputTotal, environment.decimalSeparator);
    summary.processed = std::to_string(summary.fileCount);
    summary.elapsed = TimeText(summary.elapsedMs, environment.decimalSeparator);
    summary.diskSpaceCaption = disk.caption;
    summary.diskSpaceValue = disk.value;
    return summary;
}

}  // namespace imbrix::convert
