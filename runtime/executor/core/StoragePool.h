// Tensor storage kept for reuse while a pool is active on this thread. A
// graph planned on every execution's inputs frees its values as it goes and
// allocates them again the next time; through a pool the next execution
// takes back the same blocks instead of fresh pages from the system (tens
// of milliseconds for a large detector's masks on page faults alone).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "core/Buffer.h"

namespace vexart {

class StoragePool {
public:
    // A block of at least `bytes`: the smallest the active pool holds that
    // is large enough, else a new one. `size` gets the block's size.
    static Buffer take(size_t bytes, size_t& size) {
        bool zeroed = false;
        return take(bytes, size, zeroed);
    }
    // `zeroed`: the block is new pages from the system, which read as zero.
    static Buffer take(size_t bytes, size_t& size, bool& zeroed);
    // Keeps the block in the active pool, or frees it when none is active.
    static void give(Buffer block, size_t size);

    // Makes `pool` the active one on this thread for the scope's life.
    class Scope {
    public:
        explicit Scope(StoragePool& pool);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        StoragePool* previous_;
    };

    // An execution's rounds: the pool holds at most twice what one round
    // (an execution, or a loop iteration) has taken, so that a value that
    // grows from one round to the next leaves no trail of outgrown blocks.
    void beginRound() {
        largestRound_ = std::max(largestRound_, thisRound_);
        thisRound_ = 0;
    }

    size_t heldBytes() const { return held_; }

private:
    std::multimap<size_t, Buffer> blocks_;
    size_t held_ = 0;
    size_t thisRound_ = 0, largestRound_ = 0;  // bytes taken
};

}  // namespace vexart
