// Scaled dot-product attention as one kernel (passes/AttentionFusion.h):
// y = Softmax(q k [* or / scale] [+ mask]) v over the last axis, a block of
// query rows at a time. Each block's scores (rows x keys) stay in a buffer
// of its thread, small enough for the cache, between the two products
// (oneDNN's matmul) and the softmax; unfused, a 1024-token layer of 4
// heads wrote and read 16 MB of scores twice, and the three nodes were
// memory bound.
#pragma once

#include <memory>

#include "core/Kernel.h"

namespace vexart {

enum class AttentionScale { None, Mul, Div };

// Inputs q [..., M, K], k [..., K, N], v [..., N, P] and, when `masked`, a
// mask that broadcasts to the scores [..., M, N]; the batch dimensions
// broadcast. Output [..., M, P].
std::unique_ptr<Kernel> makeAttention(AttentionScale op, float scale, bool masked);

}  // namespace vexart
