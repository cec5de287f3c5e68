// Arbitrary bytes opened as a model container; what opens is built and
// every graph executed once on zero inputs, through the library's C
// interface as the tool drives it. Decompression is capped low so that a
// bomb costs little; fuzzing builds also cap tensor sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtimelib/Vexa.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("VEXA_CONTAINER_MAX_BYTES", "16777216", 1);
    return 0;
}

namespace {

void runGraph(Vexa_VEXA_Handle_t net, const char* graph) {
    Vexa_StringList_Handle_t inputs = Vexa_VEXA_GetInputTensorNamesForNetwork(net, graph);
    Vexa_TensorMap_Handle_t in = Vexa_TensorMap_Create();
    Vexa_TensorMap_Handle_t out = Vexa_TensorMap_Create();
    std::vector<Vexa_ITensor_Handle_t> tensors;
    for (size_t i = 0; i < Vexa_StringList_Size(inputs); ++i) {
        const char* name = Vexa_StringList_At(inputs, i);
        Vexa_TensorShape_Handle_t shape = Vexa_VEXA_GetInputDimensionsForNetwork(net, graph, name);
        if (shape == nullptr) continue;
        Vexa_ITensor_Handle_t t = Vexa_Util_CreateITensor(shape);
        Vexa_TensorShape_Delete(shape);
        if (t == nullptr) continue;
        tensors.push_back(t);
        Vexa_TensorMap_Add(in, name, t);
    }
    Vexa_VEXA_ExecuteITensorsForNetwork(net, graph, in, out);
    Vexa_TensorMap_Delete(out);
    Vexa_TensorMap_Delete(in);
    for (auto* t : tensors) Vexa_ITensor_Delete(t);
    Vexa_StringList_Delete(inputs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Vexa_DlContainer_Handle_t c = Vexa_DlContainer_OpenBuffer(data, size);
    if (c == nullptr) return 0;
    Vexa_VEXABuilder_Handle_t b = Vexa_VEXABuilder_Create(c);
    Vexa_VEXA_Handle_t net = Vexa_VEXABuilder_Build(b);
    if (net != nullptr) {
        Vexa_StringList_Handle_t graphs = Vexa_VEXA_GetNetworkNames(net);
        for (size_t i = 0; i < Vexa_StringList_Size(graphs); ++i) runGraph(net, Vexa_StringList_At(graphs, i));
        Vexa_StringList_Delete(graphs);
        Vexa_VEXA_Delete(net);
    }
    Vexa_VEXABuilder_Delete(b);
    Vexa_DlContainer_Delete(c);
    return 0;
}
