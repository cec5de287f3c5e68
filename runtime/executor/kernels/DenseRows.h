// Products of one row by large constant float weights: dense heads of a
// batch of one (AlexNet's and VGG's classifiers), a decoder's
// projections for one token. Each execution streams every weight once for
// a few multiply-adds, so the product runs at the speed of that stream.
// oneDNN's matmul streamed 9216x4096 weights at 13 GB/s on one machine of
// this kind and 28 on another (its blocking follows the caches it detects);
// the panels of PanelProduct.h, read in order, at 24-36 on both.
#pragma once

#include <cstdint>

#include "core/Buffer.h"
#include "core/Kernel.h"

namespace vexart {

// A bias of one value per column, or one for all. None when `data` is null.
struct DenseBias {
    const float* data = nullptr;
    bool perColumn = true;
};

class DenseRows {
public:
    // Whether a product of these dims runs here: from this size the weights
    // outgrow a core's second-level cache and come from farther on every
    // execution; smaller ones oneDNN runs as fast.
    static bool suits(int64_t rows, int64_t inner, int64_t cols);

    // Weights [inner, cols], or [cols, inner] when `transposed`.
    void pack(const float* w, int64_t inner, int64_t cols, bool transposed);
    // The packed weights back into that layout.
    void unpack(float* w, bool transposed) const;
    bool packed() const { return panels_ != nullptr; }
    bool packedFor(int64_t inner, int64_t cols) const { return packed() && inner == inner_ && cols == cols_; }
    void clear() { panels_.reset(); }

    // y [cols] = a [inner] times the weights, plus the bias, then `f`'s
    // posts; columns split over the scope's threads, each finishing its own
    // while they are in cache.
    void run(const float* a, const DenseBias& bias, const Fusion& f, float* y) const;

private:
    Buffer panels_;
    int64_t inner_ = 0, cols_ = 0;
};

}  // namespace vexart
