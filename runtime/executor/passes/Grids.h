// Which values lie on a quantization grid: outputs of DequantizeLinear
// nodes with constant parameters. Integer kernels take such a value's
// codes instead of its floats.
#pragma once

#include "core/QuantGrid.h"
#include "graph/GraphIr.h"

namespace vexart {

// The grid of `value`, when a DequantizeLinear with constant scale and zero
// point made it (whether it ran, was folded or fused away).
bool dequantizedGrid(const GraphState& g, int value, QuantGrid& out);

}  // namespace vexart
