#include "kernels/PlainPool.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/Threads.h"

namespace vexart {
namespace {

template <bool kMax>
inline float combine(float a, float b) {
    return kMax ? std::max(a, b) : a + b;
}

// Taps of output o's window that lie inside an axis of `in` values.
int64_t inside(int64_t o, int64_t in, int64_t k, int64_t stride, int64_t dil, int64_t pad) {
    int64_t n = 0;
    for (int64_t t = 0; t < k; ++t) {
        const int64_t i = o * stride - pad + t * dil;
        n += i >= 0 && i < in ? 1 : 0;
    }
    return n;
}

// The extent along W that an output row's windows read, padding included.
int64_t paddedWidth(const Window& w) {
    return std::max(w.padBegin[2] + w.in[2], (w.out[2] - 1) * w.stride[2] + (w.k[2] - 1) * w.dil[2] + 1);
}

// out[o] = the reduction over taps t of row[o * kStride + t * dil]. With the
// stride known when compiled, the loads vectorise (every second value is
// a permute of two loads).
template <bool kMax, int64_t kStride>
void slide(const float* __restrict row, float* __restrict out, int64_t n, int64_t k, int64_t dil) {
    for (int64_t o = 0; o < n; ++o) out[o] = row[o * kStride];
    for (int64_t t = 1; t < k; ++t) {
        const float* __restrict tap = row + t * dil;
        for (int64_t o = 0; o < n; ++o) out[o] = combine<kMax>(out[o], tap[o * kStride]);
    }
}

// Max and sum are separable: a window's result is the reduction along W of
// its rows' reductions. The rows an output row's windows cover are reduced
// first into one padded row, a whole row at a time; the W window then slides
// over that row. Each input value is read once per row window instead of
// once per tap.
template <bool kMax>
void poolRow(const float* plane, float* __restrict out, const Window& w, int64_t od, int64_t oh, bool countPad,
             int64_t lo, int64_t hi, float* __restrict acc) {
    const int64_t IW = w.in[2], OW = w.out[2], k = w.k[2], s = w.stride[2], d = w.dil[2], pad = w.padBegin[2];
    const int64_t width = paddedWidth(w);
    std::fill(acc, acc + width, kMax ? -std::numeric_limits<float>::infinity() : 0.0f);
    int64_t rows = 0;
    forEachRow(w, od, oh, [&](int64_t at, int64_t) {
        const float* __restrict row = plane + at * IW;
        float* __restrict mid = acc + pad;
        for (int64_t i = 0; i < IW; ++i) mid[i] = combine<kMax>(mid[i], row[i]);
        ++rows;
    });
    if (s == 1) {
        slide<kMax, 1>(acc, out, OW, k, d);
    } else if (s == 2) {
        slide<kMax, 2>(acc, out, OW, k, d);
    } else {
        // Every position, then every stride-th of them.
        float* __restrict dense = acc + width;
        slide<kMax, 1>(acc, dense, (OW - 1) * s + 1, k, d);
        for (int64_t o = 0; o < OW; ++o) out[o] = dense[o * s];
    }
    if (kMax) return;
    auto divide = [&](int64_t from, int64_t to, int64_t alongW) {
        const int64_t taps = countPad ? w.kSize() : rows * alongW;
        const float n = static_cast<float>(taps);
        for (int64_t o = from; o < to; ++o) out[o] = taps > 0 ? out[o] / n : 0.0f;
    };
    for (int64_t o = 0; o < lo; ++o) divide(o, o + 1, inside(o, IW, k, s, d, pad));
    divide(lo, hi, k);
    for (int64_t o = hi; o < OW; ++o) divide(o, o + 1, inside(o, IW, k, s, d, pad));
}

}  // namespace

void plainPool(const float* x, float* y, int64_t planes, const Window& w, bool isMax, bool countPad) {
    const int64_t ID = w.in[0], IH = w.in[1], IW = w.in[2], OD = w.out[0], OH = w.out[1], OW = w.out[2];
    int64_t lo = 0, hi = 0;
    interiorOutputs(IW, OW, w.k[2], w.stride[2], w.dil[2], w.padBegin[2], lo, hi);
    const size_t scratch = static_cast<size_t>(paddedWidth(w) + (OW - 1) * w.stride[2] + 1);
    parallelFor(planes * OD * OH, planes * OD * OH * OW * w.kSize(), [&](int64_t task) {
        // Kept per thread across calls: the team's threads outlive each execution.
        thread_local std::vector<float> row;
        if (row.size() < scratch) row.resize(scratch);
        const int64_t oh = task % OH, od = task / OH % OD, p = task / (OH * OD);
        const float* plane = x + p * ID * IH * IW;
        float* out = y + task * OW;
        if (isMax) {
            poolRow<true>(plane, out, w, od, oh, countPad, lo, hi, row.data());
        } else {
            poolRow<false>(plane, out, w, od, oh, countPad, lo, hi, row.data());
        }
    });
}

}  // namespace vexart
