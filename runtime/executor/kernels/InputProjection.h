// The input part of a recurrent layer for every step at once:
// [rows, in] x [cols, in]^T + bias, on oneDNN's matmul, which runs these
// shapes (a sequence's worth of rows, short inputs) about a third faster
// than Eigen's product. Constant weights are packed once.
#pragma once

#include <cstdint>

#include "onednn/Dnnl.h"

namespace vexart {

class InputProjection {
public:
    // Packs `weights`, making the primitive first for a new shape; nothing
    // to do when the constant weights and shape are those of the last call.
    // May allocate and throw (a new shape only): call it before any threads
    // share the work.
    void prepare(int64_t rows, int64_t in, int64_t cols, const float* weights, bool constant);
    // out = x * weights^T + bias (`cols` values); allocates nothing.
    void run(const float* x, const float* bias, float* out);

private:
    int64_t rows_ = -1, in_ = -1, cols_ = -1;
    const float* packedFrom_ = nullptr;  // the constant weights held packed, else null
    Buffer weightBytes_;
    dnnl::memory src_, dst_, bias_, weights_, user_;
    onednn::Call call_, pack_;  // the product, and the packing of the weights it reads
};

}  // namespace vexart
