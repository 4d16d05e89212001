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

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "convert/converter.h"
#include "convert/run.h"
#include "imaging/fileformats.h"
#include "imaging/stages.h"
#include "platform/files.h"

namespace imbrix::convert {

/// What every file of a run shares.
struct FileSettings {
    std::string format;  ///< one of kOutputFormats
    bool grayscale = false;
    int quality = imaging::kDefaultQuality;
    /// The run's stages, built once by stagesFor(); unset: built from `format`
    /// and `grayscale` for each file.
    std::optional<imaging::StageList> stages;
    std::string dataFolder;       ///< ends with '/': the converter's PNGs go here
    std::string converterPath;    ///< the converter program
    std::string converterFolder;  ///< its working folder
    /// How long one converter call may take.
    std::chrono::milliseconds converterDeadline = kConverterDeadline;
};

/// The stages of a run writing `output`, in order. Grayscale is a stage of the
/// routes of our own encoders: the equal-weight grayscale for TIFF and JPEG XR,
/// the luminance filter for PNG, JPEG and WEBP. The converter makes its outputs
/// gray itself ("-colorspace Gray"), so it is no stage on its routes.
imaging::StageList stagesFor(const imaging::FileFormat& output, bool grayscale);

/// Why a file failed. The message the user sees is made where it is shown
/// (finishFile), because one kind names the output, whose final name is only
/// known when the earlier files have taken theirs.
struct FileError {
    enum class Kind {
        Failed,            ///< `detail` is the whole message (a decoder's, an encoder's, ...)
        OutOfMemory,       ///< "Out of memory"
        OutputNotCreated,  ///< "File cannot be created: " + the output name [+ "\n" + detail]
        NoOutput,          ///< "File cannot be created: " + the first name candidate
    };
    Kind kind = Kind::Failed;
    std::string detail;  ///< the converter's last error line, a system reason, or the message
};

/// A converted file waiting for its name, or a failure.
struct PreparedFile {
    std::string source;
    std::string candidate;                     ///< the first output name candidate
    std::int64_t sourceSize = -1;              ///< -1 when the source was not found
    std::optional<platform::TempFile> output;  ///< the finished output, under a temporary name
    std::vector<std::string> converterLogs;    ///< one log per converter call, in call order
    std::optional<FileError> error;            ///< set when the file failed
};

/// Decodes, converts and encodes `source` into a temporary file in `outputFolder`.
/// Never throws: a failure is recorded in the result. A stop request makes the
/// file fail between its steps.
PreparedFile prepareFile(const std::string& source, const std::string& outputFolder,
                         const FileSettings& settings, std::stop_token stop = {});

/// Gives a prepared output its name (the first free of candidate, "name (2).ext",
/// ...), claimed atomically. Returns the outcome with the raw failure message.
FileOutcome finishFile(PreparedFile& prepared);

/// Both halves at once: one file converted on its own.
FileOutcome convertFile(const std::string& source, const std::string& outputFolder,
                        const FileSettings& settings);

}  // namespace imbrix::convert
