// Int8 codes of float weights that lie on a symmetric grid, shared by the
// integer paths of convolutions and products.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vexart {

// Without VNNI the AVX2 kernels sum pairs of u8 x s8 products in 16 bits:
// weight codes within 63 keep every pair in range.
constexpr float kPairSafeCode = 63;

// The codes of `rows` x `cols` weights on their grid (exact: they lie on
// it), one scale for all, or one per row (`perRow`) or per column; returns
// the largest in magnitude. `codes` may be null when only that is wanted.
inline float weightCodes(const float* w, int64_t rows, int64_t cols, const std::vector<float>& scales, bool perRow,
                         int8_t* codes) {
    float largest = 0;
    for (int64_t r = 0; r < rows; ++r) {
        for (int64_t c = 0; c < cols; ++c) {
            const float s = scales[scales.size() == 1 ? 0 : static_cast<size_t>(perRow ? r : c)];
            const float q = std::min(127.0f, std::max(-128.0f, std::nearbyint(w[r * cols + c] / s)));
            largest = std::max(largest, std::fabs(q));
            if (codes != nullptr) codes[r * cols + c] = static_cast<int8_t>(q);
        }
    }
    return largest;
}

}  // namespace vexart
