#include "planner/Arena.h"

#include <algorithm>
#include <map>
#include <numeric>

namespace vexart {
namespace {

// The placed buffers, found by time: a segment tree over steps answers
// "alive at step s" and a map by first step answers "starting within
// [a, b]"; together they give the buffers that overlap [a, b] in time
// proportional to their number, not to every buffer placed so far.
class PlacedByTime {
public:
    explicit PlacedByTime(size_t steps) : steps_(std::max<size_t>(steps, 1)), nodes_(4 * steps_) {}

    void add(size_t id, size_t first, size_t last) {
        insert(1, 0, steps_ - 1, first, last, id);
        byFirst_.emplace(first, id);
    }

    // Buffers whose lifetime meets [first, last], each once.
    void overlapping(size_t first, size_t last, std::vector<size_t>& out) const {
        out.clear();
        // Alive at `first` (started at or before it)...
        size_t node = 1, lo = 0, hi = steps_ - 1;
        for (;;) {
            out.insert(out.end(), nodes_[node].begin(), nodes_[node].end());
            if (lo == hi) break;
            const size_t mid = (lo + hi) / 2;
            if (first <= mid) {
                node = 2 * node, hi = mid;
            } else {
                node = 2 * node + 1, lo = mid + 1;
            }
        }
        // ...and started after it, no later than `last`.
        for (auto it = byFirst_.upper_bound(first); it != byFirst_.end() && it->first <= last; ++it) {
            out.push_back(it->second);
        }
    }

private:
    void insert(size_t node, size_t lo, size_t hi, size_t first, size_t last, size_t id) {
        if (last < lo || hi < first) return;
        if (first <= lo && hi <= last) {
            nodes_[node].push_back(id);
            return;
        }
        const size_t mid = (lo + hi) / 2;
        insert(2 * node, lo, mid, first, last, id);
        insert(2 * node + 1, mid + 1, hi, first, last, id);
    }

    size_t steps_;
    std::vector<std::vector<size_t>> nodes_;
    std::multimap<size_t, size_t> byFirst_;
};

}  // namespace

ArenaPlan planArena(const std::vector<BufferLife>& buffers) {
    ArenaPlan plan;
    plan.offsets.assign(buffers.size(), 0);
    std::vector<size_t> order(buffers.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return buffers[a].bytes > buffers[b].bytes; });
    auto round = [](size_t n) { return (n + kArenaAlignment - 1) / kArenaAlignment * kArenaAlignment; };
    size_t steps = 0;
    for (const BufferLife& b : buffers) steps = std::max(steps, b.last + 1);
    PlacedByTime placed(steps);
    std::vector<size_t> alive;
    for (size_t i : order) {
        const BufferLife& b = buffers[i];
        const size_t size = round(std::max<size_t>(b.bytes, 1));
        // Placed buffers alive at the same time, in offset order: take the
        // first gap that holds this one.
        placed.overlapping(b.first, b.last, alive);
        std::sort(alive.begin(), alive.end(), [&](size_t x, size_t y) {
            return plan.offsets[x] != plan.offsets[y] ? plan.offsets[x] < plan.offsets[y] : x < y;
        });
        size_t offset = 0;
        for (size_t j : alive) {
            const size_t begin = plan.offsets[j], end = begin + round(std::max<size_t>(buffers[j].bytes, 1));
            if (offset + size <= begin) break;
            offset = std::max(offset, end);
        }
        plan.offsets[i] = offset;
        plan.total = std::max(plan.total, offset + size);
        placed.add(i, b.first, b.last);
    }
    return plan;
}

}  // namespace vexart
