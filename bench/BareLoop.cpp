// The library alone: builds the network once and executes it `n` times on
// one preloaded input, in tensor mode or with fixed-point user buffers,
// printing the time per inference. The tool's overhead is measured against it.
//   bench-bare-loop CONTAINER INPUT.raw N tensor|tf8
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "buffers/Conversion.h"
#include "FirstGraph.h"
#include "runtimelib/UniqueHandle.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench-bare-loop CONTAINER INPUT.raw N tensor|tf8\n");
        return 2;
    }
    const int n = std::atoi(argv[3]);
    const bool tf8 = std::string(argv[4]) == "tf8";
    std::ifstream in(argv[2], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> input(bytes.size() / 4);
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(input.data()));

    DlContainerHandle c(Vexa_DlContainer_Open(argv[1]));
    BuilderHandle b(Vexa_VEXABuilder_Create(c.get()));
    Vexa_VEXABuilder_SetUseUserSuppliedBuffers(b.get(), tf8);
    NetworkHandleOwner net(Vexa_VEXABuilder_Build(b.get()));
    if (!net) {
        std::fprintf(stderr, "%s\n", Vexa_ErrorCode_GetLastErrorString());
        return 1;
    }
    const FirstGraph first(net.get());
    const char* g = first.graph.c_str();
    const char* inName = first.input.c_str();
    const char* outName = first.output.c_str();
    const TensorShapeHandle& dims = first.dims;

    std::vector<uint8_t> qIn(input.size()), qOut;
    UserBufferMapHandle inMap(Vexa_UserBufferMap_Create()), outMap(Vexa_UserBufferMap_Create());
    std::vector<UserBufferHandle> buffers;
    auto makeBuffer = [&](const char* name, std::vector<uint8_t>& memory, Vexa_UserBufferMap_Handle_t map) {
        const BufferAttributesHandle a(Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net.get(), g, name));
        const TensorShapeHandle d(Vexa_IBufferAttributes_GetDims(a.get()));
        std::vector<size_t> strides(Vexa_TensorShape_Rank(d.get()), 1);
        size_t count = 1;
        for (size_t i = strides.size(); i-- > 0;) {
            strides[i] = count;
            count *= Vexa_TensorShape_At(d.get(), i);
        }
        memory.resize(count);
        const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(strides.data(), strides.size()));
        const EncodingHandle e(Vexa_UserBufferEncodingTfN_Create(0, 0, 8));
        buffers.emplace_back(Vexa_Util_CreateUserBuffer(memory.data(), count, s.get(), e.get()));
        Vexa_UserBufferMap_Add(map, name, buffers.back().get());
    };
    if (tf8) {
        makeBuffer(inName, qIn, inMap.get());
        makeBuffer(outName, qOut, outMap.get());
    }
    std::vector<float> outFloats(qOut.size());
    auto once = [&] {
        if (tf8) {
            float step = 0;
            uint64_t offset = 0;
            convertElements(input.data(), qIn.data(), "float32", "fixedPoint8", input.size(), &step, &offset, true);
            Vexa_UserBufferEncoding_Handle_t e = Vexa_IUserBuffer_GetEncoding_Ref(buffers[0].get());
            Vexa_UserBufferEncodingTfN_SetQuantizedStepSize(e, step);
            Vexa_UserBufferEncodingTfN_SetStepExactly0(e, offset);
            Vexa_VEXA_ExecuteUserBuffersForNetwork(net.get(), g, inMap.get(), outMap.get());
            Vexa_UserBufferEncoding_Handle_t oe = Vexa_IUserBuffer_GetEncoding_Ref(buffers[1].get());
            float os = Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(oe);
            uint64_t oo = Vexa_UserBufferEncodingTfN_GetStepExactly0(oe);
            convertElements(qOut.data(), outFloats.data(), "fixedPoint8", "float32", qOut.size(), &os, &oo, false);
            return;
        }
        const ITensorHandle t(Vexa_Util_CreateITensor(dims.get()));
        std::copy(input.begin(), input.end(), Vexa_ITensor_GetData(t.get()));
        const TensorMapHandle inputs(Vexa_TensorMap_Create()), outputs(Vexa_TensorMap_Create());
        Vexa_TensorMap_Add(inputs.get(), inName, t.get());
        Vexa_VEXA_ExecuteITensorsForNetwork(net.get(), g, inputs.get(), outputs.get());
    };
    once();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) once();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.4f\n", ms / n);
    return 0;
}
