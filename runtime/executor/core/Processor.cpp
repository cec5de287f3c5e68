#include "core/Processor.h"

#include "core/Tensor.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vexart {

std::vector<std::string> builtForExtensions() {
    std::vector<std::string> e;
#ifdef __SSE4_2__
    e.emplace_back("sse4.2");
#endif
#ifdef __AVX__
    e.emplace_back("avx");
#endif
#ifdef __AVX2__
    e.emplace_back("avx2");
#endif
#ifdef __FMA__
    e.emplace_back("fma");
#endif
#ifdef __F16C__
    e.emplace_back("f16c");
#endif
#ifdef __BMI2__
    e.emplace_back("bmi2");
#endif
#ifdef __AVX512F__
    e.emplace_back("avx512f");
#endif
#ifdef __AVX512BW__
    e.emplace_back("avx512bw");
#endif
#ifdef __AVX512DQ__
    e.emplace_back("avx512dq");
#endif
#ifdef __AVX512VL__
    e.emplace_back("avx512vl");
#endif
#ifdef __AVX512VNNI__
    e.emplace_back("avx512vnni");
#endif
    return e;
}

std::string missingExtensions(const std::vector<std::string>& needed, const std::function<bool(const std::string&)>& has) {
    std::string missing;
    for (const auto& e : needed) {
        if (has(e)) continue;
        missing += (missing.empty() ? "" : " ") + e;
    }
    return missing;
}

bool processorHas(const std::string& e) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (e == "sse4.2") return __builtin_cpu_supports("sse4.2");
    if (e == "avx") return __builtin_cpu_supports("avx");
    if (e == "avx2") return __builtin_cpu_supports("avx2");
    if (e == "fma") return __builtin_cpu_supports("fma");
    if (e == "f16c") {
        // Not a name clang's __builtin_cpu_supports knows: CPUID leaf 1, ECX bit 29.
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & (1u << 29)) != 0;
    }
    if (e == "bmi2") return __builtin_cpu_supports("bmi2");
    if (e == "avx512f") return __builtin_cpu_supports("avx512f");
    if (e == "avx512bw") return __builtin_cpu_supports("avx512bw");
    if (e == "avx512dq") return __builtin_cpu_supports("avx512dq");
    if (e == "avx512vl") return __builtin_cpu_supports("avx512vl");
    if (e == "avx512vnni") return __builtin_cpu_supports("avx512vnni");
#endif
    return false;
}

void requireProcessorExtensions() {
    const std::string missing = missingExtensions(builtForExtensions(), processorHas);
    if (missing.empty()) return;
    throw ExecError("this library's kernels were built for processors with " + missing +
                    ", which this one lacks; build it with -DVEXA_KERNEL_ARCH=x86-64 to run here");
}

}  // namespace vexart
