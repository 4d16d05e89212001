// Imbrix conversion engine: the time a run has left, from what it has done so far.
//
// The cost of a file is taken as a part that every file pays (opening, the
// converter's start, writing) plus a part that grows with its size, both fitted
// to the run's own progress by least squares. So a list that mixes icons and
// large photos is estimated by what is left of each, not by the file count
// alone. Qt-free; the clock is the caller's, so tests drive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace imbrix::convert {

class TimeLeft {
public:
    /// A run of `files` files holding `bytes` bytes in all.
    TimeLeft(std::size_t files, std::int64_t bytes);

    /// The run has grown (a list read in parts): `files` and `bytes` are its new
    /// totals. Totals never shrink.
    void grow(std::size_t files, std::int64_t bytes);

    /// After a file: the time since the run began, and the files and the bytes
    /// of their sources processed so far (counts that only grow).
    void update(std::chrono::milliseconds elapsed, std::size_t filesDone, std::int64_t bytesDone);

    /// The time left at `elapsed` since the run began, counting down between
    /// updates; nothing until the run has shown enough of its pace.
    std::optional<std::chrono::milliseconds> left(std::chrono::milliseconds elapsed) const;

private:
    struct Sample {
        double ms = 0;
        double files = 0;
        double bytes = 0;
    };
    void refit();

    double totalFiles_;
    double totalBytes_;
    std::size_t samples_ = 0;
    Sample origin_;  // the first file's: the time before it includes the workers' start
    Sample last_;
    // Sums of the samples taken from the origin, for the least-squares fit.
    double sff_ = 0, sfb_ = 0, sbb_ = 0, stf_ = 0, stb_ = 0;
    std::optional<double> endMs_;  // when the run is expected to end
};

struct RunProgress;

/// A TimeLeft on the steady clock, started when it is made (as a run begins)
/// and fed the run's progress reports: what a front end shows.
class RunTimeLeft {
public:
    void progress(const RunProgress& figures);
    /// The time left now; nothing until the run has shown enough of its pace.
    std::optional<std::chrono::milliseconds> left() const;

private:
    std::chrono::milliseconds elapsed() const;

    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::optional<TimeLeft> estimate_;
    std::optional<std::size_t> lastDone_;
};

/// A duration as a clock shows it, rounded up to whole seconds: "0:09", "4:05",
/// "1:05:09".
std::string clockText(std::chrono::milliseconds duration);

}  // namespace imbrix::convert
