// Recognises layer normalisation written out as exporters write it,
//   m = ReduceMean(x), d = x - m, v = ReduceMean(d ^ 2), n = d / Sqrt(v + eps),
//   y = n * scale + bias   (means over the last axis; scale, bias and eps constant),
// so that it runs as one kernel instead of nine passes over the data.
#pragma once

#include "graph/GraphIr.h"

namespace vexart {

struct LayerNormMatch {
    int x = -1, scale = -1, bias = -1, output = -1;
    float epsilon = 0;
    std::vector<size_t> spanned;  // the nodes after the first that it replaces
};

// Whether the ReduceMean at node `k` starts such a subgraph.
bool matchLayerNorm(const GraphState& g, size_t k, LayerNormMatch& m);

}  // namespace vexart
