// Fused element-wise work (see Fusion in Kernel.h) as oneDNN post-ops.
#pragma once

#include <oneapi/dnnl/dnnl.hpp>
#include <unordered_map>
#include <vector>

#include "core/Kernel.h"
#include "onednn/Dnnl.h"

namespace vexart::onednn {

// Binary adds take their operand at execution, laid out as `dst` or, per
// channel, as `perChannel`.
dnnl::post_ops postOpsOf(const Fusion& f, const dnnl::memory::desc& dst, const dnnl::memory::desc& perChannel,
                         float lastScale = 1.0f);

// The same chain as stand-alone primitives run in place on `dst` memory
// (matmul's GEMM applies eltwise post-ops one element at a time). Binary
// adds read `addends` in order.
std::vector<Call> afterOpsOf(const Fusion& f, const dnnl::memory& dst, const dnnl::memory::desc& perChannel,
                    std::vector<dnnl::memory>& addends);

// One oneDNN element-wise step.
struct Eltwise {
    dnnl::algorithm algorithm;
    float alpha, beta;
};

// The element-wise steps an activation of the chain takes (none for an add).
std::vector<Eltwise> eltwisesOf(const Fusion::Post& p);

// Whether `next` would use an element-wise algorithm the chain already
// uses: oneDNN 2.6's AVX2 kernels then apply the first one's parameters
// to both, so such a chain must stop before `next`.
bool repeatsAnEltwise(const Fusion& chain, const Fusion::Post& next);

// How many oneDNN post-ops a step of the chain takes, for the indices of
// the binary ones.
inline int postOpCount(const Fusion::Post& p) { return p.isAdd ? 1 : static_cast<int>(eltwisesOf(p).size()); }

}  // namespace vexart::onednn
