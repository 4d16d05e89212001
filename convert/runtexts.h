// Imbrix conversion engine: the texts and figures of the end report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imbrix::convert {

/// The size text, in multiples of 1024: "#.## GB" above 1073741824, "#.## MB"
/// above 1048576, "#.## KB" above 1024, else "#.## bytes". Two decimals at most
/// (halves away from zero), trailing zeros dropped. 0 gives "0 bytes".
std::string SizeToText(std::int64_t bytes, const std::string& decimalSeparator = ".");

/// difference / inputTotal * 100 rounded to the nearest integer, halves to the
/// even neighbour; 0 when inputTotal is 0 or less.
int roundedPercentage(std::int64_t difference, std::int64_t inputTotal);

/// The time text: seconds with exactly three decimals, "2.047 seconds".
std::string TimeText(std::uint32_t elapsedMs, const std::string& decimalSeparator = ".");

/// The disk-space line of the result window for inputTotal - outputTotal.
struct DiskSpaceText {
    std::string caption;  ///< "Saved Disk Space:" or "Increased Disk Space:"
    std::string value;    ///< "1.5 MB (37%)"
};
DiskSpaceText diskSpaceText(std::int64_t inputTotal, std::int64_t outputTotal,
                            const std::string& decimalSeparator = ".");

/// The message shown for a failed file: `message`, with two carriage returns and
/// "Unknown file format, empty/damaged file!" added when it is exactly "JPEG error #53".
std::string failureMessage(const std::string& message);

struct FileOutcome;

/// The failed files of a run as text to read and copy: each file's path on a
/// line of its own, then its message, every line of it indented by four blanks
/// (carriage returns, alone or before a line feed, end lines too); files in
/// list order, one empty line between them. Empty when none failed.
std::string failedFilesText(const std::vector<FileOutcome>& files);

}  // namespace imbrix::convert
