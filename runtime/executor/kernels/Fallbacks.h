// Kernels that others fall back on or build from: the plain-layout
// references behind the oneDNN kernels, and shared pieces.
#pragma once

#include <memory>
#include <vector>

#include "core/Kernel.h"

namespace vexart {

// Plain-layout pooling, for what the oneDNN kernels do not cover.
std::unique_ptr<Kernel> referencePool(const onnx::NodeProto& n, bool isMax, bool global);
std::unique_ptr<Kernel> referenceMatMul(const onnx::NodeProto& n, bool isGemm);
std::unique_ptr<Kernel> referenceSoftmax(const onnx::NodeProto& n, int64_t opset, bool log);
std::unique_ptr<Kernel> referenceBatchNorm(const onnx::NodeProto& n);
std::unique_ptr<Kernel> referenceConvTranspose(const onnx::NodeProto& n);

// Joins `ins` along `axis` into `out` (any element type, plain indexing);
// without `copy` it only shapes `out`, as a dry run does.
void concatInto(const std::vector<const Tensor*>& ins, size_t axis, Tensor& out, bool copy = true);

// LayerNormalization over the last axis (inputs x, scale, bias).
std::unique_ptr<Kernel> makeLayerNorm(float epsilon);

// Whether convolutions and products on quantized inputs and weights may
// run on their integer codes (on by default; off, they run on the
// dequantized floats).
void allowIntegerConvolution(bool allowed);
bool integerConvolutionAllowed();

}  // namespace vexart
