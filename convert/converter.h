// Imbrix conversion engine: the external converter.
//
// The converter (program folder + "imagemagick/magick") writes the formats our
// own encoders do not, and decodes the sources our own decoders cannot read.
// It is started directly with an argument vector: no shell ever sees a file name.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/process.h"

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

/// The output formats of the converter:
/// magick "IN" -auto-orient [-colorspace Gray] -quality N "OUT".
ConverterCommand ImageMagickIleAVIFDonustur(const std::string& converterPath,
                                            const std::string& inputFile,
                                            const std::string& outputFile, int quality,
                                            bool grayscale);

/// A ".gif" source written as WEBP: magick "IN" -auto-orient -coalesce "OUT", or
/// magick -colorspace Gray "IN" -auto-orient -coalesce "OUT".
ConverterCommand ImageMagickIleGIFDonustur(const std::string& converterPath,
                                           const std::string& inputFile,
                                           const std::string& outputFile, bool grayscale);

/// What one call left behind.
struct ConsoleResult {
    bool ran = false;        ///< false when the converter is missing: nothing was run or logged
    bool succeeded = false;  ///< started and ended with exit status 0
    std::string log;         ///< the whole log text of the call (empty when !ran)
    /// When the call failed: the last non-empty line the converter printed, or
    /// why it could not be started.
    std::string lastErrorLine;
};

/// How long one converter call may take before it is ended: a safety net
/// against a converter or helper that hangs.
inline constexpr std::chrono::milliseconds kConverterDeadline = std::chrono::minutes(10);

/// Runs `command` in `workingFolder` when the converter (argv[0]) exists, and
/// builds the log: the command line, "Commencing processing...", the converter's
/// output, "Processing completed successfully.", 34 asterisks and an empty line.
/// A call that `limits` end fails with "The converter did not finish within N
/// seconds" or "The conversion was stopped"; the converter and every program
/// it started are ended.
ConsoleResult RunConsoleCommand(const ConverterCommand& command, const std::string& workingFolder,
                                const platform::ProcessLimits& limits = {});

}  // namespace imbrix::convert
