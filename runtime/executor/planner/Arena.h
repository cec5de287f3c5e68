// Placement of per-execution buffers in one arena: each buffer lives from
// the step that writes it to the last step that reads it, and buffers
// whose lifetimes overlap never share bytes. Greedy by size (largest
// first, lowest offset that fits), as in Pisarchyk and Lee, "Efficient
// Memory Management for Deep Neural Net Inference" (2020).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexart {

struct BufferLife {
    size_t bytes = 0;
    size_t first = 0;  // step that writes it
    size_t last = 0;   // last step that reads it (>= first)
};

struct ArenaPlan {
    std::vector<size_t> offsets;  // per buffer, multiples of kArenaAlignment
    size_t total = 0;
};

constexpr size_t kArenaAlignment = 64;

ArenaPlan planArena(const std::vector<BufferLife>& buffers);

}  // namespace vexart
