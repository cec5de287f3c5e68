// Numpy-style broadcasting for element-wise kernels.
#pragma once

#include <algorithm>
#include <vector>

#include "core/Tensor.h"

namespace vexart {

Shape broadcastShape(const Shape& a, const Shape& b);

// Element strides of `s` seen through the broadcast `out` shape (0 where
// `s` has extent 1 or lacks the dimension).
std::vector<int64_t> broadcastStrides(const Shape& s, const Shape& out);

// Calls f(outIndex, aIndex, bIndex) for every element of `out`, in order,
// with runs of the last dimension handed to `run(outStart, aStart, bStart,
// count, aStep, bStep)`.
template <typename Run>
void forEachBroadcast(const Shape& out, const std::vector<int64_t>& sa, const std::vector<int64_t>& sb, Run run) {
    const size_t r = out.size();
    const int64_t total = elementCount(out);
    if (total == 0) return;
    if (r == 0) {
        run(0, 0, 0, 1, 0, 0);
        return;
    }
    const int64_t inner = out[r - 1];
    std::vector<int64_t> idx(r, 0);
    int64_t oa = 0;
    int64_t ob = 0;
    for (int64_t o = 0; o < total; o += inner) {
        run(o, oa, ob, inner, sa[r - 1], sb[r - 1]);
        for (size_t d = r - 1; d-- > 0;) {
            ++idx[d];
            oa += sa[d];
            ob += sb[d];
            if (idx[d] < out[d]) break;
            oa -= sa[d] * out[d];
            ob -= sb[d] * out[d];
            idx[d] = 0;
        }
    }
}

}  // namespace vexart
