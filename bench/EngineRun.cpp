// One model through the runtime library the way bench/ort/time_ort.js takes
// it through ONNX Runtime: load (container open and build), a first
// execution, then the median of `runs` executions on one preloaded input.
// Prints one JSON line; writes the first output when asked, for checking.
// The library's thread count comes from VEXA_NUM_THREADS.
//   bench-engine-run [--fixed-point] CONTAINER INPUT.raw RUNS [OUTPUT.raw]
// --fixed-point runs the CPU runtime in fixed point (with the container's encodings).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FirstGraph.h"
#include "runtimelib/UniqueHandle.h"

namespace {

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    const bool fixedPoint = argc > 1 && std::string(argv[1]) == "--fixed-point";
    if (fixedPoint) {
        --argc;
        ++argv;
    }
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: bench-engine-run [--fixed-point] CONTAINER INPUT.raw RUNS [OUTPUT.raw]\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[3]));
    std::ifstream in(argv[2], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> input(bytes.size() / 4);
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(input.data()));

    const auto loadStart = std::chrono::steady_clock::now();
    DlContainerHandle c(Vexa_DlContainer_Open(argv[1]));
    BuilderHandle b(c ? Vexa_VEXABuilder_Create(c.get()) : nullptr);
    Vexa_VEXABuilder_SetProfilingLevel(b.get(), 0);
    Vexa_VEXABuilder_SetCpuFixedPointMode(b.get(), fixedPoint ? 1 : 0);
    NetworkHandleOwner net(b ? Vexa_VEXABuilder_Build(b.get()) : nullptr);
    if (!net) {
        std::fprintf(stderr, "%s\n", Vexa_ErrorCode_GetLastErrorString());
        return 1;
    }
    const double loadMs = msSince(loadStart);
    const FirstGraph first(net.get());
    const char* g = first.graph.c_str();
    const char* inName = first.input.c_str();
    const char* outName = first.output.c_str();
    const TensorShapeHandle& dims = first.dims;
    std::vector<float> output;
    auto once = [&](bool keep) {
        const ITensorHandle t(Vexa_Util_CreateITensor(dims.get()));
        if (!t || Vexa_ITensor_GetSize(t.get()) != input.size()) {
            std::fprintf(stderr, "the input holds %zu floats, the network takes %zu\n", input.size(),
                         t ? Vexa_ITensor_GetSize(t.get()) : 0);
            return false;
        }
        std::copy(input.begin(), input.end(), Vexa_ITensor_GetData(t.get()));
        const TensorMapHandle inputs(Vexa_TensorMap_Create()), outputs(Vexa_TensorMap_Create());
        Vexa_TensorMap_Add(inputs.get(), inName, t.get());
        if (Vexa_VEXA_ExecuteITensorsForNetwork(net.get(), g, inputs.get(), outputs.get()) != 0) return false;
        if (keep) {
            Vexa_ITensor_Handle_t o = Vexa_TensorMap_GetTensor_Ref(outputs.get(), outName);
            output.assign(Vexa_ITensor_GetData(o), Vexa_ITensor_GetData(o) + Vexa_ITensor_GetSize(o));
        }
        return true;
    };
    const auto firstStart = std::chrono::steady_clock::now();
    if (!once(true)) {
        std::fprintf(stderr, "no first execution: %s\n", Vexa_ErrorCode_GetLastErrorString());
        return 1;
    }
    const double firstMs = msSince(firstStart);
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto t = std::chrono::steady_clock::now();
        once(false);
        times.push_back(msSince(t));
    }
    std::sort(times.begin(), times.end());
    if (argc == 5) {
        std::ofstream(argv[4], std::ios::binary)
            .write(reinterpret_cast<const char*>(output.data()), static_cast<std::streamsize>(output.size() * 4));
    }
    const char* threads = std::getenv("VEXA_NUM_THREADS");
    std::printf("{\"load_ms\": %.3f, \"first_ms\": %.3f, \"median_ms\": %.4f, \"threads\": \"%s\"}\n", loadMs,
                firstMs, times[times.size() / 2], threads != nullptr ? threads : "default");
    return 0;
}
