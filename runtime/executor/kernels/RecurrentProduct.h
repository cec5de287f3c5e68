// The recurrent part of each step of a recurrent layer: the batch's state
// rows times the layer's recurrent weights. The weights are packed once
// into panels of 16 columns, each panel's rows contiguous, so that a step
// streams them in order without packing them again (a general product
// packs its operand on every call: at a batch of two that cost more than
// the product) and a thread can take any range of the columns.
#pragma once

#include <cstdint>

namespace vexart {

constexpr int64_t kPanelColumns = 16;

// Floats that packWeights writes for weights [cols, depth].
inline int64_t packedSize(int64_t cols, int64_t depth) {
    return (cols + kPanelColumns - 1) / kPanelColumns * kPanelColumns * depth;
}

// Weights [cols, depth] (row-major, one row per output column) into
// panels: packed[(p * depth + k) * 16 + q] = w[(16 p + q) * depth + k],
// zero past the last column.
void packWeights(const float* w, int64_t cols, int64_t depth, float* packed);

// c[i * ldc + j - from] = sum over k < depth of a[i * lda + k] * w[j * depth + k],
// for i < rows and from <= j < to, w as packed. Each sum runs over k in
// order with fused multiply-adds, so a column's bits do not depend on the
// range it is computed in.
void rowsTimesPacked(const float* a, int64_t rows, int64_t lda, int64_t depth, const float* packed, int64_t from,
                     int64_t to, float* c, int64_t ldc);

}  // namespace vexart
