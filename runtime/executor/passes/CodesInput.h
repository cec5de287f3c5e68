// Integer consumers read codes, not their dequantized floats. A node whose
// operator takes codes (OpTraits::takesCodes) and whose first input is the
// output of a DequantizeLinear with constant per-tensor scale and zero
// point reads that DequantizeLinear's input instead, on its grid: no float
// copy is made for it, and its integer kernel quantizes nothing on the way
// in. The DequantizeLinear still runs where something else reads its result.
#pragma once

#include <memory>
#include <vector>

#include "graph/GraphIr.h"

namespace vexart {

// Rewires every such node (Node::codesFrom names the DequantizeLinear whose
// grid its first input lies on); true when it rewired one. Idempotent;
// runs once constant parameters are folded.
bool readCodesDirectly(std::vector<std::unique_ptr<Node>>& nodes, const std::vector<Tensor>& values,
                       const std::vector<bool>& isConst);

}  // namespace vexart
