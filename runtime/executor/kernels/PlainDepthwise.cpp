#include "kernels/PlainDepthwise.h"

#include <algorithm>

#include "core/Threads.h"
#include "kernels/PostChain.h"

namespace vexart {
namespace {

// row[o] += tap * in[o * stride + offset] for every o in [0, count) whose
// input lies inside [0, width): padding contributes nothing, so each tap is
// one unbroken pass over the outputs it reaches (a vector loop at stride 1).
void addTap(const float* __restrict in, int64_t width, float tap, int64_t stride, int64_t offset, float* __restrict row,
            int64_t count) {
    int64_t lo = 0, hi = 0;
    reachedOutputs(width, count, stride, offset, lo, hi);
    if (stride == 1) {
        const float* from = in + offset;
        for (int64_t o = lo; o < hi; ++o) row[o] += tap * from[o];
    } else {
        for (int64_t o = lo; o < hi; ++o) row[o] += tap * in[o * stride + offset];
    }
}

}  // namespace

void plainDepthwise(const float* x, const float* weights, const float* bias, float* y, int64_t batch, int64_t channels,
                    const Window& w, const Fusion& fused) {
    const int64_t OD = w.out[0], OH = w.out[1], OW = w.out[2];
    const int64_t rows = batch * channels * OD * OH;
    // A row of outputs stays in the first-level cache while every tap of
    // its window adds to it, in the window's order (the order of the sums
    // is the definition's).
    parallelFor(rows, rows * OW * w.kSize(), [&](int64_t task) {
        const int64_t oh = task % OH, od = task / OH % OD, plane = task / (OH * OD), c = plane % channels;
        const float* in = x + plane * w.inSize();
        const float* taps = weights + c * w.kSize();
        float* row = y + task * OW;
        std::fill(row, row + OW, bias != nullptr ? bias[c] : 0.0f);
        forEachRow(w, od, oh, [&](int64_t at, int64_t kernelRow) {
            const float* inRow = in + at * w.in[2];
            const float* t = taps + kernelRow * w.k[2];
            for (int64_t kw = 0; kw < w.k[2]; ++kw) {
                addTap(inRow, w.in[2], t[kw], w.stride[2], kw * w.dil[2] - w.padBegin[2], row, OW);
            }
        });
        if (!fused.post.empty()) applyPosts(fused, row, OW, task * OW, c, false);
    });
}

}  // namespace vexart
