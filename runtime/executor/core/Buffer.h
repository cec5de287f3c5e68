// Bytes for tensors, arenas, packed weights and scratch. A block of 256 KiB
// and more is mapped on its own, one of 4 MiB and more aligned to 2 MiB,
// so that a system that gives every mapping transparent huge pages can. The library does not ask
// for them itself: on the virtual machines measured, a fresh 2 MiB page
// costs more to fault in than its 512 small ones, and loading vit_b_16
// took 0.8-1.8 s against 0.55-0.6 s with small pages, for the same speed
// after (AVX-512, one thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexart {

struct BufferFree {
    size_t mapped = 0;  // length of its own mapping; 0: from the heap
    void operator()(uint8_t* p) const noexcept;
};
using Buffer = std::unique_ptr<uint8_t[], BufferFree>;

// At least 64-byte aligned; zero-filled when `zeroed` (mapped blocks always
// are). Throws std::bad_alloc.
Buffer allocateBuffer(size_t bytes, bool zeroed);

// The length of the mapping allocateBuffer makes for `bytes`; 0 where it
// takes them from the heap.
size_t mappedLength(size_t bytes);

// Blocks of a size that comes and goes on every execution (the outputs
// of the tensor interface): a block of 64 KiB or more given back is kept
// for the next request of its size. A fresh mapping faults in and zeroes
// every page again (resize_nearest_x2's 6.4 MB output cost more than the
// resize), and the heap took five executions to settle on a 3 MB block,
// growing by a fresh one each time. Contents are left as they were. A
// request of another size gives every kept block back first, so what is
// kept never adds to a peak.
uint8_t* allocateRecycled(size_t bytes);
void freeRecycled(uint8_t* p, size_t bytes) noexcept;
// What freeRecycled keeps now, in bytes.
size_t keptBlockBytes();

// allocateRecycled for standard containers that hold tensor data (the
// library's ITensor, whose outputs are fresh on every execution).
template <typename T>
struct BufferAllocator {
    using value_type = T;
    BufferAllocator() = default;
    template <typename U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return reinterpret_cast<T*>(allocateRecycled(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { freeRecycled(reinterpret_cast<uint8_t*>(p), n * sizeof(T)); }
    template <typename U>
    bool operator==(const BufferAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const BufferAllocator<U>&) const noexcept { return false; }
};

}  // namespace vexart
