// Folds the element-wise nodes that follow a convolution into it: a
// BatchNormalization with constant parameters, activations, and a
// residual Add whose other operand is computed by then. Values the user
// asked for end a chain, so they are always materialised.
#pragma once

#include <vector>

#include "graph/GraphIr.h"

namespace vexart {

struct FusedChain {
    Fusion fusion;
    int output = -1;               // the value the fused kernel now writes
    std::vector<size_t> absorbed;  // the nodes it runs, in the order absorbed
};

// Plans the chain after node `k` (whose kernel is fusable and whose output
// will have `outputShape` in `outputLayout`), marking the nodes it absorbs
// as skipped. A kernel that `writesCodes` may end the chain with the
// QuantizeLinear whose codes integer consumers read; one that takes no
// post-ops (`appliesPosts` false) fuses only that QuantizeLinear.
FusedChain fuseAfter(GraphState& g, size_t k, const Shape& outputShape, Layout outputLayout, bool foldsNormalization,
                     size_t channelAxis, bool writesCodes = false, bool appliesPosts = true);

}  // namespace vexart
