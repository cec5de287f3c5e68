// Imported quantized graphs dequantize before the nodes that keep a grid
// (DequantizeLinear -> MaxPool -> Conv): the node's result lies on the same
// grid, but only floats reach the product after it, which then runs on
// floats. Such a node reads the codes instead and a DequantizeLinear on the
// same grid follows it, so integer consumers read codes on
// (passes/CodesInput.h) and every tensor keeps its values: a maximum, a
// reshape or a gather of dequantized codes is the dequantization of theirs.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "graph/GraphIr.h"

namespace vexart {

// The constant tensor a value holds before any plan (an initializer, or one
// passed through Identity nodes), or null.
using ConstantSource = std::function<const Tensor*(int value)>;

// The DequantizeLinear node (an index into `nodes`) whose output node `k`
// should read as codes instead, or -1. It must dequantize a computed value
// on a constant per-tensor grid whose zero point states 8-bit codes, and
// node `k` must keep its first input's grid (OpTraits::keepsGrid), add no
// values of its own (OpTraits::fillInput) and give one result.
int dequantizationToMove(const std::vector<std::unique_ptr<Node>>& nodes, const std::vector<int>& producer, size_t k,
                         const ConstantSource& constant);

}  // namespace vexart
