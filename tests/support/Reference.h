// Definitions computed directly, in double, that the tests hold optimised
// kernels to.
#pragma once

#include <cstdint>
#include <vector>

#include "executor/core/Tensor.h"

// Direct convolution in double: y[n][m][o] = b[m] + sum over the group's
// channels and the window of x[n][c][o * stride + k * dilation - pad] *
// w[m][c][k] (dilation 1 when empty; pads as ONNX lists them, every begin
// then every end).
std::vector<double> convolve(const std::vector<double>& x, const vexart::Shape& xs, const std::vector<float>& w,
                             const std::vector<float>& bias, int64_t M, int64_t group, const std::vector<int64_t>& k,
                             const std::vector<int64_t>& stride, const std::vector<int64_t>& pads, vexart::Shape& ys,
                             const std::vector<int64_t>& dilation = {});
