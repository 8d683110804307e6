// The macOS clock, compiled against a stand-in for Mach whose readings and
// timebase the test controls.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <mach/mach_time.h>

namespace {
std::atomic<uint64_t> machNow;
std::atomic<uint64_t> machStep; // added after every reading
std::atomic<int> timebaseQueries;
uint32_t numer = 1;
uint32_t denom = 1;
} // namespace

extern "C" uint64_t mach_absolute_time(void) {
    return machNow.fetch_add(machStep.load());
}

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    ++timebaseQueries;
    std::this_thread::yield(); // widen the window for a racing first reading
    info->numer = numer;
    info->denom = denom;
    return 0;
}

#define TEMBRIX_MACH_CLOCK 1
#include "../tembrix.cpp"

namespace {

// Forgets the lazy set-up, as a freshly loaded library would have it.
void freshClock(uint64_t now, uint32_t n, uint32_t d, uint64_t step = 0) {
    machClockReady.store(0);
    start = 0;
    sTimebaseInfo = {0, 0};
    machNow = now;
    machStep = step;
    numer = n;
    denom = d;
    timebaseQueries = 0;
}

TEST(MachClock, FirstReadingIsZeroWheneverItHappens) {
    freshClock(987654321987ULL, 1, 1);
    EXPECT_EQ(getTimeNsec(), 0);
    machNow += 1500;
    EXPECT_EQ(getTimeNsec(), 1500);
    EXPECT_EQ(timebaseQueries.load(), 1);
}

TEST(MachClock, AppliesTheTimebaseMultiplyThenDivide) {
    freshClock(5000, 125, 3);
    EXPECT_EQ(getTimeNsec(), 0);
    machNow += 1;
    EXPECT_EQ(getTimeNsec(), 41); // 125 / 3, truncated
    machNow += 2;
    EXPECT_EQ(getTimeNsec(), 125); // dividing first would give 3 * 41 = 123
    machNow += 24000000 - 3;       // one second of a 24 MHz counter
    EXPECT_EQ(getTimeNsec(), 1000000000);
}

TEST(MachClock, LazySetUpHappensOnceEvenWhenThreadsRaceForTheFirstReading) {
    for (int round = 0; round < 50; ++round) {
        freshClock(1000000, 1, 1, 1);
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<int64_t> readings(8);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < readings.size(); ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                while (!go) {
                }
                readings[t] = getTimeNsec();
            });
        }
        while (ready < static_cast<int>(readings.size())) {
        }
        go = true;
        for (auto& t : threads) {
            t.join();
        }
        ASSERT_EQ(timebaseQueries.load(), 1);
        for (int64_t reading : readings) {
            // Small and never negative: every thread used the same zero point
            // and a filled-in timebase.
            ASSERT_GE(reading, 0);
            ASSERT_LE(reading, 64);
        }
    }
}

} // namespace
