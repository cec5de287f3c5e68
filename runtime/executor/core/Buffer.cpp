#include "core/Buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vexart {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMappedFrom = size_t{4} << 20;
constexpr size_t kSmallPage = 4096;

}  // namespace

void BufferFree::operator()(uint8_t* p) const noexcept {
    if (p == nullptr) return;
#if defined(__linux__)
    if (mapped != 0) {
        munmap(p, mapped);
        return;
    }
#endif
    std::free(p);
}

size_t mappedLength(size_t bytes) {
#if defined(__linux__)
    if (bytes >= kMappedFrom && bytes <= SIZE_MAX / 2) return (bytes + kSmallPage - 1) / kSmallPage * kSmallPage;
#endif
    (void)bytes;
    return 0;
}

Buffer allocateBuffer(size_t bytes, bool zeroed) {
#if defined(__linux__)
    if (const size_t length = mappedLength(bytes); length != 0) {
        // Over-map by one huge page and trim both ends to align the start.
        void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto base = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
        if (start > base) munmap(raw, start - base);
        const size_t tail = base + length + kHugePage - (start + length);
        if (tail > 0) munmap(reinterpret_cast<void*>(start + length), tail);
        return Buffer(reinterpret_cast<uint8_t*>(start), BufferFree{length});
    }
#endif
    void* p = std::aligned_alloc(64, (std::max<size_t>(bytes, 1) + 63) / 64 * 64);
    if (p == nullptr) throw std::bad_alloc();
    if (zeroed) std::memset(p, 0, bytes);
    return Buffer(static_cast<uint8_t*>(p), BufferFree{});
}

}  // namespace vexart
