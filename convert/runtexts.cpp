// Imbrix conversion engine: the texts and figures of the end report.
#include "convert/runtexts.h"

#include <cmath>

#include "convert/run.h"

namespace imbrix::convert {

namespace {

// "#.##" of bytes / unit: at most two decimals, halves away from zero, trailing
// zeros and a bare separator dropped. Exact integer arithmetic, so 1.005 KB
// rounds the way the decimal number does.
std::string formatHundredths(std::uint64_t bytes, std::uint64_t unit, const std::string& sep) {
    const std::uint64_t whole = bytes / unit;
    const std::uint64_t rest = bytes % unit;  // < 2^30, so rest * 200 cannot overflow
    std::uint64_t hundredths = whole * 100 + (rest * 200 + unit) / (2 * unit);
    std::string text = std::to_string(hundredths / 100);
    unsigned fraction = static_cast<unsigned>(hundredths % 100);
    if (fraction != 0) {
        text += sep;
        text += static_cast<char>('0' + fraction / 10);
        if (fraction % 10 != 0) {
            text += static_cast<char>('0' + fraction % 10);
        }
    }
    return text;
}

}  // namespace

std::string SizeToText(std::int64_t bytes, const std::string& decimalSeparator) {
    std::string sign;
    std::uint64_t n = static_cast<std::uint64_t>(bytes);
    if (bytes < 0) {
        sign = "-";
        n = ~n + 1;
    }
    constexpr std::uint64_t kKB = 1024, kMB = kKB * 1024, kGB = kMB * 1024;
    if (n > kGB) {
        return sign + formatHundredths(n, kGB, decimalSeparator) + " GB";
    }
    if (n > kMB) {
        return sign + formatHundredths(n, kMB, decimalSeparator) + " MB";
    }
    if (n > kKB) {
        return sign + formatHundredths(n, kKB, decimalSeparator) + " KB";
    }
    // A byte count has no fraction; 0 prints its digit.
    return sign + std::to_string(n) + " bytes";
}

int roundedPercentage(std::int64_t difference, std::int64_t inputTotal) {
    if (inputTotal <= 0) {
        return 0;
    }
    const double value = static_cast<double>(difference) / static_cast<double>(inputTotal) * 100.0;
    // Halves to the even neighbour, independent of the thread's rounding mode.
    const double lower = std::floor(value);
    const double excess = value - lower;
    double rounded = lower;
    if (excess > 0.5 || (excess == 0.5 && std::fmod(lower, 2.0) != 0.0)) {
        rounded = lower + 1.0;
    }
    return static_cast<int>(rounded);
}

std::string TimeText(std::uint32_t elapsedMs, const std::string& decimalSeparator) {
    const std::uint32_t fraction = elapsedMs % 1000;
    std::string text = std::to_string(elapsedMs / 1000) + decimalSeparator;
    text += static_cast<char>('0' + fraction / 100);
    text += static_cast<char>('0' + fraction / 10 % 10);
    text += static_cast<char>('0' + fraction % 10);
    return text + " seconds";
}

DiskSpaceText diskSpaceText(std::int64_t inputTotal, std::int64_t outputTotal,
                            const std::string& decimalSeparator) {
    std::int64_t difference = inputTotal - outputTotal;
    int percentage = roundedPercentage(difference, inputTotal);
    DiskSpaceText text;
    if (difference >= 0) {
        text.caption = "Saved Disk Space:";
    } else {
        text.caption = "Increased Disk Space:";
        difference = -difference;
        percentage = -percentage;
    }
    text.value =
        SizeToText(difference, decimalSeparator) + " (" + std::to_string(percentage) + "%)";
    return text;
}

std::string failureMessage(const std::string& message) {
    if (message == "JPEG error #53") {
        return message + "\r\rUnknown file format, empty/damaged file!";
    }
    return message;
}

std::string failedFilesText(const std::vector<FileOutcome>& files) {
    std::string text;
    for (const FileOutcome& file : files) {
        if (file.error.empty()) {
            continue;
        }
        if (!text.empty()) {
            text += '\n';
        }
        text += file.source + '\n';
        // An empty line of a message stays empty, without the indent.
        bool lineStart = true;
        for (std::size_t i = 0; i < file.error.size(); ++i) {
            const char c = file.error[i];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < file.error.size() && file.error[i + 1] == '\n') {
                    ++i;
                }
                text += '\n';
                lineStart = true;
                continue;
            }
            if (lineStart) {
                text += "    ";
                lineStart = false;
            }
            text += c;
        }
        text += '\n';
    }
    return text;
}

}  // namespace imbrix::convert
