// The integer grid a float value is known to lie on: it is the output of a
// dequantization with constant parameters, so every element is
// scale * (q - zeroPoint) for an integer q of `type`.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
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

// v on the grid of `scale` and `zero` as QuantizeLinear puts it: v / scale
// rounded half to even (the default rounding mode), plus the zero point,
// saturated to Q's range; NaN gives the lowest code.
template <typename Q>
inline Q gridCode(float v, float scale, float zero) {
    constexpr float lo = std::numeric_limits<Q>::lowest(), hi = std::numeric_limits<Q>::max();
    float r = std::nearbyint(v / scale) + zero;
    r = r > lo ? r : lo;
    return static_cast<Q>(r < hi ? r : hi);
}

}  // namespace vexart
