#include "core/StoragePool.h"

namespace vexart {
namespace {

thread_local StoragePool* active = nullptr;

// New blocks of 64 KiB and more come in sizes a quarter of a power of two
// apart (at most 25% over): a value that grows a little each round (a
// Concat onto a Loop's carried value) then finds last round's block big
// enough for several rounds instead of fresh pages each time.
size_t sizeClass(size_t bytes) {
    if (bytes < (size_t{64} << 10)) return bytes;
    size_t step = size_t{1} << 62;
    while (step > bytes) step >>= 1;
    step /= 4;
    return (bytes + step - 1) / step * step;
}

}  // namespace

Buffer StoragePool::take(size_t bytes, size_t& size, bool& zeroed) {
    zeroed = false;
    if (active != nullptr) {
        auto& blocks = active->blocks_;
        const auto it = blocks.lower_bound(bytes);
        // A block far larger than asked for stays for a tensor that needs it.
        if (it != blocks.end() && it->first / 4 <= bytes) {
            size = it->first;
            Buffer block = std::move(it->second);
            blocks.erase(it);
            active->held_ -= size;
            active->thisRound_ += size;
            return block;
        }
        bytes = sizeClass(bytes);
        active->thisRound_ += bytes;
    }
    size = bytes;
    zeroed = mappedLength(bytes) != 0;
    return allocateBuffer(bytes, false);
}

void StoragePool::give(Buffer block, size_t size) {
    if (block == nullptr || active == nullptr) return;  // freed as it goes
    const size_t limit = 2 * std::max(active->largestRound_, active->thisRound_);
    // Over the bound, smaller blocks make way first: a value that grows
    // leaves its outgrown blocks behind, and the newest is the one the next
    // round needs.
    auto& blocks = active->blocks_;
    while (active->held_ + size > limit && !blocks.empty() && blocks.begin()->first < size) {
        active->held_ -= blocks.begin()->first;
        blocks.erase(blocks.begin());
    }
    if (active->held_ + size > limit) return;
    active->held_ += size;
    active->blocks_.emplace(size, std::move(block));
}

StoragePool::Scope::Scope(StoragePool& pool) : previous_(active) { active = &pool; }

StoragePool::Scope::~Scope() { active = previous_; }

}  // namespace vexart
