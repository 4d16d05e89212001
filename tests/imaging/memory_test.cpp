// The run's memory budget: reservations wait for each other and never sum past
// the limit, a stop ends a wait, and rasters count against the reservation
// bound to their thread.
#include "imaging/memory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "imaging/error.h"
#include "imaging/raster.h"

namespace imbrix::imaging {
namespace {

constexpr std::uint64_t kMB = 1 << 20;

// Polls `condition` for up to ten seconds: a thread's wait shows in the counters.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST(MemoryBudget, APictureLargerThanTheWholeBudgetFailsAtOnce) {
    MemoryBudget budget(2048 * kMB);
    try {
        MemoryReservation reservation(budget, 3 * 1024 * kMB);
        ADD_FAILURE() << "reserved more than the budget";
    } catch (const MemoryExceeded& e) {
        EXPECT_STREQ(e.what(),
                     "The picture needs 3.0 GB of memory, more than the 2.0 GB this run may use");
    }
    EXPECT_EQ(budget.reserved(), 0u);
}

TEST(MemoryBudget, ASecondReservationWaitsUntilTheFirstIsGivenBack) {
    MemoryBudget budget(100 * kMB);
    std::optional<MemoryReservation> first(std::in_place, budget, 60 * kMB);
    std::optional<std::uint64_t> secondGot;
    std::thread second([&] {
        MemoryReservation reservation(budget, 60 * kMB);
        secondGot = budget.reserved();
    });
    ASSERT_TRUE(eventually([&] { return budget.waiting() == 1; }));
    EXPECT_EQ(budget.reserved(), 60 * kMB);
    EXPECT_TRUE(MemoryReservation::tryReserve(budget, 60 * kMB).empty());
    first.reset();
    second.join();
    EXPECT_EQ(secondGot, 60 * kMB);
    EXPECT_EQ(budget.peakReserved(), 60 * kMB);
    EXPECT_EQ(budget.reserved(), 0u);
}

TEST(MemoryBudget, AStopEndsTheWait) {
    MemoryBudget budget(100 * kMB);
    MemoryReservation held(budget, 80 * kMB);
    std::stop_source stop;
    std::string message;
    std::thread waiter([&] {
        try {
            MemoryReservation reservation(budget, 50 * kMB, stop.get_token());
        } catch (const Error& e) {
            message = e.what();
        }
    });
    ASSERT_TRUE(eventually([&] { return budget.waiting() == 1; }));
    stop.request_stop();
    waiter.join();
    EXPECT_EQ(message, kStoppedMessage);
    EXPECT_EQ(budget.reserved(), 80 * kMB);
}

TEST(MemoryBudget, RastersCountAgainstTheReservationOfTheirThread) {
    MemoryBudget budget(64 * kMB);
    MemoryReservation reservation(budget, 8 * kMB);
    {
        MemoryScope scope(reservation);
        Raster small(1000, 1000);  // 4 MB: within the reservation
        EXPECT_EQ(reservation.charged(), 4'000'000u);
        {
            Raster larger(1500,
                          1000);  // 6 MB more: the reservation grows while the budget has room
            EXPECT_EQ(reservation.bytes(), 10'000'000u);
            EXPECT_EQ(budget.reserved(), 10'000'000u);
        }
        EXPECT_EQ(reservation.charged(), 4'000'000u);
        // Beyond the whole budget: the file fails.
        EXPECT_THROW(Raster(5000, 4000), MemoryExceeded);
        // Within the budget, but another file holds the rest: the file starts again.
        MemoryReservation other =
            MemoryReservation::tryReserve(budget, budget.limit() - budget.reserved());
        ASSERT_FALSE(other.empty());
        try {
            Raster tooMuch(2000, 1000);
            ADD_FAILURE() << "no shortfall";
        } catch (const MemoryShortfall& e) {
            EXPECT_EQ(e.needed(), 12'000'000u);
        }
        EXPECT_EQ(reservation.charged(), 4'000'000u);
    }
    // No reservation bound: rasters are what they always were.
    Raster unbound(3000, 3000);
    EXPECT_EQ(reservation.charged(), 0u);
    EXPECT_FALSE(unbound.empty());
}

TEST(MemoryBudget, SizesReadAsTheUserSeesThem) {
    EXPECT_EQ(memoryText(3 * 1024 * kMB), "3.0 GB");
    EXPECT_EQ(memoryText(512 * kMB), "512 MB");
    EXPECT_EQ(memoryText(64 * 1024), "64 KB");
    EXPECT_EQ(memoryText(100), "100 bytes");
}

}  // namespace
}  // namespace imbrix::imaging
