// The benchmarks' view of a built network: its first graph, that graph's
// first input and output, and the input's dimensions.
#pragma once

#include <string>

#include "runtimelib/UniqueHandle.h"

struct FirstGraph {
    std::string graph, input, output;
    TensorShapeHandle dims;

    explicit FirstGraph(Vexa_VEXA_Handle_t net) {
        const StringListHandle graphs(Vexa_VEXA_GetNetworkNames(net));
        graph = text(Vexa_StringList_At(graphs.get(), 0));
        const StringListHandle ins(Vexa_VEXA_GetInputTensorNamesForNetwork(net, graph.c_str()));
        const StringListHandle outs(Vexa_VEXA_GetOutputTensorNamesForNetwork(net, graph.c_str()));
        input = text(Vexa_StringList_At(ins.get(), 0));
        output = text(Vexa_StringList_At(outs.get(), 0));
        dims.reset(Vexa_VEXA_GetInputDimensionsForNetwork(net, graph.c_str(), input.c_str()));
    }

private:
    static std::string text(const char* s) { return s != nullptr ? s : ""; }
};
