// Int8 codes of float weights that lie on a symmetric grid, shared by the
// integer paths of convolutions and products.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace vexart {

// Without VNNI the AVX2 kernels sum pairs of u8 x s8 products in 16 bits:
// weight codes within 63 keep every pair in range.
constexpr float kPairSafeCode = 63;

// Codes of n weights, each divided by its scale (`perElement`: scales[i],
// else scales[0]), rounded to nearest even and saturated; returns the
// largest magnitude. Clamped before rounding (the same, the bounds being
// integers) and reduced in integers, the loop vectorises.
template <bool kPerElement, bool kWrite>
int codeRun(const float* __restrict w, const float* __restrict scales, int64_t n, int8_t* __restrict codes) {
    int largest = 0;
    for (int64_t i = 0; i < n; ++i) {
        const float v = std::min(127.0f, std::max(-128.0f, w[i] / scales[kPerElement ? i : 0]));
        const int q = static_cast<int>(std::nearbyint(v));
        largest = std::max(largest, std::abs(q));
        if constexpr (kWrite) codes[i] = static_cast<int8_t>(q);
    }
    return largest;
}

// The codes of `rows` x `cols` weights on their grid (exact: they lie on
// it), one scale for all, or one per row (`perRow`) or per column; returns
// the largest in magnitude. `codes` may be null when only that is wanted.
inline float weightCodes(const float* w, int64_t rows, int64_t cols, const std::vector<float>& scales, bool perRow,
                         int8_t* codes) {
    int largest = 0;
    const bool perColumn = scales.size() != 1 && !perRow;
    for (int64_t r = 0; r < rows; ++r) {
        const float* s = scales.data() + (scales.size() == 1 || perColumn ? 0 : r);
        const float* wr = w + r * cols;
        int8_t* cr = codes != nullptr ? codes + r * cols : nullptr;
        const int m = perColumn ? (cr != nullptr ? codeRun<true, true>(wr, s, cols, cr) : codeRun<true, false>(wr, s, cols, cr))
                                : (cr != nullptr ? codeRun<false, true>(wr, s, cols, cr) : codeRun<false, false>(wr, s, cols, cr));
        largest = std::max(largest, m);
    }
    return static_cast<float>(largest);
}

}  // namespace vexart
