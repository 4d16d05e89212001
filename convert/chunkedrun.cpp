// Imbrix conversion engine: a run over a list that arrives a file at a time.
#include "convert/chunkedrun.h"

#include <algorithm>
#include <utility>

#include "convert/runtexts.h"
#include "platform/files.h"
#include "platform/system.h"

namespace imbrix::convert {

namespace {

// The folders remembered as cleared of stale temporary files. A list spread over
// more folders than this forgets them and clears some twice: harmless, and the
// memory stays bounded.
constexpr std::size_t kMaxRememberedFolders = 100'000;

}  // namespace

// Passes a part's reports on as reports of the whole list.
class ChunkedRun::PartReporter final : public RunReporter {
public:
    /// `sourceBytesBefore`: the sources' bytes of the parts before this one.
    PartReporter(RunReporter& outer, const RunSummary& before, std::int64_t sourceBytesBefore)
        : outer_(outer),
          before_(before),
          base_(before.listCount),
          sourceBytesBefore_(sourceBytesBefore) {}

    void status(const std::string& text) override { outer_.status(text); }
    void fileFailed(std::size_t index, const std::string& source,
                    const std::string& message) override {
        outer_.fileFailed(base_ + index, source, message);
    }
    void fileConverted(std::size_t index, const std::string& source,
                       const std::string& output) override {
        outer_.fileConverted(base_ + index, source, output);
    }
    void fileSkipped(std::size_t index, const std::string& source,
                     const std::string& existing) override {
        outer_.fileSkipped(base_ + index, source, existing);
    }
    void fileDone(std::size_t index, const FileOutcome& outcome) override {
        outer_.fileDone(base_ + index, outcome);
    }
    void warning(const std::string& caption, const std::string& text, RunCheck check) override {
        warning_ = text;
        outer_.warning(caption, text, check);
    }
    void converterLog(const std::string& text) override { outer_.converterLog(text); }
    void progress(const RunProgress& part) override {
        RunProgress whole = part;
        whole.done += before_.fileCount;
        whole.failed += before_.failedCount;
        whole.skipped += before_.skippedCount;
        whole.total += before_.listCount;
        whole.bytesIn += before_.inputTotal;
        whole.bytesOut += before_.outputTotal;
        partSourceBytes_ = std::max(partSourceBytes_, part.sourceBytesTotal);
        whole.sourceBytesDone += sourceBytesBefore_;
        whole.sourceBytesTotal = sourceBytesBefore_ + partSourceBytes_;
        outer_.progress(whole);
    }
    void idle() override { outer_.idle(); }

