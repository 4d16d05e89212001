// Imbrix conversion engine: one file, from its source to its output.
//
// A conversion has two halves so that several files can be converted at once
// with the results of a one-at-a-time run:
//  - prepareFile() decodes, converts and encodes into a temporary file in the
//    output folder (any thread, any order);
//  - finishFile() claims the output's name, the first free one, and gives the
//    finished file that name (the run calls it in list order).
// A failure leaves no file behind; a crash leaves no half-written file under a
// final name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/run.h"
#include "platform/files.h"

namespace imbrix::convert {

/// What every file of a run shares.
struct FileSettings {
    std::string format;  ///< one of kOutputFormats
    bool grayscale = false;
    int quality = 100;
    std::string dataFolder;       ///< ends with '/': the converter's PNGs go here
    std::string converterPath;    ///< the converter program
    std::string converterFolder;  ///< its working folder
};

/// A converted file waiting for its name, or a failure.
struct PreparedFile {
    std::string source;
    std::string candidate;                     ///< the first output name candidate
    std::int64_t sourceSize = -1;              ///< -1 when the source was not found
    std::optional<platform::TempFile> output;  ///< the finished output, under a temporary name
    std::vector<std::string> converterLogs;    ///< one log per converter call, in call order
    std::string error;                         ///< the failure's message, when it failed
    /// The failure is "File cannot be created: " + the output's name; that name is
    /// only known when the earlier files have taken theirs, so finishFile() makes it.
    bool outputNotCreated = false;
    std::string outputErrorDetail;  ///< the converter's last error line, or a system reason
};

/// Decodes, converts and encodes `source` into a temporary file in `outputFolder`.
/// Never throws: a failure is recorded in the result.
PreparedFile prepareFile(const std::string& source, const std::string& outputFolder,
                         const FileSettings& settings);

/// Gives a prepared output its name (the first free of candidate, "name (2).ext",
/// ...), claimed atomically. Returns the outcome with the raw failure message.
FileOutcome finishFile(PreparedFile& prepared);

/// Both halves at once: one file converted on its own.
FileOutcome convertFile(const std::string& source, const std::string& outputFolder,
                        const FileSettings& settings);

}  // namespace imbrix::convert
