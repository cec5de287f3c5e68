// The pattern-substitution stage for activations: formulas that exporters
// write out node by node and the engine runs as one post-op step (Swish,
// HardSwish, GELU, fake quantization). A match starts at the value the
// formula reads; every value inside it must be read by the formula alone
// and asked for by no one, so that leaving them unwritten changes nothing.
// Layer normalisation has its own matcher (passes/LayerNormFusion.h).
#pragma once

#include <vector>

#include "graph/GraphIr.h"

namespace vexart {

struct ActivationMatch {
    Fusion::Post post;          // the formula as one step
    std::vector<Node*> spanned;  // its nodes but the last
    Node* last = nullptr;        // the node whose output is the formula's
};

// Recognises, from `x`:
//   x * Sigmoid(x)                                   Swish
//   x * HardSigmoid(x; 1/6, 1/2), x * Clip(x+3, 0, 6) / 6   HardSwish
//   0.5 * x * (1 + Erf(x / sqrt 2))                  GELU
//   DequantizeLinear(QuantizeLinear(x)) on one constant grid   fake quantization
bool matchActivationPattern(const GraphState& g, int x, ActivationMatch& m);

// The activation node `n` computes from its first input, as a step, with
// the operator's defaults where the node leaves parameters out.
bool activationOf(const GraphState& g, const Node& n, Fusion::Post& p);

// The constant per-tensor scale, zero point and code type of a
// QuantizeLinear or DequantizeLinear node.
bool quantParams(const GraphState& g, const Node& n, float& scale, float& zero, DType& type);

}  // namespace vexart
