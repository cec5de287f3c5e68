#include "kernels/DenseRows.h"

#include <algorithm>

#include "core/Threads.h"
#include "kernels/PanelProduct.h"
#include "kernels/PostChain.h"

namespace vexart {

namespace {

constexpr int64_t kStreamedWeightBytes = int64_t{4} << 20;

}  // namespace

bool DenseRows::suits(int64_t rows, int64_t inner, int64_t cols) {
    // Two rows and more: oneDNN's blocks reuse each weight for every row
    // where the panels keep fewer in registers (two rows: 60-66 against
    // 72-84 GB/s in cache, even from memory; four: half oneDNN's speed).
    return rows == 1 && inner * cols * static_cast<int64_t>(sizeof(float)) >= kStreamedWeightBytes;
}

void DenseRows::pack(const float* w, int64_t inner, int64_t cols, bool transposed) {
    panels_ = allocateBuffer(static_cast<size_t>(packedSize(cols, inner)) * sizeof(float), false);
    packWeights(w, cols, inner, transposed ? inner : 1, transposed ? 1 : cols, reinterpret_cast<float*>(panels_.get()));
    inner_ = inner;
    cols_ = cols;
}

void DenseRows::unpack(float* w, bool transposed) const {
    unpackWeights(reinterpret_cast<const float*>(panels_.get()), cols_, inner_, transposed ? inner_ : 1,
                  transposed ? 1 : cols_, w);
}

void DenseRows::run(const float* a, const DenseBias& bias, const Fusion& f, float* y) const {
    const auto* panels = reinterpret_cast<const float*>(panels_.get());
    const int64_t cols = cols_;
    parallelTeam(inner_ * cols, [&](int thread, int threads) {
        // Whole panels per thread.
        const int64_t share = (cols + kPanelColumns * threads - 1) / (kPanelColumns * threads) * kPanelColumns;
        const int64_t from = std::min(cols, thread * share), to = std::min(cols, from + share);
        if (from == to) return;
        rowsTimesPacked(a, 1, inner_, inner_, panels, from, to, y + from, cols);
        if (bias.data != nullptr) {
            if (bias.perColumn) {
                for (int64_t j = from; j < to; ++j) y[j] += bias.data[j];
            } else {
                for (int64_t j = from; j < to; ++j) y[j] += bias.data[0];
            }
        }
        applyPosts(f, y + from, to - from, from, from, true);
    });
}

}  // namespace vexart
