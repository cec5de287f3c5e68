// Latency figures of a benchmark run and what the machine was: the numbers
// vexa-bench prints and writes as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexart::bench {

struct Latency {
    size_t count = 0;
    double meanMs = 0, p50Ms = 0, p90Ms = 0, p99Ms = 0, minMs = 0, maxMs = 0;
};
// Nearest-rank percentiles of the times, in milliseconds.
Latency summarize(std::vector<double> ms);

// The largest resident set of this process so far, in bytes.
uint64_t peakResidentBytes();

// The vector instructions the processor offers that the engine's kernels
// choose from at run time: "AVX-512 with VNNI and AMX", "AVX2", ... and the set
// oneDNN is held to, where ONEDNN_MAX_CPU_ISA holds it lower.
std::string instructionSet();

}  // namespace vexart::bench
