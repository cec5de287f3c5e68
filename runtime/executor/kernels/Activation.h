// Unary float functions over whole tensors as oneDNN element-wise steps:
// its vectorised exp, logistic and tanh take about a nanosecond an element
// where a loop over the double functions takes twenty.
#pragma once

#include <memory>
#include <vector>

#include "core/Kernel.h"
#include "onednn/PostOps.h"

namespace vexart {

// `steps` in order, the first from the input, the rest in place on the
// output; tensors of other types, and small ones, go to `fallback`.
std::unique_ptr<Kernel> eltwiseKernel(std::vector<onednn::Eltwise> steps, std::unique_ptr<Kernel> fallback);

}  // namespace vexart
