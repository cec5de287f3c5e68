#include "core/StoragePool.h"

namespace vexart {
namespace {

thread_local StoragePool* active = nullptr;

}  // namespace

std::unique_ptr<uint8_t[]> StoragePool::take(size_t bytes, size_t& size) {
    if (active != nullptr) {
        auto& blocks = active->blocks_;
        const auto it = blocks.lower_bound(bytes);
        // A block far larger than asked for stays for a tensor that needs it.
        if (it != blocks.end() && it->first / 4 <= bytes) {
            size = it->first;
            std::unique_ptr<uint8_t[]> block = std::move(it->second);
            blocks.erase(it);
            active->held_ -= size;
            active->thisRound_ += size;
            return block;
        }
        active->thisRound_ += bytes;
    }
    size = bytes;
    return std::unique_ptr<uint8_t[]>(new uint8_t[bytes]);
}

void StoragePool::give(std::unique_ptr<uint8_t[]> block, size_t size) {
    if (block == nullptr || active == nullptr) return;  // freed as it goes
    const size_t limit = 2 * std::max(active->largestRound_, active->thisRound_);
    if (active->held_ + size > limit) return;
    active->held_ += size;
    active->blocks_.emplace(size, std::move(block));
}

StoragePool::Scope::Scope(StoragePool& pool) : previous_(active) { active = &pool; }

StoragePool::Scope::~Scope() { active = previous_; }

}  // namespace vexart
