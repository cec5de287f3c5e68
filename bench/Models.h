// Convolutional models for the benchmarks, built in code.
#pragma once

#include <string>

#include "tools/OnnxBuilder.h"

namespace benchmodels {

// Three 3x3 convolution blocks with pooling, VGG style, on 1x3x112x112.
std::string vggLike();
// Bottleneck residual blocks (1x1, 3x3, 1x1 and a skip Add), on 1x64x56x56.
std::string resnetLike();
// Depthwise-separable blocks (3x3 depthwise, 1x1 pointwise), on 1x32x112x112.
std::string mobilenetLike();

// Graphs whose build cost is in their structure, not their arithmetic, on
// x of 1x4 giving y: `length` Neg nodes in a chain, and an If on a boolean
// c whose then-branch nests `depth` Ifs with x + x at the bottom.
OnnxBuilder negationChain(int length);
OnnxBuilder nestedIf(int depth);

}  // namespace benchmodels
