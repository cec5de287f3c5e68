// Latency figures of a benchmark run and what the machine was: the numbers
// vexa-bench prints and writes as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexart::bench {

struct Latency {
    size_t count = 0;
    size_t sampled = 0;  // executions the percentiles were taken from (count, or the sample's size)
    double meanMs = 0, stddevMs = 0, p50Ms = 0, p90Ms = 0, p99Ms = 0, minMs = 0, maxMs = 0;
};

// The times of a run of any length in constant memory. Count, mean,
// standard deviation, minimum and maximum are exact; the percentiles are
// nearest-rank over every time while at most kSample were recorded, then
// over a uniform sample of kSample of them (reservoir sampling with a
// fixed seed, so that a run is reproducible).
class LatencyRecorder {
public:
    static constexpr size_t kSample = size_t{1} << 16;
    void add(double ms);
    size_t count() const { return count_; }
    Latency summary() const;

private:
    std::vector<double> sample_;
    size_t count_ = 0;
    double mean_ = 0, m2_ = 0, min_ = 0, max_ = 0;  // Welford's running moments
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// The largest resident set of this process so far, in bytes.
uint64_t peakResidentBytes();

// The vector instructions the processor offers that the engine's kernels
// choose from at run time: "AVX-512 with VNNI and AMX", "AVX2", ... and the set
// oneDNN is held to, where ONEDNN_MAX_CPU_ISA holds it lower.
std::string instructionSet();

}  // namespace vexart::bench
