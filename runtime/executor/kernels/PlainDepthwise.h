// Depthwise convolution of plain float volumes ([N, C, D, H, W], each
// channel under its own window) in the engine's own loop: each output row
// from the input rows its window covers, read where they lie. oneDNN 2.6
// has no direct kernel for 3-D depthwise windows: it runs them as small
// matrix products per channel, slower than this loop by several times.
#pragma once

#include <cstdint>

#include "core/Kernel.h"
#include "kernels/Window.h"

namespace vexart {

// `weights`: [C, taps] in the window's order; `bias`: C values or null.
// `fused`'s element-wise chain is applied to each row once summed.
void plainDepthwise(const float* x, const float* weights, const float* bias, float* y, int64_t batch, int64_t channels,
                    const Window& w, const Fusion& fused);

}  // namespace vexart
