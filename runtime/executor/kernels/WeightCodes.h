// Int8 codes of float weights that lie on a symmetric grid, shared by the
// integer paths of convolutions and products.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/QuantGrid.h"
#include "core/Tensor.h"
#include "kernels/GridCodes.h"

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

// Whether weights came as their codes on `grid` (OpTraits::takesWeightCodes).
inline bool holdsWeightCodes(const Tensor& wt, const QuantGrid* grid) {
    return wt.type() != DType::Float && grid != nullptr && grid->type == wt.type() &&
           (grid->perTensor() || (grid->axis >= 0 && static_cast<size_t>(grid->axis) < wt.rank() &&
                                  wt.dim(static_cast<size_t>(grid->axis)) == static_cast<int64_t>(grid->scales.size())));
}

// The floats that codes on `grid` stand for: (code - zero) * scale, with
// the pair of each index along the grid's axis.
template <typename Q>
void dequantizeCodes(const Tensor& wt, const QuantGrid& grid, float* out) {
    const Q* q = wt.data<Q>();
    const size_t axis = grid.perTensor() ? 0 : static_cast<size_t>(grid.axis);
    const int64_t dim = grid.perTensor() ? 1 : wt.dim(axis);
    int64_t inner = grid.perTensor() ? wt.size() : 1;
    for (size_t i = axis + 1; !grid.perTensor() && i < wt.rank(); ++i) inner *= wt.dim(i);
    const int64_t runs = inner == 0 ? 0 : wt.size() / inner;
    for (int64_t r = 0; r < runs; ++r) {
        const size_t c = static_cast<size_t>(r % dim);
        dequantizeSpan(q + r * inner, out + r * inner, inner, grid.scales[c], grid.zeroPoints[c]);
    }
}

inline void dequantizeWeights(const Tensor& wt, const QuantGrid& grid, std::vector<float>& out) {
    out.resize(static_cast<size_t>(wt.size()));
    if (wt.type() == DType::Int8) {
        dequantizeCodes<int8_t>(wt, grid, out.data());
    } else {
        dequantizeCodes<uint8_t>(wt, grid, out.data());
    }
}

// The largest magnitude of symmetric int8 weight codes.
inline float largestCode(const Tensor& wt) {
    const int8_t* q = wt.data<int8_t>();
    int largest = 0;
    for (int64_t i = 0; i < wt.size(); ++i) largest = std::max(largest, std::abs(static_cast<int>(q[i])));
    return static_cast<float>(largest);
}

}  // namespace vexart
