// Imported quantized graphs dequantize before the nodes that keep a grid
// (DequantizeLinear -> MaxPool -> Conv): the node's result lies on the same
// grid, but only floats reach the product after it, which then runs on
// floats. Such a node reads the codes instead and a DequantizeLinear on the
// same grid follows it, so integer consumers read codes on
// (passes/CodesInput.h) and every tensor keeps its values: a maximum, a
// reshape or a gather of dequantized codes is the dequantization of theirs.
#pragma once

#include <memory>
#include <vector>

#include "graph/GraphIr.h"
#include "passes/CodesInput.h"

namespace vexart {

// The DequantizeLinear node (an index into `nodes`) whose output node `k`
// should read as codes instead, or -1: one that dequantizesCodes, with
// `constant` the constants known before any plan. Node `k` must keep its first input's grid (OpTraits::keepsGrid), add no
// values of its own (OpTraits::fillInput) and give one result.
int dequantizationToMove(const std::vector<std::unique_ptr<Node>>& nodes, const std::vector<int>& producer, size_t k,
                         const ConstantSource& constant);

}  // namespace vexart
