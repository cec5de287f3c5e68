// Constant bytes that kernels prepare for themselves (weights packed into a
// kernel's layout) and that several nodes may prepare alike: an unrolled
// recurrent or iterative network runs the same weights at every step
// (RAFT's update block four times), and each node packing its own copy held
// 10 MB more than the weights themselves. Identical blocks are kept once.
// They are matched by their bytes, so nothing depends on where the weights
// came from or on whether their source was freed since.
#pragma once

#include <cstddef>
#include <memory>

#include "core/Buffer.h"

namespace vexart {

// `bytes` (its first `size` bytes, which the caller no longer writes), or
// a block alive elsewhere that holds the same `size` bytes; either way
// the one to keep. Thread-safe.
std::shared_ptr<Buffer> shareIdentical(std::shared_ptr<Buffer> bytes, size_t size);

// Bytes that holders alive now would hold again without the sharing (each
// block's size times its holders but one).
size_t sharedBytesSaved();

}  // namespace vexart
