#include "core/Buffer.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

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
constexpr size_t kHugeAlignedFrom = size_t{4} << 20;
// Blocks from 256 KiB are mappings of their own, given back to the system
// when freed. From the heap, planning's short-lived values of ever new
// sizes left holes it kept: densenet121's heap held 71 MB for 35 MB in
// use, and its peak grew by a third in fixed point (many small codes and
// copies between the same layers).
constexpr size_t kMappedFrom = size_t{256} << 10;
constexpr size_t kSmallPage = 4096;

// Blocks given back through freeRecycled, for the next request of their
// size; a few, so that a process of many networks keeps little idle.
// Smaller blocks are left to the heap, which reuses them well.
constexpr size_t kKeptFrom = size_t{64} << 10;
constexpr size_t kKeptBlocks = 8;
constexpr size_t kKeptBytes = size_t{256} << 20;

struct KeptBlock {
    uint8_t* start;
    size_t size;    // what a request is matched on: the block's whole length
    size_t mapped;  // as BufferFree takes it
};

struct KeptBlocks {
    KeptBlocks() { blocks.reserve(kKeptBlocks); }  // remembering one never allocates
    std::mutex lock;
    std::vector<KeptBlock> blocks;
    size_t bytes = 0;
};

KeptBlocks& kept() {
    static KeptBlocks* k = new KeptBlocks;  // never destroyed: frees may come from static destructors
    return *k;
}

// The whole length of the block allocateBuffer makes for `bytes`.
size_t blockLength(size_t bytes) {
    const size_t mapped = mappedLength(bytes);
    return mapped != 0 ? mapped : (std::max<size_t>(bytes, 1) + 63) / 64 * 64;
}

}  // namespace

void BufferFree::operator()(uint8_t* p) const noexcept {
    if (p == nullptr) return;
#if defined(__linux__)
    if (mapped != 0) {
#if defined(__SANITIZE_ADDRESS__)
        __asan_unpoison_memory_region(p, mapped);  // a later mapping at this address starts clean
#endif
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
        // A block that could take huge pages is over-mapped by one and
        // trimmed at both ends to align its start.
        const size_t extra = length >= kHugeAlignedFrom ? kHugePage : 0;
        void* raw = mmap(nullptr, length + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto base = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t start = extra != 0 ? (base + kHugePage - 1) / kHugePage * kHugePage : base;
        if (start > base) munmap(raw, start - base);
        const size_t tail = base + length + extra - (start + length);
        if (tail > 0) munmap(reinterpret_cast<void*>(start + length), tail);
        // Where huge pages are only given on request, a block this large asks:
        // a first touch then costs one fault per 2 MiB, not 512 (on a VM
        // where faults are dear, a video network's load and first run
        // fell by a quarter). The request fails harmlessly where they are off.
        if (extra != 0) madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        // Every block is written whole soon after (weights unpacked and
        // packed, values filled): its pages are made in one call, not a
        // fault each (on a VM that runs every fault through its host,
        // loads fell by 5-20%: a QDQ inception_v3's from 760 to 630 ms).
        // Older kernels refuse the advice and fault as before.
        madvise(reinterpret_cast<void*>(start), length, MADV_POPULATE_WRITE);
#endif
        return Buffer(reinterpret_cast<uint8_t*>(start), BufferFree{length});
    }
#endif
    void* p = std::aligned_alloc(64, (std::max<size_t>(bytes, 1) + 63) / 64 * 64);
    if (p == nullptr) throw std::bad_alloc();
    if (zeroed) std::memset(p, 0, bytes);
    return Buffer(static_cast<uint8_t*>(p), BufferFree{});
}

uint8_t* allocateRecycled(size_t bytes) {
    if (bytes >= kKeptFrom) {
        const size_t size = blockLength(bytes);
        KeptBlocks& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        for (size_t i = 0; i < k.blocks.size(); ++i) {
            if (k.blocks[i].size != size) continue;
            uint8_t* p = k.blocks[i].start;
            k.blocks.erase(k.blocks.begin() + static_cast<std::ptrdiff_t>(i));
            k.bytes -= size;
            return p;
        }
        for (const KeptBlock& b : k.blocks) BufferFree{b.mapped}(b.start);
        k.blocks.clear();
        k.bytes = 0;
    }
    return allocateBuffer(bytes, false).release();
}

size_t keptBlockBytes() {
    KeptBlocks& k = kept();
    const std::lock_guard<std::mutex> hold(k.lock);
    return k.bytes;
}

void freeRecycled(uint8_t* p, size_t bytes) noexcept {
    if (p != nullptr && bytes >= kKeptFrom) {
        const size_t size = blockLength(bytes);
        KeptBlocks& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        if (k.blocks.size() < kKeptBlocks && k.bytes + size <= kKeptBytes) {
            k.blocks.push_back({p, size, mappedLength(bytes)});
            k.bytes += size;
            return;
        }
    }
    BufferFree{mappedLength(bytes)}(p);
}

}  // namespace vexart
