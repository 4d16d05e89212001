// Imbrix conversion engine: the conversion run, for any front end.
//
// The desktop program and imbrix-cli both call runConversion(). The run checks
// the list and the destination, converts every file (several at once, one worker
// per core by default) and reports through a RunReporter, always on the calling
// thread and in list order, so the results, names and messages are exactly those
// of a one-at-a-time run. A run can be stopped between files through its stop
// token. No global state: several runs may go on at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "convert/runtexts.h"
#include "imaging/fileformats.h"
#include "imaging/memory.h"
#include "imaging/resize.h"

namespace imbrix::convert {

/// "Same Folder as Original": the destination box's first item.
inline constexpr const char* kSameFolderAsOriginal = "Same Folder as Original";

/// The 18 output formats, in the format box's order: the outputs of the format table.
inline constexpr auto kOutputFormats = [] {
    std::array<const char*, imaging::kOutputFormatCount> names{};
    for (std::size_t i = 0; i < names.size(); ++i) {
        // The table's names are string literals, so each ends in a zero byte.
        names[i] = imaging::kFileFormats.at(i).name.data();
    }
    return names;
}();

/// The most workers a run starts for each processor core: pictures are
/// decoded and encoded on the cores, so more only divides memory and time.
inline constexpr unsigned kMaxJobsPerCore = 4;

/// The number of workers a run starts for `jobs` (0: one per core) and `files`.
unsigned workerCount(unsigned jobs, std::size_t files);

/// The memory a run may use when none is given: half of the machine's
/// physical memory, and at most half of what this process may use by its own
/// limits (RLIMIT_AS, RLIMIT_DATA, its cgroup). At least 256 MB.
std::uint64_t defaultMemoryLimit();

/// True when `format` is one of kOutputFormats (exact, upper case).
bool isOutputFormat(const std::string& format);

/// What a run does when an output's name is already taken. Nothing is ever overwritten.
enum class ExistingOutput {
    AddNumber,  ///< the first free name of "name (2).ext", "name (3).ext", ...
    Skip,       ///< the file is not converted; it counts as skipped, not as failed
};

struct ConversionOptions {
    std::string format = "PNG";  ///< one of kOutputFormats, exact upper case
    bool grayscale = false;
    int quality = imaging::kDefaultQuality;  ///< 1..100
    /// Outputs carry no EXIF, XMP, IPTC or comment of their source; the colour
    /// profile is kept (or the pixels converted to sRGB) either way.
    bool stripMetadata = false;
    /// kSameFolderAsOriginal, or a folder path (a '/' is added when missing).
    std::string destination = kSameFolderAsOriginal;
    /// Every picture is resized as this says (by default it keeps its size).
    imaging::ResizeOptions resize;
    /// With a destination folder: a file that came from an added folder goes to
    /// the same subfolder under the destination as it was in under that folder
    /// (SourceFile::baseFolder), created as needed.
    bool keepFolderStructure = false;
    ExistingOutput existingOutput = ExistingOutput::AddNumber;
    /// Each output gets its source's modification time.
    bool keepFileDates = false;
};

/// One entry of a run's list.
struct SourceFile {
    std::string path;
    /// The folder the file was found in a walk of (the folder that was added);
    /// empty for a file added on its own.
    std::string baseFolder;
};

struct ConversionEnvironment {
    std::string programFolder;  ///< ends with '/'
    std::string dataFolder;     ///< ends with '/'; the temporary PNGs go here
    /// Workers; 0: one per processor core. At most kMaxJobsPerCore per core:
    /// more are reduced to that.
    unsigned jobs = 0;
    /// Bytes of memory the run's files may hold at once; 0: defaultMemoryLimit().
    std::uint64_t memoryLimit = 0;
    /// The run's memory budget when the caller keeps one (to read its counters);
    /// null: the run makes its own of memoryLimit bytes.
    imaging::MemoryBudget* memory = nullptr;
    /// The converter program; empty: programFolder + "imagemagick/magick".
    std::string converterPath;
    /// The run first removes the temporary files that killed runs left in its
    /// output folders and in dataFolder. False: the caller has done that (a list
    /// fed to the engine in parts clears each folder once).
    bool removeStaleTemporaries = true;
    /// Decimal separator of the user's locale, used in the time and size texts.
    std::string decimalSeparator = ".";
};

/// Which check of the run failed.
enum class RunCheck {
    EmptyList,            ///< "No image files have been added!": show the image list page
    DirectoryNotCreated,  ///< "Directory does not exist!": focus the destination box
    DirectoryNotWritable  ///< "Unable to write to directory!": focus the destination box
};

/// How far a run has come, after a file.
struct RunProgress {
    std::size_t done = 0;       ///< files processed so far, failed ones included
    std::size_t failed = 0;     ///< of those, the ones that failed
    std::size_t skipped = 0;    ///< of those, the ones skipped (their output existed)
    std::size_t total = 0;      ///< entries in the list
    std::int64_t bytesIn = 0;   ///< bytes of the sources found so far
    std::int64_t bytesOut = 0;  ///< bytes of the outputs written so far
    /// Bytes of the sources processed so far, failed and skipped ones included,
    /// and of every source in the list (as found when the run began): how far the
    /// run is by size.
    std::int64_t sourceBytesDone = 0;
    std::int64_t sourceBytesTotal = 0;
};

struct FileOutcome;

/// What the front end implements. Every call comes on the thread that called
/// runConversion(), in list order; none comes after runConversion() returns.
/// A call that throws ends the run: nothing more is started, the workers are
/// joined, the outputs not yet named are removed, and the exception leaves
/// runConversion().
class RunReporter {
public:
    virtual ~RunReporter() = default;
    /// Status bar text: "Converting <path>..." before a file, "" after it.
    virtual void status(const std::string& /*text*/) {}
    /// A file failed: show `message` in a box with the error icon, caption "ERROR".
    /// The message is complete (it already carries the "JPEG error #53" addition).
    virtual void fileFailed(std::size_t /*index*/, const std::string& /*source*/,
                            const std::string& /*message*/) {}
    /// A file was written to `output`.
    virtual void fileConverted(std::size_t /*index*/, const std::string& /*source*/,
                               const std::string& /*output*/) {}
    /// A file was not converted because its output `existing` is there already
    /// (ExistingOutput::Skip).
    virtual void fileSkipped(std::size_t /*index*/, const std::string& /*source*/,
                             const std::string& /*existing*/) {}
    /// After fileFailed(), fileConverted() or fileSkipped(): the file's whole
    /// outcome, with its sizes and time, for a record of every file.
    virtual void fileDone(std::size_t /*index*/, const FileOutcome& /*outcome*/) {}
    /// A check failed before anything was converted: a warning box with the
    /// caption and text given (both already translated); `check` tells the
    /// window where to go afterwards.
    virtual void warning(const std::string& /*caption*/, const std::string& /*text*/,
                         RunCheck /*check*/) {}
    /// The whole log of one converter call, lines ending in '\n': the command,
    /// "Commencing processing...", what the converter printed, "Processing
    /// completed successfully.", 34 asterisks and an empty line. The log box
    /// holds the latest call only, so a window replaces its text with this.
    virtual void converterLog(const std::string& /*text*/) {}
    /// After every file (after its last status() call), with the figures so far;
    /// the last call's figures are the summary's.
    virtual void progress(const RunProgress& /*progress*/) {}
    /// Called every few tens of milliseconds while the calling thread waits for
    /// the workers, so a window can repaint (without taking input).
    virtual void idle() {}
};

/// Looks up the translation of an English text (the text itself when none).
using Translator = std::function<std::string(const std::string&)>;

/// What happened to one file.
struct FileOutcome {
    std::string source;
    std::string output;  ///< the path written (or, when skipped, the one that exists); empty when
                         ///< the file failed
    std::string error;   ///< the message shown; empty when the file succeeded or was skipped
    std::string baseFolder;       ///< the list entry's SourceFile::baseFolder
    bool skipped = false;         ///< not converted: its output exists (ExistingOutput::Skip)
    std::int64_t bytesIn = -1;    ///< the source's size; -1 when it was not found
    std::int64_t bytesOut = 0;    ///< the size of the output written (0 when none was)
    std::uint32_t elapsedMs = 0;  ///< the time a worker spent on the file
};

/// The end report, as the result window shows it, with the raw figures.
struct RunSummary {
    std::string processed;         ///< number of files processed, failed ones included: "3"
    std::string elapsed;           ///< "2.047 seconds"
    std::string diskSpaceCaption;  ///< "Saved Disk Space:" or "Increased Disk Space:"
    std::string diskSpaceValue;    ///< "1.5 MB (37%)"

