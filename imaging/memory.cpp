#include "imaging/memory.h"

#include <cstdio>
#include <utility>

namespace imbrix::imaging {

struct MemoryReservation::State {
    std::mutex mutex;
    MemoryBudget* budget = nullptr;  ///< null once the reservation gave its bytes back
    std::uint64_t bytes = 0;         ///< the reservation's size
    std::uint64_t charged = 0;       ///< raster bytes charged and not given back
};

namespace {

// The reservation the calling thread's rasters are charged to.
thread_local std::shared_ptr<MemoryReservation::State> tBound;

}  // namespace

std::string memoryText(std::uint64_t bytes) {
    constexpr std::uint64_t kKB = 1024, kMB = kKB * 1024, kGB = kMB * 1024;
    char text[64];
    if (bytes >= kGB) {
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / kGB);
    } else if (bytes >= kMB) {
        std::snprintf(text, sizeof text, "%llu MB",
                      static_cast<unsigned long long>((bytes + kMB / 2) / kMB));
    } else if (bytes >= kKB) {
        std::snprintf(text, sizeof text, "%llu KB",
                      static_cast<unsigned long long>((bytes + kKB / 2) / kKB));
    } else {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return text;
}

MemoryExceeded::MemoryExceeded(std::uint64_t needed, std::uint64_t limit)
    : Error("The picture needs " + memoryText(needed) + " of memory, more than the " +
            memoryText(limit) + " this run may use") {}

MemoryShortfall::MemoryShortfall(std::uint64_t needed)
    : Error("Not enough memory is free for the picture (it needs " + memoryText(needed) + ")"),
      needed_(needed) {}

// --- MemoryBudget ------------------------------------------------------------

MemoryBudget::MemoryBudget(std::uint64_t limit) : limit_(limit) {}

std::uint64_t MemoryBudget::reserved() const {
    std::lock_guard lock(mutex_);
    return reserved_;
}

std::uint64_t MemoryBudget::peakReserved() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

unsigned MemoryBudget::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

bool MemoryBudget::acquire(std::uint64_t bytes, std::stop_token stop) {
    if (bytes > limit_) {
        throw MemoryExceeded(bytes, limit_);
    }
    std::unique_lock lock(mutex_);
    ++waiting_;
    const bool free = freed_.wait(lock, stop, [&] { return limit_ - reserved_ >= bytes; });
    --waiting_;
    if (!free) {
        return false;
    }
    reserved_ += bytes;
    peak_ = std::max(peak_, reserved_);
    return true;
}

bool MemoryBudget::tryAcquire(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    if (bytes > limit_ - reserved_) {
        return false;
    }
    reserved_ += bytes;
    peak_ = std::max(peak_, reserved_);
    return true;
}

void MemoryBudget::release(std::uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        reserved_ -= std::min(bytes, reserved_);
    }
    freed_.notify_all();
}

// --- MemoryReservation -------------------------------------------------------

MemoryReservation::MemoryReservation(MemoryBudget& budget, std::uint64_t bytes,
                                     std::stop_token stop) {
    if (!budget.acquire(bytes, std::move(stop))) {
        throw Error(kStoppedMessage);
    }
    budget_ = &budget;
    state_ = std::make_shared<State>();
    state_->budget = &budget;
    state_->bytes = bytes;
}

MemoryReservation MemoryReservation::tryReserve(MemoryBudget& budget, std::uint64_t bytes) {
    MemoryReservation reservation;
    if (bytes <= budget.limit() && budget.tryAcquire(bytes)) {
        reservation.budget_ = &budget;
        reservation.state_ = std::make_shared<State>();
        reservation.state_->budget = &budget;
        reservation.state_->bytes = bytes;
    }
    return reservation;
}

MemoryReservation::MemoryReservation(MemoryReservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), state_(std::move(other.state_)) {}

MemoryReservation::~MemoryReservation() {
    if (!state_) {
        return;
    }
    std::uint64_t bytes = 0;
    {
        std::lock_guard lock(state_->mutex);
        bytes = state_->bytes;
        state_->budget = nullptr;  // charges that outlive it are not given back twice
    }
    budget_->release(bytes);
}

std::uint64_t MemoryReservation::bytes() const {
    if (!state_) {
        return 0;
    }
    std::lock_guard lock(state_->mutex);
    return state_->bytes;
}

std::uint64_t MemoryReservation::charged() const {
    if (!state_) {
        return 0;
    }
    std::lock_guard lock(state_->mutex);
    return state_->charged;
}

// --- MemoryScope -------------------------------------------------------------

MemoryScope::MemoryScope(MemoryReservation& reservation) {
    tBound = reservation.state_;
}

MemoryScope::~MemoryScope() {
    tBound.reset();
}

// --- MemoryCharge ------------------------------------------------------------

MemoryCharge::MemoryCharge(std::uint64_t bytes) {
    if (!tBound) {
        return;
    }
    MemoryReservation::State& state = *tBound;
    std::lock_guard lock(state.mutex);
    if (state.budget) {
        const std::uint64_t needed = state.charged + bytes;
        if (needed > state.bytes) {
            // Grown in place while the budget has room; else the file needs more
            // than it reserved and tries again once it holds nothing.
            if (needed > state.budget->limit()) {
                throw MemoryExceeded(needed, state.budget->limit());
            }
            if (!state.budget->tryAcquire(needed - state.bytes)) {
                throw MemoryShortfall(needed);
            }
            state.bytes = needed;
        }
    }
    state.charged += bytes;
    state_ = tBound;
    bytes_ = bytes;
}

MemoryCharge::~MemoryCharge() {
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->charged -= std::min(bytes_, state_->charged);
    }
}

MemoryCharge::MemoryCharge(MemoryCharge&& other) noexcept
    : state_(std::move(other.state_)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryCharge& MemoryCharge::operator=(MemoryCharge&& other) noexcept {
    if (this != &other) {
        MemoryCharge old(std::move(*this));
        state_ = std::move(other.state_);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

}  // namespace imbrix::imaging
