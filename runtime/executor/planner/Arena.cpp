#include "planner/Arena.h"

#include <algorithm>
#include <numeric>

namespace vexart {

ArenaPlan planArena(const std::vector<BufferLife>& buffers) {
    ArenaPlan plan;
    plan.offsets.assign(buffers.size(), 0);
    std::vector<size_t> order(buffers.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return buffers[a].bytes > buffers[b].bytes; });
    auto round = [](size_t n) { return (n + kArenaAlignment - 1) / kArenaAlignment * kArenaAlignment; };
    std::vector<size_t> placed;  // by offset
    for (size_t i : order) {
        const BufferLife& b = buffers[i];
        const size_t size = round(std::max<size_t>(b.bytes, 1));
        // Placed buffers alive at the same time, in offset order: take the
        // first gap that holds this one.
        size_t offset = 0;
        for (size_t j : placed) {
            const BufferLife& o = buffers[j];
            if (o.last < b.first || b.last < o.first) continue;
            const size_t begin = plan.offsets[j], end = begin + round(std::max<size_t>(o.bytes, 1));
            if (offset + size <= begin) break;
            offset = std::max(offset, end);
        }
        plan.offsets[i] = offset;
        plan.total = std::max(plan.total, offset + size);
        placed.insert(std::upper_bound(placed.begin(), placed.end(), i,
                                       [&](size_t a, size_t c) { return plan.offsets[a] < plan.offsets[c]; }),
                      i);
    }
    return plan;
}

}  // namespace vexart
