// Throughput of the element conversions beside memcpy of the same bytes,
// on tensors of 1 MiB to 64 MiB (float32 side).
//   bench-conversions [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "buffers/Conversion.h"
#include "buffers/DataTypes.h"

namespace {

void run(benchmark::State& state, const std::string& from, const std::string& to, bool compute) {
    const size_t count = static_cast<size_t>(state.range(0)) / 4;
    const size_t fromBytes = count * DataTypeBitWidths.at(from) / 8;
    const size_t toBytes = count * DataTypeBitWidths.at(to) / 8;
    std::vector<uint8_t> src(fromBytes), dst(toBytes);
    if (from == "float32") {
        auto* f = reinterpret_cast<float*>(src.data());
        for (size_t i = 0; i < count; ++i) f[i] = std::sin(static_cast<float>(i)) * 4.0f;
    } else {
        for (size_t i = 0; i < fromBytes; ++i) src[i] = static_cast<uint8_t>(i * 7);
    }
    float step = 8.0f / 255;
    uint64_t offset = 128;
    for (auto _ : state) {
        convertElements(src.data(), dst.data(), from, to, count, &step, &offset, compute);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(std::max(fromBytes, toBytes)));
}

void Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

#define VEXA_CONVERSION(NAME, FROM, TO, COMPUTE)                                  \
    void NAME(benchmark::State& state) { run(state, FROM, TO, COMPUTE); }         \
    BENCHMARK(NAME)->RangeMultiplier(8)->Range(1 << 20, 64 << 20)->Unit(benchmark::kMicrosecond);

BENCHMARK(Memcpy)->RangeMultiplier(8)->Range(1 << 20, 64 << 20)->Unit(benchmark::kMicrosecond);
VEXA_CONVERSION(Float32ToFloat16, "float32", "float16", false)
VEXA_CONVERSION(Float16ToFloat32, "float16", "float32", false)
VEXA_CONVERSION(Float32ToFixedPoint8Computed, "float32", "fixedPoint8", true)
VEXA_CONVERSION(Float32ToFixedPoint8Given, "float32", "fixedPoint8", false)
VEXA_CONVERSION(FixedPoint8ToFloat32, "fixedPoint8", "float32", false)
VEXA_CONVERSION(Float32ToFixedPoint16Computed, "float32", "fixedPoint16", true)
VEXA_CONVERSION(FixedPoint16ToFloat32, "fixedPoint16", "float32", false)
VEXA_CONVERSION(Float32ToInt8, "float32", "int8", false)
VEXA_CONVERSION(Int8ToFloat32, "int8", "float32", false)
VEXA_CONVERSION(Float32ToUint8, "float32", "uint8", false)
VEXA_CONVERSION(Uint8ToFloat32, "uint8", "float32", false)

}  // namespace

BENCHMARK_MAIN();
