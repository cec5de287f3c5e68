// Numpy-style broadcasting for element-wise kernels.
#pragma once

#include <algorithm>
#include <array>
#include <vector>

#include "core/Tensor.h"

namespace vexart {

Shape broadcastShape(const Shape& a, const Shape& b);

// Element strides of `s` seen through the broadcast `out` shape (0 where
// `s` has extent 1 or lacks the dimension).
std::vector<int64_t> broadcastStrides(const Shape& s, const Shape& out);

// Merges the axes of `out` that both operands, with element strides `sa`
// and `sb` (broadcastStrides), walk as one: an [N, C, H, W] tensor times a
// [1, C, 1, 1] gate becomes C rows of H * W. Axes of extent 1 go; a scalar
// result keeps no axis.
void mergeBroadcastAxes(Shape& out, std::vector<int64_t>& sa, std::vector<int64_t>& sb);

// Walks rows [first, last) of `out` (runs of its last dimension) for K
// operands with the given broadcast strides: run(outStart, starts, count,
// steps), where starts[k] and steps[k] index operand k. Rows start
// anywhere, so threads can take a share each.
template <size_t K, typename Run>
void forEachBroadcastRows(const Shape& out, const std::array<const std::vector<int64_t>*, K>& strides, int64_t first,
                          int64_t last, Run run) {
    const size_t r = out.size();
    std::array<int64_t, K> at{}, steps{};
    if (first >= last) return;
    if (r == 0) {
        run(0, at, 1, steps);
        return;
    }
    for (size_t k = 0; k < K; ++k) steps[k] = (*strides[k])[r - 1];
    const int64_t inner = out[r - 1];
    std::vector<int64_t> idx(r, 0);
    for (int64_t row = first, d = static_cast<int64_t>(r) - 2; d >= 0; --d) {
        const auto u = static_cast<size_t>(d);
        idx[u] = row % out[u];
        row /= out[u];
        for (size_t k = 0; k < K; ++k) at[k] += idx[u] * (*strides[k])[u];
    }
    for (int64_t row = first; row < last; ++row) {
        run(row * inner, at, inner, steps);
        for (size_t d = r - 1; d-- > 0;) {
            ++idx[d];
            for (size_t k = 0; k < K; ++k) at[k] += (*strides[k])[d];
            if (idx[d] < out[d]) break;
            for (size_t k = 0; k < K; ++k) at[k] -= (*strides[k])[d] * out[d];
            idx[d] = 0;
        }
    }
}

// The rows of forEachBroadcastRows in `out`.
inline int64_t broadcastRows(const Shape& out) {
    if (out.empty()) return elementCount(out);
    return out.back() == 0 ? 0 : elementCount(out) / out.back();
}

// Every row of `out`, in order.
template <size_t K, typename Run>
void forEachBroadcastRun(const Shape& out, const std::array<const std::vector<int64_t>*, K>& strides, Run run) {
    forEachBroadcastRows<K>(out, strides, 0, broadcastRows(out), run);
}

// Calls run(outStart, aStart, bStart, count, aStep, bStep) for every run
// of the last dimension of `out`, in order.
template <typename Run>
void forEachBroadcast(const Shape& out, const std::vector<int64_t>& sa, const std::vector<int64_t>& sb, Run run) {
    forEachBroadcastRun<2>(out, {&sa, &sb}, [&run](int64_t o, const std::array<int64_t, 2>& at, int64_t n,
                                                   const std::array<int64_t, 2>& steps) {
        run(o, at[0], at[1], n, steps[0], steps[1]);
    });
}

}  // namespace vexart
