// Recognises scaled dot-product attention as exporters write it,
//   s = MatMul(q, k) [* or / a constant scalar] [+ mask],
//   y = MatMul(Softmax(s, last axis) [-> Dropout], v),
// so that it runs as one kernel over blocks of rows (kernels/Attention.h):
// the scores, often the largest tensor of a transformer (heads x tokens x
// tokens), then never leave the cache.
#pragma once

#include "graph/GraphIr.h"

namespace vexart {

struct AttentionMatch {
    int q = -1, k = -1, v = -1, mask = -1, output = -1;
    enum class Scale { None, Mul, Div } scaleOp = Scale::None;
    float scale = 1;
    std::vector<size_t> spanned;  // the nodes after the first that it replaces
};

// Whether the MatMul at node `k` starts such a subgraph whose operands (all
// computed by now) fit the fused kernel.
bool matchAttention(const GraphState& g, size_t k, AttentionMatch& m);

}  // namespace vexart
