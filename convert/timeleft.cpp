// Imbrix conversion engine: the time a run has left.
#include "convert/timeleft.h"

#include <algorithm>
#include <cmath>

#include "convert/run.h"

namespace imbrix::convert {

namespace {

// The fewest files, after the first, whose pace the fit is taken from; before
// that the estimate scales the time so far by the work left.
constexpr std::size_t kFitSamples = 3;
// Below this share of independent information between file counts and bytes
// (files all much the same size), the two parts cannot be told apart.
constexpr double kLeastIndependence = 1e-3;

}  // namespace

TimeLeft::TimeLeft(std::size_t files, std::int64_t bytes)
    : totalFiles_(static_cast<double>(files)),
      totalBytes_(static_cast<double>(std::max<std::int64_t>(bytes, 0))) {}

void TimeLeft::grow(std::size_t files, std::int64_t bytes) {
    const double newFiles = std::max(totalFiles_, static_cast<double>(files));
    const double newBytes = std::max(totalBytes_, static_cast<double>(bytes));
    if (newFiles == totalFiles_ && newBytes == totalBytes_) {
        return;
    }
    totalFiles_ = newFiles;
    totalBytes_ = newBytes;
    if (samples_ > 0) {
        refit();
    }
}

void TimeLeft::update(std::chrono::milliseconds elapsed, std::size_t filesDone,
                      std::int64_t bytesDone) {
    const Sample sample{static_cast<double>(elapsed.count()), static_cast<double>(filesDone),
                        static_cast<double>(std::max<std::int64_t>(bytesDone, 0))};
    if (samples_ == 0) {
        origin_ = sample;
    } else {
        const double t = sample.ms - origin_.ms;
        const double f = sample.files - origin_.files;
        const double b = sample.bytes - origin_.bytes;
        sff_ += f * f;
        sfb_ += f * b;
        sbb_ += b * b;
        stf_ += t * f;
        stb_ += t * b;
    }
    ++samples_;
    last_ = sample;
    refit();
}

void TimeLeft::refit() {
    const double filesLeft = std::max(0.0, totalFiles_ - last_.files);
    const double bytesLeft = std::max(0.0, totalBytes_ - last_.bytes);
    if (filesLeft <= 0) {
        endMs_ = last_.ms;
        return;
    }
    // The share of the work left, by files and by bytes, each scaled by the
    // time taken so far: the estimate until there is a pace to fit.
    const auto byRatio = [&](double ms, double files, double bytes) -> std::optional<double> {
        if (ms <= 0 || files <= 0) {
            return std::nullopt;
        }
        const double byFiles = ms * filesLeft / files;
        if (bytes <= 0 || totalBytes_ <= 0) {
            return byFiles;
        }
        return (byFiles + ms * bytesLeft / bytes) / 2;
    };

    std::optional<double> left;
    if (samples_ <= kFitSamples) {
        left = byRatio(last_.ms, last_.files, last_.bytes);
    } else {
        const double det = sff_ * sbb_ - sfb_ * sfb_;
        double perFile = -1;
        double perByte = -1;
        if (sff_ > 0 && sbb_ > 0 && det > kLeastIndependence * sff_ * sbb_) {
            perFile = (stf_ * sbb_ - stb_ * sfb_) / det;
            perByte = (stb_ * sff_ - stf_ * sfb_) / det;
        }
        if (perFile >= 0 && perByte >= 0) {
            left = perFile * filesLeft + perByte * bytesLeft;
        } else {
            // One part alone, or both alike: the pace since the first file.
            left = byRatio(last_.ms - origin_.ms, last_.files - origin_.files,
                           last_.bytes - origin_.bytes);
        }
    }
    if (left && std::isfinite(*left)) {
        endMs_ = last_.ms + *left;
    } else {
        endMs_.reset();
    }
}

std::optional<std::chrono::milliseconds> TimeLeft::left(std::chrono::milliseconds elapsed) const {
    if (!endMs_) {
        return std::nullopt;
    }
    const double ms = std::max(0.0, *endMs_ - static_cast<double>(elapsed.count()));
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(ms)));
}

void RunTimeLeft::progress(const RunProgress& figures) {
    if (!estimate_) {
        estimate_.emplace(figures.total, figures.sourceBytesTotal);
    } else {
        estimate_->grow(figures.total, figures.sourceBytesTotal);
    }
    if (lastDone_ && *lastDone_ == figures.done) {
        return;  // the list grew (a part announced): no file has finished since
    }
    lastDone_ = figures.done;
    estimate_->update(elapsed(), figures.done, figures.sourceBytesDone);
}

std::optional<std::chrono::milliseconds> RunTimeLeft::left() const {
    return estimate_ ? estimate_->left(elapsed()) : std::nullopt;
}

std::chrono::milliseconds RunTimeLeft::elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_);
}

std::string clockText(std::chrono::milliseconds duration) {
    const std::int64_t ms = std::max<std::int64_t>(duration.count(), 0);
    const std::int64_t seconds = (ms + 999) / 1000;
    const std::int64_t hours = seconds / 3600;
    const std::int64_t minutes = seconds / 60 % 60;
    const std::int64_t secs = seconds % 60;
    const auto twoDigits = [](std::int64_t value) {
        return std::string(value < 10 ? "0" : "") + std::to_string(value);
    };
    if (hours > 0) {
        return std::to_string(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(secs);
    }
    return std::to_string(minutes) + ":" + twoDigits(secs);
}

}  // namespace imbrix::convert
