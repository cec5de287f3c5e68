#include "Statistics.h"

#include <cstdlib>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>

#include "Summary.h"

namespace vexart::bench {

void LatencyRecorder::add(double ms) {
    ++count_;
    if (count_ == 1) min_ = max_ = ms;
    min_ = std::min(min_, ms);
    max_ = std::max(max_, ms);
    const double delta = ms - mean_;
    mean_ += delta / static_cast<double>(count_);
    m2_ += delta * (ms - mean_);
    if (sample_.size() < kSample) {
        sample_.push_back(ms);
        return;
    }
    // Keeps each of the count_ times with probability kSample / count_.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    const uint64_t slot = state_ % count_;
    if (slot < kSample) sample_[slot] = ms;
}

Latency LatencyRecorder::summary() const {
    Latency l;
    l.count = count_;
    l.sampled = sample_.size();
    if (count_ == 0) return l;
    std::vector<double> sorted = sample_;
    std::sort(sorted.begin(), sorted.end());
    auto rank = [&](double p) { return diagview::percentile(sorted, p); };
    l.meanMs = mean_;
    l.stddevMs = count_ > 1 ? std::sqrt(m2_ / static_cast<double>(count_ - 1)) : 0;
    l.p50Ms = rank(50);
    l.p90Ms = rank(90);
    l.p99Ms = rank(99);
    l.minMs = min_;
    l.maxMs = max_;
    return l;
}

uint64_t peakResidentBytes() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

namespace {

std::string processorSet() {
#if defined(__x86_64__) || defined(_M_X64)
    __builtin_cpu_init();
    const bool vnni512 = __builtin_cpu_supports("avx512vnni");
    // oneDNN takes AMX tiles for 8-bit products where they exist.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("amx-int8")) return "AVX-512 with VNNI and AMX";
    if (__builtin_cpu_supports("avx512f")) return vnni512 ? "AVX-512 with VNNI" : "AVX-512";
    if (__builtin_cpu_supports("avx2")) return "AVX2";
    if (__builtin_cpu_supports("sse4.1")) return "SSE4.1";
    return "x86-64";
#else
    return "not x86-64";
#endif
}

}  // namespace

std::string instructionSet() {
    // oneDNN's kernels held below what the processor has: the figures are theirs.
    for (const char* cap : {"ONEDNN_MAX_CPU_ISA", "DNNL_MAX_CPU_ISA"}) {
        const char* v = std::getenv(cap);
        if (v != nullptr && *v != '\0') return processorSet() + ", oneDNN held to " + v;
    }
    return processorSet();
}

}  // namespace vexart::bench
