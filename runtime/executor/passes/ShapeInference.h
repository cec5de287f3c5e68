// The shape-inference stage: while a plan is made, an operator that
// declares a shape rule (OpTraits::ShapeRule) has its output typed and
// shaped from its inputs' types and shapes, and its kernel does not run.
// The others still run dry (see KernelContext::dryRun): those that state
// their shapes (Kernel::inferShapes) make only their primitives; the rest
// compute, which those whose output shapes follow input values must.
#pragma once

#include <vector>

#include "core/Kernel.h"
#include "graph/GraphIr.h"

namespace vexart {

// Per value of `g`: whether some needed node's output shape follows its
// contents, through any chain of nodes but Shape and Size (which read no
// values) and products (convolutions, dense layers: they always run dry).
// Nodes that make such values compute while planning, so that shape
// arithmetic on an input's values plans the true shapes.
std::vector<bool> valuesThatShape(const GraphState& g);

// Sets output 0 of `ctx` (zeroed, as a dry run leaves it) by `traits`'s
// rule; false, touching nothing, where there is none or it does not apply.
bool inferOutputs(const OpTraits& traits, KernelContext& ctx);

}  // namespace vexart
