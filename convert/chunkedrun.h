// Imbrix conversion engine: a run over a list that arrives a file at a time.
//
// A list of millions of paths is not held whole: its files are converted in
// consecutive parts, each by runConversion(), while the list is read on. The
// result is that of one run over the whole list: names are claimed on disk, so
// a name taken by an earlier part gets " (2)" in a later one as it would in one
// run; the reports come in list order with indexes and figures counted over the
// whole list; a stop ends the run at once; one summary covers every part.
#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_set>
#include <vector>

#include "convert/run.h"

namespace imbrix::convert {

/// Files converted in one part: enough that the pause between parts (the last
/// files of a part finish while the next part's first start) costs nothing
/// measurable, few enough that a part's list and outcomes stay small.
inline constexpr std::size_t kDefaultPartSize = 1000;

class ChunkedRun {
public:
    /// The reporter hears every file as from one run: indexes count from the
    /// list's first file, progress() gives the figures of the whole run so far
    /// (its total: the files added so far), also once before each part with the
    /// total grown by that part. The references must outlive the run.
    ChunkedRun(const ConversionOptions& options, const ConversionEnvironment& environment,
               RunReporter& reporter, Translator translate, std::stop_token stop = {},
               std::size_t partSize = kDefaultPartSize);

    ChunkedRun(const ChunkedRun&) = delete;
    ChunkedRun& operator=(const ChunkedRun&) = delete;

    /// Adds the list's next file, and converts the part once it is full.
    /// Returns false once the run has ended (stopped, or its checks failed
    /// before its first file): further files would not be converted.
    /// Throws what runConversion() throws.
    bool add(SourceFile file);

    /// Converts the files added so far without waiting for the part to fill
    /// (the list comes slowly). Returns false once the run has ended.
    bool flush();

    /// Converts the files not yet converted and returns the whole run's summary,
    /// with no per-file outcomes in it (each went to the reporter's fileDone()).
    /// Nothing when the run's checks failed before any file was converted (no
    /// file was added at all, or the destination cannot be used), after
    /// reporter.warning(). When the destination fails its checks after earlier
    /// parts were converted, the files of that part fail with the warning's
    /// text and the run goes on with the next part.
    std::optional<RunSummary> finish();

private:
    class PartReporter;

    void runPart();
    void clearStaleTemporaries(const std::vector<SourceFile>& files);

    const ConversionOptions& options_;
    ConversionEnvironment environment_;
    RunReporter& reporter_;
    Translator translate_;
    std::stop_token stop_;
    std::size_t partSize_;

    std::vector<SourceFile> part_;
    RunSummary whole_;              ///< the figures of the parts converted so far
    std::int64_t sourceBytes_ = 0;  ///< the bytes of those parts' sources
    std::uint32_t startTick_ = 0;
    bool started_ = false;  ///< a part passed the checks
    bool ended_ = false;
    bool checksFailed_ = false;
    std::unordered_set<std::string> cleanedFolders_;
};

}  // namespace imbrix::convert
