// Windowed max and average pooling of plain float tensors over one to three
// spatial axes ([N, C, W], [N, C, H, W] or [N, C, D, H, W]), each output row
// from the input rows its window covers, read where they lie. oneDNN 2.6
// pools these layouts in a slow generic loop, and converting to
// channels-last and back costs several times the pooling itself.
#pragma once

#include <cstdint>

#include "kernels/Window.h"

namespace vexart {

// `planes`: N * C. `w` as resolved for the input, padding at the end
// widened over any ceil-mode overhang. Averages divide by the window's
// taps inside the input, or (`countPad`) by all of its taps.
void plainPool(const float* x, float* y, int64_t planes, const Window& w, bool isMax, bool countPad);

}  // namespace vexart
