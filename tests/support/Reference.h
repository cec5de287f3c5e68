// Definitions computed directly, in double, that the tests hold optimised
// kernels to.
#pragma once

#include <cstdint>
#include <string>
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

// A recurrent layer ("RNN", "GRU" or "LSTM") by its definition, in double,
// with the default activations, every sequence of the batch T steps long,
// zero initial state: Y as [T, D, B, H] for x [T, B, I], weights
// [D, G * H, I], recurrent weights [D, G * H, H] and biases [D, 2 * G * H]
// (gates in the operator set's order: i o f c, z r h, or i).
std::vector<double> recurrentLayer(const std::string& op, int64_t directions, bool reverse, bool linearBeforeReset,
                                   const std::vector<float>& x, const std::vector<float>& w, const std::vector<float>& r,
                                   const std::vector<float>& bias, int64_t T, int64_t B, int64_t I, int64_t H);
