// Integer consumers read codes, not their dequantized floats. A node whose
// operator takes codes (OpTraits::takesCodes) and whose first input is the
// output of a DequantizeLinear with constant per-tensor scale and zero
// point reads that DequantizeLinear's input instead, on its grid: no float
// copy is made for it, and its integer kernel quantizes nothing on the way
// in. The DequantizeLinear still runs where something else reads its result.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "graph/GraphIr.h"

namespace vexart {

// The constant tensor a value holds, or null where it is computed.
using ConstantSource = std::function<const Tensor*(int value)>;

// Whether `dq` is a DequantizeLinear of computed codes on a constant
// per-tensor grid whose zero point states the codes' type (8 bits).
bool dequantizesCodes(const Node& dq, const ConstantSource& constant);

// Rewires every such node (Node::codesFrom names the DequantizeLinear whose
// grid its first input lies on); true when it rewired one. Idempotent;
// runs once constant parameters are folded.
bool readCodesDirectly(std::vector<std::unique_ptr<Node>>& nodes, const std::vector<Tensor>& values,
                       const std::vector<bool>& isConst);

}  // namespace vexart
