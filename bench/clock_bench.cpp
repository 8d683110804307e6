// getTimeNsec, the library's exported clock, against a raw
// clock_gettime(CLOCK_MONOTONIC): the library call should cost no more than
// the clock read it wraps.

#include <benchmark/benchmark.h>

#include <stdint.h>
#include <time.h>

extern "C" int64_t getTimeNsec(void);

namespace {

constexpr int64_t kNsecPerSec = 1000000000;

void BM_clock_gettime(benchmark::State& state) {
    for (auto _ : state) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(static_cast<int64_t>(now.tv_sec) * kNsecPerSec + now.tv_nsec);
    }
}
BENCHMARK(BM_clock_gettime);

void BM_getTimeNsec(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(getTimeNsec());
    }
}
BENCHMARK(BM_getTimeNsec);

} // namespace

BENCHMARK_MAIN();
