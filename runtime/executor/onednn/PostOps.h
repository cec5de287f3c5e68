// Fused element-wise work (see Fusion in Kernel.h) as oneDNN post-ops.
#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include "../Kernel.h"

namespace vexart::onednn {

// Binary adds take their operand at execution, laid out as `dst` or, per
// channel, as `perChannel`.
dnnl::post_ops postOpsOf(const Fusion& f, const dnnl::memory::desc& dst, const dnnl::memory::desc& perChannel);

// Index of each post-op in the chain (HardSigmoid takes two).
inline int postOpCount(const Fusion::Post& p) { return !p.isAdd && p.act == Fusion::Act::HardSigmoid ? 2 : 1; }

}  // namespace vexart::onednn
