// Reads a quantize-dequantize model as a float model with encodings: a
// QuantizeLinear, DequantizeLinear pair around a tensor becomes that
// tensor's encoding, and dequantized constant weights become float
// weights with theirs (a step per channel where the scales are per axis).
#pragma once

#include <map>
#include <string>

#include "Container.h"

namespace onnx {
class ModelProto;
}

namespace vexart {

// Rewrites `model` in place; returns the encodings found, by tensor name.
// Throws std::runtime_error for quantization parameters it cannot read.
std::map<std::string, TensorEncoding> foldQuantizeDequantize(onnx::ModelProto& model);

}  // namespace vexart