    /// The text of the last warning, empty when none came.
    const std::string& lastWarning() const { return warning_; }
    /// The bytes of this part's sources, as its run sized them.
    std::int64_t partSourceBytes() const { return partSourceBytes_; }

private:
    RunReporter& outer_;
    const RunSummary& before_;
    const std::size_t base_;
    const std::int64_t sourceBytesBefore_;
    std::int64_t partSourceBytes_ = 0;
    std::string warning_;
};

ChunkedRun::ChunkedRun(const ConversionOptions& options, const ConversionEnvironment& environment,
                       RunReporter& reporter, Translator translate, std::stop_token stop,
                       std::size_t partSize)
    : options_(options),
      environment_(environment),
      reporter_(reporter),
      translate_(std::move(translate)),
      stop_(std::move(stop)),
      partSize_(partSize > 0 ? partSize : 1),
      startTick_(platform::tickCount()) {
    // Each folder is cleared once, here, instead of once for every part.
    environment_.removeStaleTemporaries = false;
    part_.reserve(partSize_);
}

bool ChunkedRun::add(SourceFile file) {
    if (ended_ || stop_.stop_requested()) {
        return false;
    }
    part_.push_back(std::move(file));
    if (part_.size() >= partSize_) {
        runPart();
    }
    return !ended_;
}

bool ChunkedRun::flush() {
    if (!ended_ && !stop_.stop_requested() && !part_.empty()) {
        runPart();
    }
    return !ended_;
}

// The temporary files killed runs left in the part's output folders (and the
// data folder) go before the part writes there, each folder once per run.
void ChunkedRun::clearStaleTemporaries(const std::vector<SourceFile>& files) {
    if (cleanedFolders_.size() > kMaxRememberedFolders) {
        cleanedFolders_.clear();
    }
    const auto clear = [this](const std::string& folder) {
        if (cleanedFolders_.insert(folder).second) {
            platform::removeStaleTempFiles(folder);
        }
    };
    if (!environment_.dataFolder.empty()) {
        clear(platform::withTrailingSlash(environment_.dataFolder));
    }
    for (const SourceFile& file : files) {
        const std::string folder = outputFolderFor(file, options_);
        clear(folder.empty() ? std::string("./") : folder);
    }
}

void ChunkedRun::runPart() {
    std::vector<SourceFile> files = std::exchange(part_, {});
    part_.reserve(partSize_);
    if (files.empty() || ended_) {
        return;
    }
    PartReporter reporter(reporter_, whole_, sourceBytes_);
    clearStaleTemporaries(files);
    // The list has grown by this part: the figures so far with the new total,
    // before the part's first file is reported.
    RunProgress grown;
    grown.total = files.size();
    reporter.progress(grown);
    std::optional<RunSummary> summary =
        runConversion(files, options_, environment_, reporter, translate_, stop_);
    if (!started_) {
        // The first part's checks decide whether the run goes ahead at all.
        if (!summary) {
            checksFailed_ = true;
            ended_ = true;
            return;
        }
        started_ = true;
    }

    if (!summary) {
        // The destination went away (or turned read-only) after earlier parts
        // were written there: the files of this part fail with the warning.
        summary.emplace();
        summary->listCount = files.size();
        for (std::size_t i = 0; i < files.size(); ++i) {
            FileOutcome outcome;
            outcome.source = files[i].path;
            outcome.baseFolder = files[i].baseFolder;
            outcome.error = reporter.lastWarning();
            outcome.bytesIn = GetFileSizeBytes(files[i].path);
            reporter.fileFailed(i, outcome.source, outcome.error);
            reporter.fileDone(i, outcome);
            ++summary->fileCount;
            ++summary->failedCount;
            RunProgress figures;
            figures.done = i + 1;
            figures.failed = i + 1;
            figures.total = files.size();
            reporter.progress(figures);
        }
    }

    sourceBytes_ += reporter.partSourceBytes();
    whole_.fileCount += summary->fileCount;
    whole_.failedCount += summary->failedCount;
    whole_.skippedCount += summary->skippedCount;
    whole_.listCount += summary->listCount;
    whole_.inputTotal += summary->inputTotal;
    whole_.outputTotal += summary->outputTotal;
    if (summary->stopped) {
        whole_.stopped = true;
        ended_ = true;
    }
}

std::optional<RunSummary> ChunkedRun::finish() {
    if (!ended_ && !stop_.stop_requested() && !part_.empty()) {
        runPart();
    }
    if (checksFailed_) {
        return std::nullopt;
    }
    if (!started_) {
        if (stop_.stop_requested()) {
            // Stopped before the first part: nothing was converted.
            whole_.listCount = part_.size();
            whole_.stopped = true;
        } else {
            // No file at all: the run's own warning.
            PartReporter reporter(reporter_, whole_, 0);
            return runConversion(std::vector<SourceFile>{}, options_, environment_, reporter,
                                 translate_, stop_);
        }
    }
    if (stop_.stop_requested()) {
        whole_.stopped = true;
    }
    RunSummary summary = whole_;
    if (summary.stopped && started_) {
        summary.listCount += part_.size();  // read, but stopped before their part began
    }
    summary.elapsedMs = platform::tickCount() - startTick_;
    summary.difference = summary.inputTotal - summary.outputTotal;
    summary.percentage = roundedPercentage(summary.difference, summary.inputTotal);
    const DiskSpaceText disk =
        diskSpaceText(summary.inputTotal, summary.outputTotal, environment_.decimalSeparator);
    summary.processed = std::to_string(summary.fileCount);
    summary.elapsed = TimeText(summary.elapsedMs, environment_.decimalSeparator);
    summary.diskSpaceCaption = disk.caption;
    summary.diskSpaceValue = disk.value;
    return summary;
}

}  // namespace imbrix::convert
