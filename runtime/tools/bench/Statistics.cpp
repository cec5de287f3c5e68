#include "Statistics.h"

#include <cstdlib>

#include <sys/resource.h>

#include <algorithm>
#include <numeric>

#include "Summary.h"

namespace vexart::bench {

Latency summarize(std::vector<double> ms) {
    Latency l;
    l.count = ms.size();
    if (ms.empty()) return l;
    std::sort(ms.begin(), ms.end());
    auto rank = [&](double p) { return diagview::percentile(ms, p); };
    l.meanMs = std::accumulate(ms.begin(), ms.end(), 0.0) / static_cast<double>(ms.size());
    l.p50Ms = rank(50);
    l.p90Ms = rank(90);
    l.p99Ms = rank(99);
    l.minMs = ms.front();
    l.maxMs = ms.back();
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
