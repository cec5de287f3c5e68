// Global average pooling of 8-bit codes on a per-tensor grid: integer sums
// per channel, dequantized once. A squeeze-excitation reads the codes its
// convolution wrote instead of a float copy of them.
#pragma once

#include "core/QuantGrid.h"
#include "core/Tensor.h"

namespace vexart {

// y[n * C + c] = scale * (mean of x's codes over the spatial axes - zero),
// for x of type UInt8 or Int8 in the plain, channels-last or a blocked
// layout, of logical shape [N, C, spatial...].
void averageCodes(const Tensor& x, const QuantGrid& grid, float* y);

}  // namespace vexart
