// Empirical bias correction: rounding weights to codes and activations to
// grids shifts the mean of a product's output per channel, and the shift
// compounds layer by layer. Measured against float on the calibration set
// and added back to each bias in turn, the shift is cancelled where it
// starts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Container.h"
#include "core/Tensor.h"

namespace onnx {
class ModelProto;
}

namespace vexart {

class Engine;
class Tensor;

// Sums along axis 1 (a product's output channels) over every execution seen.
struct ChannelMeans {
    std::vector<double> sums;
    uint64_t perChannel = 0;  // values summed into each channel
    void add(const Tensor& t);
    double mean(size_t channel) const { return perChannel > 0 ? sums[channel] / static_cast<double>(perChannel) : 0; }
};

// Outputs of the products whose bias a correction can adjust: convolutions
// and Gemms on constant weights, in graph order.
std::vector<std::string> correctableProducts(const onnx::ModelProto& model);

// For each product in order: the network in fixed point at `encodings`, with
// the corrections found before it, over every calibration execution
// (`execute` feeds input line k to the engine and runs it); its output's
// float mean less its fixed-point mean per channel is its correction.
// Returns the corrections by product output.
std::map<std::string, std::vector<float>> biasCorrections(
    const onnx::ModelProto& model, const std::map<std::string, TensorEncoding>& encodings,
    const std::map<std::string, ChannelMeans>& floatMeans, size_t executions, const std::map<std::string, Shape>& shapes,
    const std::function<void(Engine&, size_t)>& execute,
    const std::function<void(const std::string&, size_t, size_t)>& progress);

}  // namespace vexart
