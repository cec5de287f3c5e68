// User buffers to and from the engine's tensors: strided layouts, and
// element types from float to 8- and 16-bit fixed point.
#pragma once

#include <string>

#include "Network.h"

namespace vexart {

// The user-buffer element type of an engine element type (0 for none).
uint32_t elementTypeOf(DType t);

// Fills input tensor `dst` (named `name` in messages) from `ub`; throws
// when the buffer is smaller than the tensor needs.
void decodeUserBuffer(const UserBuffer& ub, const std::string& name, Tensor& dst);

// Writes `v` into `ub`. Fixed-point buffers take the tensor's encoding
// `fixed` where the container has one, else one fitted to the values.
void encodeUserBuffer(const Tensor& v, const TensorEncoding* fixed, UserBuffer& ub);

}  // namespace vexart