    std::size_t fileCount = 0;  ///< files processed: the list's length unless stopped
    std::size_t failedCount = 0;
    std::size_t skippedCount = 0;  ///< files skipped because their output existed
    std::size_t listCount = 0;     ///< entries in the list
    /// The run was stopped after fileCount files; the later ones were not converted.
    bool stopped = false;
    std::int64_t inputTotal = 0;   ///< bytes of the sources found
    std::int64_t outputTotal = 0;  ///< bytes of the outputs written
    std::int64_t difference = 0;   ///< inputTotal - outputTotal (may be negative)
    int percentage = 0;            ///< of difference, rounded half to even (may be negative)
    std::uint32_t elapsedMs = 0;
    std::vector<FileOutcome> files;  ///< in list order
};

/// Thrown for an error outside the per-file handler, such as an empty
/// destination text ("Unable to create directory"): nothing was converted.
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The conversion run. Returns nothing when a check failed (after
/// reporter.warning()); otherwise the end report. Throws RunError for an empty
/// destination, and std::invalid_argument for a format that is not one of the 18.
///
/// When `stop` is requested, no further file is started or reported: the file
/// being reported is finished, the files the workers are converting or have
/// converted ahead are dropped once their converter calls end (their temporary
/// outputs removed, no name taken), and the summary says the run was stopped and
/// covers only the files processed until then.
std::optional<RunSummary> runConversion(const std::vector<SourceFile>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        RunReporter& reporter, const Translator& translate,
                                        std::stop_token stop = {});
/// The same run for files that were all added on their own (no base folders).
std::optional<RunSummary> runConversion(const std::vector<std::string>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        RunReporter& reporter, const Translator& translate,
                                        std::stop_token stop = {});

/// The output folder of `source` by the destination rule (ends with '/').
std::string outputFolderFor(const std::string& source, const std::string& destination);
/// The same with the options' folder rule: with keepFolderStructure and a
/// destination folder, the destination plus the source's folder relative to
/// its base folder. A source outside its base folder, or whose relative folder
/// would climb out (".."), goes to the destination itself.
std::string outputFolderFor(const SourceFile& source, const ConversionOptions& options);

/// The first output name candidate: `outputFolder` + the source's file name
/// without its extension + "." + the format lower-cased.
std::string outputCandidate(const std::string& source, const std::string& outputFolder,
                            const std::string& format);

/// The size of the file at `path`, or -1 when there is none.
std::int64_t GetFileSizeBytes(const std::string& path);

}  // namespace imbrix::convert
