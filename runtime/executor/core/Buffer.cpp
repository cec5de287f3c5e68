#include "core/Buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vexart {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMappedFrom = size_t{4} << 20;
constexpr size_t kSmallPage = 4096;

// Mappings given back through freeRecycled, for the next request of their
// length; a few, so that a process of many networks keeps little idle.
constexpr size_t kKeptMappings = 8;
constexpr size_t kKeptBytes = size_t{256} << 20;

struct KeptMappings {
    KeptMappings() { blocks.reserve(kKeptMappings); }  // remembering one never allocates
    std::mutex lock;
    std::vector<std::pair<uint8_t*, size_t>> blocks;  // start, mapped length
    size_t bytes = 0;
};

KeptMappings& kept() {
    static KeptMappings* k = new KeptMappings;  // never destroyed: frees may come from static destructors
    return *k;
}

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

uint8_t* allocateRecycled(size_t bytes) {
    const size_t length = mappedLength(bytes);
    if (length != 0) {
        KeptMappings& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        for (size_t i = 0; i < k.blocks.size(); ++i) {
            if (k.blocks[i].second != length) continue;
            uint8_t* p = k.blocks[i].first;
            k.blocks.erase(k.blocks.begin() + static_cast<std::ptrdiff_t>(i));
            k.bytes -= length;
            return p;
        }
        for (const auto& [p, n] : k.blocks) BufferFree{n}(p);
        k.blocks.clear();
        k.bytes = 0;
    }
    return allocateBuffer(bytes, false).release();
}

size_t keptMappingBytes() {
    KeptMappings& k = kept();
    const std::lock_guard<std::mutex> hold(k.lock);
    return k.bytes;
}

void freeRecycled(uint8_t* p, size_t bytes) noexcept {
    const size_t length = mappedLength(bytes);
    if (p != nullptr && length != 0) {
        KeptMappings& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        if (k.blocks.size() < kKeptMappings && k.bytes + length <= kKeptBytes) {
            k.blocks.emplace_back(p, length);
            k.bytes += length;
            return;
        }
    }
    BufferFree{length}(p);
}

}  // namespace vexart
