// Memory a kernel needs only while it runs: a source reordered into its
// primitive's layout, a result before it is reordered back. Each slot is one
// buffer per thread shared by every kernel, so a graph of many such kernels
// holds the largest need once instead of each kernel holding its own (on a
// video network, where every convolution reorders, that was most of its
// memory).
#pragma once

#include <oneapi/dnnl/dnnl.hpp>
#include <cstddef>

namespace vexart::onednn {

enum TransientSlot { kSourceSlot = 0, kResultSlot = 1, kOperandSlot = 2 };
constexpr int kTransientSlots = 8;

// A buffer of at least `bytes`, 64-byte aligned, valid until this thread
// next asks for the same slot. Grows, never shrinks; throws std::bad_alloc.
void* transientBuffer(int slot, size_t bytes);

// Points `m` (made over no data) at its slot's buffer.
void bindTransient(dnnl::memory& m, int slot);

}  // namespace vexart::onednn
