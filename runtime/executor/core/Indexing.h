// Axis and stride arithmetic shared by the kernels that index tensors by
// values from the model (gathers, scatters, losses, sampling).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/Tensor.h"

namespace vexart {

// An axis attribute in [-rank, rank), made non-negative. A scalar has no
// axis: callers index shapes and masks with the result.
inline int64_t normAxis(int64_t axis, size_t rank) {
    const auto r = static_cast<int64_t>(rank);
    if (axis < -r || axis >= r) throw ExecError("axis " + std::to_string(axis) + " out of range");
    return axis < 0 ? axis + r : axis;
}

// Row-major element strides of a shape.
inline std::vector<int64_t> stridesOf(const Shape& s) {
    std::vector<int64_t> st(s.size(), 1);
    for (size_t i = s.size(); i-- > 1;) st[i - 1] = st[i] * s[i];
    return st;
}

// Width of the elements a byte-moving kernel copies: string tensors have
// no bytes to move.
inline size_t elementBytes(const Tensor& t) {
    const size_t es = dtypeSize(t.type());
    if (es == 0) throw ExecError(std::string(dtypeName(t.type())) + " tensors are not supported by this operator");
    return es;
}

// An index from the model into a dimension of `size`, negatives counted
// from the end; out of range throws.
inline int64_t checkedIndex(int64_t i, int64_t size, const char* what) {
    if (i < 0) i += size;
    if (i < 0 || i >= size) throw ExecError(std::string(what) + " index " + std::to_string(i) + " is out of range");
    return i;
}

}  // namespace vexart
