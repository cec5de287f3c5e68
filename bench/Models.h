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

}  // namespace benchmodels
