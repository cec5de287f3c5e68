// vexa-bench's figures of a run of any length: exact while every time is
// kept, from a bounded uniform sample beyond, in constant memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "tools/bench/Statistics.h"

namespace {

using vexart::bench::LatencyRecorder;

// The k-th smallest with k = ceil(p/100 * n), worked out apart from the tool.
double nearestRank(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()) / 100 - 1e-9));
    return v[std::max<size_t>(k, 1) - 1];
}

TEST(BenchStatistics, ShortRunsKeepEveryTime) {
    // 37 times: p50 is rank 19, p90 rank 34 (33.3 rounded up), p99 rank 37.
    std::vector<double> times;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> ms(0.1, 9.0);
    for (int i = 0; i < 37; ++i) times.push_back(ms(rng));
    LatencyRecorder r;
    for (double t : times) r.add(t);
    const auto l = r.summary();
    EXPECT_EQ(l.count, 37u);
    EXPECT_EQ(l.sampled, 37u);
    for (const auto& [p, got] : {std::pair{50.0, l.p50Ms}, std::pair{90.0, l.p90Ms}, std::pair{99.0, l.p99Ms}}) {
        EXPECT_EQ(got, nearestRank(times, p)) << p;
    }
    const double mean = std::accumulate(times.begin(), times.end(), 0.0) / 37;
    double squares = 0;
    for (double t : times) squares += (t - mean) * (t - mean);
    EXPECT_NEAR(l.meanMs, mean, 1e-12);
    EXPECT_NEAR(l.stddevMs, std::sqrt(squares / 36), 1e-12);
    EXPECT_EQ(l.minMs, *std::min_element(times.begin(), times.end()));
    EXPECT_EQ(l.maxMs, *std::max_element(times.begin(), times.end()));
    EXPECT_EQ(LatencyRecorder().summary().count, 0u);
}

TEST(BenchStatistics, LongRunsSampleUniformlyInBoundedMemory) {
    // 0, 1, ..., n-1 ms in a shuffled order, four times what is kept, with
    // the slowest tenth all at the end (a machine that slowed down late):
    // a sample that favoured early times would miss them.
    const size_t n = 4 * LatencyRecorder::kSample;
    std::vector<double> times(n);
    std::iota(times.begin(), times.end(), 0.0);
    std::mt19937 rng(9);
    std::shuffle(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(n * 9 / 10), rng);
    std::shuffle(times.begin() + static_cast<std::ptrdiff_t>(n * 9 / 10), times.end(), rng);
    LatencyRecorder r;
    for (double t : times) r.add(t);
    const auto l = r.summary();
    EXPECT_EQ(l.count, n);
    EXPECT_EQ(l.sampled, LatencyRecorder::kSample);
    EXPECT_EQ(l.minMs, 0);
    EXPECT_EQ(l.maxMs, static_cast<double>(n - 1));
    EXPECT_NEAR(l.meanMs, static_cast<double>(n - 1) / 2, 1e-6);
    // A uniform sample of 65,536 puts a percentile within about 0.2% of
    // the ranks; half a percent is several standard errors.
    for (const auto& [p, got] : {std::pair{50.0, l.p50Ms}, std::pair{90.0, l.p90Ms}, std::pair{99.0, l.p99Ms}}) {
        EXPECT_NEAR(got, nearestRank(times, p), 0.005 * static_cast<double>(n)) << p;
    }
}

}  // namespace
