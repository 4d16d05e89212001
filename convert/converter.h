// Imbrix conversion engine: the external converter.
//
// The converter (program folder + "imagemagick/magick") writes the formats our
// own encoders do not, and decodes the sources our own decoders cannot read.
// It is started directly with an argument vector: no shell ever sees a file name.
#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "imaging/resize.h"

namespace imbrix::convert {

/// One converter call: the argument vector (argv[0] is the converter path) and
/// the command line as the log shows it, with the paths between double quotes.
struct ConverterCommand {
    std::vector<std::string> argv;
    std::string logLine;
};

/// A source to be decoded, written as PNG to `outputFile`:
/// magick "IN" "OUT", or for a ".psd" source magick "IN" -flatten "OUT".
ConverterCommand ImageMagickIleDonustur(const std::string& converterPath,
                                        const std::string& inputFile,
                                        const std::string& outputFile);

/// How the converter writes an output.
struct ConverterWriteOptions {
    int quality = 100;
    bool grayscale = false;
    /// The output keeps no EXIF, XMP, IPTC or comment of the source; its colours
    /// are still those of the source's profile.
    bool stripMetadata = false;
    /// "-resize GEOMETRY" (imaging::resizeGeometry()) right after -auto-orient
    /// (after -coalesce for an animation); nothing when the picture keeps its size.
    imaging::ResizeOptions resize;
};

/// The output formats of the converter:
/// magick "IN" -auto-orient [-resize "G"] [-colorspace Gray] -quality N [+profile "!icc,*"] "OUT".
ConverterCommand ImageMagickIleAVIFDonustur(const std::string& converterPath,
                                            const std::string& inputFile,
                                            const std::string& outputFile,
                                            const ConverterWriteOptions& options);

/// A ".gif" source written as WEBP: magick "IN" -auto-orient -coalesce "OUT", or
/// magick -colorspace Gray "IN" -auto-orient -coalesce "OUT", each with
/// -resize "G" after -coalesce for a resize and +profile "!icc,*" before "OUT"
/// when the metadata goes (the quality is not used).
ConverterCommand ImageMagickIleGIFDonustur(const std::string& converterPath,
                                           const std::string& inputFile,
                                           const std::string& outputFile,
                                           const ConverterWriteOptions& options);

/// The most time one file may take, its converter calls included, however large
/// its picture: the ceiling of the time limit a file gets for its pixels
/// (convertfile.h).
inline constexpr std::chrono::milliseconds kConverterDeadline = std::chrono::minutes(30);

/// When a converter call is ended before it finishes. The converter and every
/// program it started get SIGTERM, then SIGKILL a moment later.
struct ConverterLimits {
    std::chrono::milliseconds deadline = kConverterDeadline;  ///< zero: no limit
    std::stop_token stop;
    /// Bytes of memory the converter may use (handed to it in IMBRIX_MEMORY_LIMIT);
    /// zero: no limit.
    std::uint64_t memory = 0;
};

/// The converter's exit status when the source cannot be read (damaged,
/// truncated, of an unknown format, too large, not a regular file, ...); its
/// last line then is "magick: cannot read <source as given>: <reason>".
inline constexpr int kConverterSourceUnreadable = 3;

/// What one call left behind.
struct ConsoleResult {
    bool ran = false;        ///< false when the converter is missing: nothing was run or logged
    bool started = false;    ///< false when it was there but could not be started
    bool succeeded = false;  ///< started and ended with exit status 0
    /// It ended with kConverterSourceUnreadable: `lastErrorLine` is then the
    /// reason alone, without "magick: cannot read <path>: ".
    bool sourceUnreadable = false;
    bool timedOut = false;  ///< ended because it ran past the deadline
    bool stopped = false;   ///< ended because a stop was requested
    std::string log;        ///< the whole log text of the call (empty when !ran)
    /// When the call failed: the last non-empty line the converter printed (the
    /// reason alone when the source cannot be read), "The converter program
    /// cannot be found: <path>", "The converter program cannot be started:
    /// <path>" + "\n" + the reason, "The converter did not finish within N
    /// seconds" or "The conversion was stopped".
    std::string lastErrorLine;
};

/// Runs `command` in `workingFolder` when the converter (argv[0]) exists, and
/// builds the log: the command line, "Commencing processing...", the converter's
/// output, "Processing completed successfully.", 34 asterisks and an empty line.
ConsoleResult RunConsoleCommand(const ConverterCommand& command, const std::string& workingFolder,
                                const ConverterLimits& limits = {});

}  // namespace imbrix::convert
