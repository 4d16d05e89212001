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
#include <string_view>
#include <vector>

#include "convert/converter.h"
#include "convert/run.h"
#include "imaging/fileformats.h"
#include "imaging/memory.h"
#include "imaging/stages.h"
#include "platform/files.h"

namespace imbrix::convert {

/// What a file's time limit is made of. The slowest routes measured, on two
/// cores shared with other work (load 5): JPEG XL at quality 100 from a photo
/// of 4.1 and of 16.8 million pixels, 5.7 and 6.4 s per million pixels; AVIF
/// 1.4 and 2.8; JPEG 2000 0.8 and 0.7. The rate leaves three times the slowest.
inline constexpr std::chrono::milliseconds kFileTimeBase = std::chrono::seconds(60);
inline constexpr std::chrono::milliseconds kFileTimePerMegapixel = std::chrono::seconds(20);

/// What a file reserves of the run's memory, from its picture's extent:
/// in our own decoders and encoders, 16 bytes for each pixel of one frame (the
/// raster, a decoder's buffers such as a progressive JPEG's coefficients, an
/// encoder's copy); where the converter reads the source, 8 bytes for each
/// pixel of every frame (ImageMagick holds an animation's frames at 16 bits a
/// channel) and 16 of one frame beside them. A picture of unknown extent (SVG)
/// starts with kUnknownPictureMemory and grows as its rasters do. The file's
/// bytes count too.
inline constexpr std::uint64_t kOwnBytesPerPixel = 16;
inline constexpr std::uint64_t kConverterBytesPerPixel = 8;
/// What the converter's own encoders hold beyond that, for each pixel of the
/// picture, where they write the format in its process (measured peaks with
/// room to spare): JPEG XL's encoder (lossless the most) 80 bytes, AVIF's and
/// JPEG 2000's 40, GIF's palette reduction 32.
inline std::uint64_t converterBytesPerPixel(std::string_view format) {
    if (format == "JXL") {
        return 80;
    }
    if (format == "AVIF" || format == "JP2") {
        return 40;
    }
    if (format == "GIF") {
        return 32;
    }
    return kConverterBytesPerPixel;
}
inline constexpr std::uint64_t kUnknownPictureMemory = std::uint64_t{64} << 20;
/// The least a converter call gets as its memory limit, whatever the picture:
/// the converter and its tools need this much for themselves.
inline constexpr std::uint64_t kConverterMemoryFloor = std::uint64_t{256} << 20;

/// What every file of a run shares.
struct FileSettings {
    std::string format;  ///< one of kOutputFormats
    bool grayscale = false;
    int quality = imaging::kDefaultQuality;
    /// Outputs carry no EXIF, XMP, IPTC or comment; the colour profile stays.
    bool stripMetadata = false;
    imaging::ResizeOptions resize;
    /// Skip: a file whose first name candidate exists is not converted, and
    /// one whose candidate is taken by the time its output is named is dropped.
    ExistingOutput existingOutput = ExistingOutput::AddNumber;
    /// The output gets the source's modification time (set on the temporary
    /// file, before it takes its name).
    bool keepFileDates = false;
    /// A missing output folder is created (with its parents) when the output
    /// is written; otherwise it must exist.
    bool createOutputFolders = false;
    /// The run's stages, built once by stagesFor(); unset: built from `format`,
    /// `grayscale` and `resize` for each file.
    std::optional<imaging::StageList> stages;
    std::string dataFolder;       ///< ends with '/': the converter's PNGs go here
    std::string converterPath;    ///< the converter program
    std::string converterFolder;  ///< its working folder
    /// The most time one file may take, whatever its size (its converter calls
    /// included): the ceiling of its time limit.
    std::chrono::milliseconds converterDeadline = kConverterDeadline;
    /// A file's time limit: timeBase, and timePerMegapixel for every million
    /// pixels of its picture (every frame of an animation), at most the ceiling.
    std::chrono::milliseconds timeBase = kFileTimeBase;
    std::chrono::milliseconds timePerMegapixel = kFileTimePerMegapixel;
    /// The run's memory: each file reserves what its picture needs before it is
    /// decoded. Null: no budget, every file goes ahead as it comes.
    imaging::MemoryBudget* memory = nullptr;
};

/// The stages of a run writing `output` (settings.format), in order. A resize
/// comes first (the converter resizes itself on its routes, from its command
/// line) and gives the decoders its hint. JPEG XR takes its colours
/// in sRGB (a stage converting from the picture's profile). Grayscale is a stage of the
/// routes of our own encoders: the equal-weight grayscale for TIFF and JPEG XR,
/// the luminance filter for PNG, JPEG and WEBP. The converter makes its outputs
/// gray itself ("-colorspace Gray"), so it is no stage on its routes.
imaging::StageList stagesFor(const FileSettings& settings);

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
    /// Not converted: its candidate existed already (ExistingOutput::Skip).
    bool skipped = false;
    ExistingOutput existingOutput = ExistingOutput::AddNumber;  ///< how finishFile() names it
    std::uint32_t elapsedMs = 0;                                ///< the time prepareFile() took
};

/// Decodes, converts and encodes `source` into a temporary file in `outputFolder`.
/// With ExistingOutput::Skip, a source whose first name candidate exists is
/// skipped before anything is read. Never throws: a failure is recorded in the result. A stop
/// request makes the file fail between its steps; so does its time limit, with "The conversion took
/// longer than its time limit of N seconds". With a memory budget, the file first reserves what its
/// picture needs, waiting for other files to give memory back, and fails when it needs more than
/// the whole budget.
PreparedFile prepareFile(const std::string& source, const std::string& outputFolder,
                         const FileSettings& settings, std::stop_token stop = {});

/// Gives a prepared output its name (the first free of candidate, "name (2).ext",
/// ...), claimed atomically. With ExistingOutput::Skip the name is the candidate
/// itself: when that is taken, the output is dropped and the file counts as
/// skipped. Returns the outcome with the raw failure message.
FileOutcome finishFile(PreparedFile& prepared);

/// Both halves at once: one file converted on its own.
FileOutcome convertFile(const std::string& source, const std::string& outputFolder,
                        const FileSettings& settings);

}  // namespace imbrix::convert
