#include "kernels/PlainPool.h"

#include <algorithm>
#include <limits>

#include "core/Threads.h"

namespace vexart {
namespace {

// One input row into one output row: every tap of the outputs in
// [lo, hi) is inside the row, the rest are checked.
template <bool kMax>
void rowInto(const float* __restrict row, float* __restrict acc, int64_t in, int64_t out, int64_t k, int64_t stride,
             int64_t dil, int64_t pad, int64_t lo, int64_t hi) {
    auto edge = [&](int64_t o) {
        for (int64_t t = 0; t < k; ++t) {
            const int64_t i = o * stride - pad + t * dil;
            if (i < 0 || i >= in) continue;
            acc[o] = kMax ? std::max(acc[o], row[i]) : acc[o] + row[i];
        }
    };
    for (int64_t o = 0; o < lo; ++o) edge(o);
    for (int64_t t = 0; t < k; ++t) {
        const int64_t at = t * dil - pad;
        for (int64_t o = lo; o < hi; ++o) {
            const float v = row[o * stride + at];
            acc[o] = kMax ? std::max(acc[o], v) : acc[o] + v;
        }
    }
    for (int64_t o = hi; o < out; ++o) edge(o);
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

}  // namespace

void plainPool(const float* x, float* y, int64_t planes, const Window& w, bool isMax, bool countPad) {
    const int64_t ID = w.in[0], IH = w.in[1], IW = w.in[2], OD = w.out[0], OH = w.out[1], OW = w.out[2];
    int64_t lo = 0, hi = 0;
    interiorOutputs(IW, OW, w.k[2], w.stride[2], w.dil[2], w.padBegin[2], lo, hi);
    parallelFor(planes * OD * OH, planes * OD * OH * OW * w.kSize(), [&](int64_t task) {
        const int64_t oh = task % OH, od = task / OH % OD, p = task / (OH * OD);
        float* acc = y + task * OW;
        std::fill(acc, acc + OW, isMax ? -std::numeric_limits<float>::infinity() : 0.0f);
        int64_t rows = 0;
        forEachRow(w, od, oh, [&](int64_t at, int64_t) {
            const float* row = x + (p * ID * IH + at) * IW;
            if (isMax) {
                rowInto<true>(row, acc, IW, OW, w.k[2], w.stride[2], w.dil[2], w.padBegin[2], lo, hi);
            } else {
                rowInto<false>(row, acc, IW, OW, w.k[2], w.stride[2], w.dil[2], w.padBegin[2], lo, hi);
            }
            ++rows;
        });
        if (isMax) return;
        for (int64_t o = 0; o < OW; ++o) {
            const int64_t taps = countPad ? w.kSize() : rows * inside(o, IW, w.k[2], w.stride[2], w.dil[2], w.padBegin[2]);
            acc[o] = taps > 0 ? acc[o] / static_cast<float>(taps) : 0.0f;
        }
    });
}

}  // namespace vexart
