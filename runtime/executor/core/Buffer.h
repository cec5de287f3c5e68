// Bytes for tensors, arenas, packed weights and scratch. A block of 4 MiB
// and more is mapped on its own, aligned to 2 MiB, and its whole 2 MiB spans
// are offered to transparent huge pages: filling a fresh block then costs a
// page fault per 2 MiB instead of per 4 KiB. On a virtual machine each fault
// is dear; loading a large model touches every byte of its weights at least
// twice. The tail past the last whole span keeps small pages, so a block
// holds no more memory than it asks for.
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

}  // namespace vexart
