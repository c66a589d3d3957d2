#include "Clock.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(VirtualClockTime, SleepForAdvancesExactlyAndRecordsEachSleep) {
    VirtualClock clock(5000);
    ScopedClock installed(clock);
    SleepFor(0);
    EXPECT_EQ(clock.NowMs(), 5000u);
    SleepFor(1500);
    EXPECT_EQ(clock.NowMs(), 6500u);
    SleepFor(0xFFFFFFFFu);
    EXPECT_EQ(clock.NowMs(), 6500u + 4294967295ull);
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint64_t>{0, 1500, 4294967295ull}));
}

TEST(VirtualClockTime, TimeNowWrapsModulo2To32AndDifferencesStillWork) {
    VirtualClock clock((1ull << 32) - 700);
    ScopedClock installed(clock);
    const unsigned int before = TimeNow();
    EXPECT_EQ(before, 0xFFFFFFFFu - 699);
    SleepFor(1500);
    const unsigned int after = TimeNow();
    EXPECT_EQ(after, 800u);
    EXPECT_LT(after, before);
    EXPECT_EQ(after - before, 1500u);

    clock.Advance(3ull << 32);
    EXPECT_EQ(TimeNow(), 800u);
}

TEST(VirtualClockTime, ObserversSeeEveryAdvanceAndMayReadTheClock) {
    VirtualClock clock(100);
    std::vector<std::uint64_t> first, second, readInside;
    clock.AddObserver([&](std::uint64_t now) { first.push_back(now); });
    clock.AddObserver([&](std::uint64_t now) {
        second.push_back(now);
        readInside.push_back(clock.NowMs()); // must not deadlock: observers run outside the lock
    });
    clock.Advance(10);
    clock.SleepMs(5);
    clock.Advance(0);
    EXPECT_EQ(first, (std::vector<std::uint64_t>{110, 115, 115}));
    EXPECT_EQ(second, first);
    EXPECT_EQ(readInside, first);
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint64_t>{5})); // Advance is not a sleep
}

TEST(VirtualClockTime, ObserverAddedDuringNotificationStartsWithTheNextAdvance) {
    VirtualClock clock(0);
    std::vector<std::uint64_t> late;
    bool added = false;
    clock.AddObserver([&](std::uint64_t) {
        if (!added) {
            added = true;
            clock.AddObserver([&](std::uint64_t now) { late.push_back(now); });
        }
    });
    clock.Advance(1);
    EXPECT_TRUE(late.empty());
    clock.Advance(2);
    EXPECT_EQ(late, (std::vector<std::uint64_t>{3}));
}

TEST(ScopedClockTest, InstallsAndRestores) {
    Clock& before = CurrentClock();
    VirtualClock clock;
    {
        ScopedClock installed(clock);
        EXPECT_EQ(&CurrentClock(), &clock);
        EXPECT_EQ(TimeNow(), 1'000'000u);
    }
    EXPECT_EQ(&CurrentClock(), &before);
    EXPECT_EQ(dynamic_cast<VirtualClock*>(&CurrentClock()), nullptr);
}
