// The integer grid a float value is known to lie on: it is the output of a
// dequantization with constant parameters, so every element is
// scale * (q - zeroPoint) for an integer q of `type`.
#pragma once

#include <cstdint>
#include <vector>

#include "core/Tensor.h"

namespace vexart {

struct QuantGrid {
    DType type = DType::UInt8;  // UInt8 or Int8
    int64_t axis = -1;          // -1: one scale for the whole tensor
    std::vector<float> scales;
    std::vector<int32_t> zeroPoints;

    bool perTensor() const { return scales.size() == 1; }
    bool symmetric() const {
        for (int32_t z : zeroPoints) {
            if (z != 0) return false;
        }
        return true;
    }
};

}  // namespace vexart
