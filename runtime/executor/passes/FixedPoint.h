// Fixed-point execution as a rewrite of the model: every activation a
// fixed-point runtime would materialise is put on its grid (a
// QuantizeLinear, DequantizeLinear pair, fused into the producer where the
// producer can take it), weights are replaced by int8 codes and their
// dequantization, and convolutions whose input and weights then lie on
// grids run on integer kernels.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace onnx {
class ModelProto;
class NodeProto;
}

namespace vexart {

struct ActivationEncoding {
    uint32_t bitWidth = 8;  // 8 or 16
    float stepSize = 0;
    uint64_t stepExactly0 = 0;  // the code of real 0
};

struct FixedPointOptions {
    // Static encodings: the tensors named are held at them. With none at
    // all, the outputs of float computations are quantized to 8 bits over
    // each execution's own range.
    std::map<std::string, ActivationEncoding> encodings;
    // Largest weight code: 127, or 63 where 8-bit products are summed in
    // pairs in 16 bits (see onednn::hasVnni).
    int weightCode = 127;
    // Per-channel weight steps a calibration chose (along productWeightAxis);
    // used where their codes fit weightCode, otherwise the weights' own
    // largest magnitudes set the steps.
    std::map<std::string, std::vector<float>> weightSteps;
    // By a convolution's or Gemm's output: per output channel, added to its
    // bias where its weights run as codes (the mean error a calibration
    // measured there).
    std::map<std::string, std::vector<float>> biasCorrections;
};

// The largest finite magnitude per index along `axis` of `dims`-shaped w.
std::vector<float> largestPerChannel(const float* w, const std::vector<int64_t>& dims, int64_t axis);

// The output-channel axis of the weights (second input) of a product
// (Conv, ConvTranspose, Gemm, 2-D MatMul), or -1 for other operators.
int64_t productWeightAxis(const onnx::NodeProto& node);

struct FixedPointRewrite {
    std::set<std::string> added;                     // tensors the rewrite made
    std::map<std::string, std::string> visibleName;  // a renamed producer output -> the name users know
    // Name as users know it, or "" for one the rewrite made.
    std::string visible(const std::string& name) const;
};

FixedPointRewrite rewriteForFixedPoint(onnx::ModelProto& model, const FixedPointOptions& options);

}  // namespace vexart
