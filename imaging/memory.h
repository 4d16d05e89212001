// Imbrix imaging layer: the memory a run may use at once.
//
// A run owns one MemoryBudget. Before a worker decodes a file, it reserves what
// the file's picture will need (the engine estimates it from the probe),
// waiting while other workers hold the memory; a file that alone needs more
// than the whole budget fails. While a reservation is bound to a thread
// (MemoryScope), every Raster allocated on that thread counts against it, so a
// decoder whose header told nothing (or lied) is caught at its first large
// allocation rather than when the machine runs out.
//
// With no budget bound to a thread (tests, fuzzers, callers outside a run),
// rasters are allocated as they always were.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "imaging/error.h"

namespace imbrix::imaging {

/// "3.0 GB", "512 MB", "64 KB", "100 bytes": sizes in the budget's messages.
std::string memoryText(std::uint64_t bytes);

/// Thrown when a file needs more memory than the run's whole budget:
/// "The picture needs 3.0 GB of memory, more than the 2.0 GB this run may use".
class MemoryExceeded : public Error {
public:
    MemoryExceeded(std::uint64_t needed, std::uint64_t limit);
};

/// Thrown when a raster would take a reservation past its size while other
/// workers hold the rest of the budget. The engine gives everything back and
/// tries the file again with a reservation of `needed` bytes.
class MemoryShortfall : public Error {
public:
    explicit MemoryShortfall(std::uint64_t needed);
    std::uint64_t needed() const { return needed_; }

private:
    std::uint64_t needed_;
};

/// The memory of a run. Thread-safe.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t limit);
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    std::uint64_t limit() const { return limit_; }
    /// The sum of the reservations held now.
    std::uint64_t reserved() const;
    /// The largest sum ever held at once.
    std::uint64_t peakReserved() const;
    /// Workers waiting for memory now.
    unsigned waiting() const;

private:
    friend class MemoryReservation;
    friend struct MemoryCharge;
    // Takes `bytes`, waiting while others hold them. False when `stop` was
    // requested first; throws MemoryExceeded when `bytes` exceeds the limit.
    bool acquire(std::uint64_t bytes, std::stop_token stop);
    bool tryAcquire(std::uint64_t bytes);
    void release(std::uint64_t bytes);

    const std::uint64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable_any freed_;
    std::uint64_t reserved_ = 0;
    std::uint64_t peak_ = 0;
    unsigned waiting_ = 0;
};

/// Memory taken from a budget for one file; given back when destroyed.
class MemoryReservation {
public:
    /// Waits until `bytes` are free (at most the budget's limit). Throws
    /// MemoryExceeded when `bytes` exceeds the limit, and Error(kStoppedMessage)
    /// when `stop` is requested while it waits.
    MemoryReservation(MemoryBudget& budget, std::uint64_t bytes, std::stop_token stop = {});
    /// Takes `bytes` only when they are free now; empty() otherwise.
    static MemoryReservation tryReserve(MemoryBudget& budget, std::uint64_t bytes);
    ~MemoryReservation();
    MemoryReservation(MemoryReservation&& other) noexcept;
    MemoryReservation& operator=(MemoryReservation&&) = delete;
    MemoryReservation(const MemoryReservation&) = delete;

    bool empty() const { return !budget_; }
    std::uint64_t bytes() const;
    MemoryBudget* budget() const { return budget_; }

    /// Raster bytes charged to this reservation and not yet given back.
    std::uint64_t charged() const;

    /// What the reservation shares with the charges made to it (memory.cpp).
    struct State;

private:
    friend class MemoryScope;
    friend struct MemoryCharge;
    MemoryReservation() = default;

    MemoryBudget* budget_ = nullptr;
    std::shared_ptr<State> state_;
};

/// Binds `reservation` to the calling thread for the scope's life: rasters
/// allocated meanwhile are charged to it. Scopes do not nest.
class MemoryScope {
public:
    explicit MemoryScope(MemoryReservation& reservation);
    ~MemoryScope();
    MemoryScope(const MemoryScope&) = delete;
    MemoryScope& operator=(const MemoryScope&) = delete;
};

/// A charge of raster bytes to the reservation bound to the thread that made
/// it; given back when destroyed, on whatever thread. Empty when no
/// reservation was bound.
struct MemoryCharge {
    MemoryCharge() = default;
    /// Charges `bytes`; throws MemoryExceeded or MemoryShortfall when the bound
    /// reservation cannot hold them.
    explicit MemoryCharge(std::uint64_t bytes);
    ~MemoryCharge();
    MemoryCharge(MemoryCharge&& other) noexcept;
    MemoryCharge& operator=(MemoryCharge&& other) noexcept;
    MemoryCharge(const MemoryCharge&) = delete;
    MemoryCharge& operator=(const MemoryCharge&) = delete;

private:
    std::shared_ptr<MemoryReservation::State> state_;
    std::uint64_t bytes_ = 0;
};

}  // namespace imbrix::imaging
