#include "kernels/PlainDepthwise.h"

#include <algorithm>

#include "core/Threads.h"
#include "kernels/PostChain.h"

namespace vexart {
namespace {

// Outputs summed a vector at a time, the sums held in registers over
// every tap (accumulating into memory tap by tap waits on each store).
constexpr int64_t kChunk = 16;

// Output o of a row whose window may leave the input, from `bias`.
float edgeOutput(const float* x, const float* taps, float bias, const Window& w, int64_t od, int64_t oh, int64_t o) {
    float sum = bias;
    forEachTap(w, od, oh, o, [&](int64_t at, int64_t tap) { sum += taps[tap] * x[at]; });
    return sum;
}

// Outputs [start, start + kChunk) of the row at (od, oh), each inside the
// row's width, from `bias`: with stride 1 the taps read contiguous inputs.
template <bool kUnitStride>
void chunk(const float* __restrict x, const float* __restrict taps, float bias, const Window& w, int64_t od, int64_t oh,
           int64_t start, float* __restrict out) {
    float sum[kChunk];
    for (int64_t j = 0; j < kChunk; ++j) sum[j] = bias;
    forEachRow(w, od, oh, [&](int64_t at, int64_t kernelRow) {
        const float* row = x + at * w.in[2];
        const float* t = taps + kernelRow * w.k[2];
        for (int64_t kw = 0; kw < w.k[2]; ++kw) {
            const float tap = t[kw];
            const int64_t from = start * w.stride[2] - w.padBegin[2] + kw * w.dil[2];
            if (kUnitStride) {
                for (int64_t j = 0; j < kChunk; ++j) sum[j] += tap * row[from + j];
            } else {
                for (int64_t j = 0; j < kChunk; ++j) sum[j] += tap * row[from + j * w.stride[2]];
            }
        }
    });
    for (int64_t j = 0; j < kChunk; ++j) out[j] = sum[j];
}

}  // namespace

void plainDepthwise(const float* x, const float* weights, const float* bias, float* y, int64_t batch, int64_t channels,
                    const Window& w, const Fusion& fused) {
    const int64_t OD = w.out[0], OH = w.out[1], OW = w.out[2];
    int64_t lo = 0, hi = 0;
    interiorOutputs(w.in[2], OW, w.k[2], w.stride[2], w.dil[2], w.padBegin[2], lo, hi);
    const int64_t rows = batch * channels * OD * OH;
    parallelFor(rows, rows * OW * w.kSize(), [&](int64_t task) {
        const int64_t oh = task % OH, od = task / OH % OD, plane = task / (OH * OD), c = plane % channels;
        const float* in = x + plane * w.inSize();
        const float* taps = weights + c * w.kSize();
        const float b = bias != nullptr ? bias[c] : 0.0f;
        float* row = y + task * OW;
        int64_t o = 0;
        if (hi - lo >= kChunk) {
            // Whole vectors over the interior, the last one overlapping the
            // one before it where the width is not a multiple of it.
            for (; o < lo; ++o) row[o] = edgeOutput(in, taps, b, w, od, oh, o);
            for (int64_t start = lo; start < hi; start += kChunk) {
                const int64_t at = std::min(start, hi - kChunk);
                if (w.stride[2] == 1) {
                    chunk<true>(in, taps, b, w, od, oh, at, row + at);
                } else {
                    chunk<false>(in, taps, b, w, od, oh, at, row + at);
                }
            }
            o = hi;
        }
        for (; o < OW; ++o) row[o] = edgeOutput(in, taps, b, w, od, oh, o);
        if (!fused.post.empty()) applyPosts(fused, row, OW, task * OW, c, false);
    });
}

}  // namespace vexart
