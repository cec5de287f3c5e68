// A few rows times constant weights packed once into panels of 16
// columns, each panel's rows contiguous: a product then streams its
// weights in order without packing them again (a general product packs
// its operand on every call: at a batch of two that cost a recurrent step
// more than the product), and a thread can take any range of the columns.
// Recurrent layers run each step's recurrent part on it, dense layers of
// one row their whole product.
#pragma once

#include <cstdint>

namespace vexart {

constexpr int64_t kPanelColumns = 16;

// Floats that packWeights writes for `cols` columns of `depth` weights.
inline int64_t packedSize(int64_t cols, int64_t depth) {
    return (cols + kPanelColumns - 1) / kPanelColumns * kPanelColumns * depth;
}

// Weight k of column j, at w[j * colStride + k * depthStride], into panels:
// packed[(p * depth + k) * 16 + q] = weight k of column 16 p + q, zero past
// the last column. Strides (depth, 1): one row of w per column; (1, cols):
// one row per depth step, as a plain [depth, cols] matrix.
void packWeights(const float* w, int64_t cols, int64_t depth, int64_t colStride, int64_t depthStride,
                 float* packed);
inline void packWeights(const float* w, int64_t cols, int64_t depth, float* packed) {
    packWeights(w, cols, depth, depth, 1, packed);
}

// The inverse: the weights back at w[j * colStride + k * depthStride].
void unpackWeights(const float* packed, int64_t cols, int64_t depth, int64_t colStride, int64_t depthStride,
                   float* w);

// c[i * ldc + j - from] = sum over k < depth of a[i * lda + k] * (weight k of
// column j), for i < rows and from <= j < to, weights as packed. Each sum
// runs over k in order with fused multiply-adds, so a column's bits do not
// depend on the range it is computed in.
void rowsTimesPacked(const float* a, int64_t rows, int64_t lda, int64_t depth, const float* packed, int64_t from,
                     int64_t to, float* c, int64_t ldc);

// The same on the AVX-512 kernel (`avx512`, only where panelsHaveAvx512())
// or the AVX2 one: both give the same bits.
void rowsTimesPackedOn(bool avx512, const float* a, int64_t rows, int64_t lda, int64_t depth, const float* packed,
                       int64_t from, int64_t to, float* c, int64_t ldc);
bool panelsHaveAvx512();

}  // namespace vexart
