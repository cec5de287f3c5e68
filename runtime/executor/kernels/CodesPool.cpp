#include "kernels/CodesPool.h"

#include <algorithm>

#include "core/Threads.h"

namespace vexart {
namespace {

// Averages of `groups` groups of `area` rows of `lanes` interleaved
// channels (plain: one lane; channels last: all C; a block: b lanes),
// dequantized into y in channel order. Group k starts at k * area * lanes.
template <typename Q>
void averageGroups(const Q* x, int64_t groups, int64_t area, int64_t lanes, double scale, double zero, float* y) {
    // 32-bit partial sums vectorise; a run of codes of magnitude 255 at most must fit in one.
    constexpr int64_t kRun = INT32_MAX / 255, kLanes = 64;
    parallelFor(groups, groups * area * lanes, [&](int64_t k) {
        const Q* g = x + k * area * lanes;
        for (int64_t first = 0; first < lanes; first += kLanes) {
            const int64_t width = std::min(kLanes, lanes - first);
            int64_t total[kLanes] = {};
            for (int64_t p = 0; p < area; p += kRun) {
                int32_t part[kLanes] = {};
                const int64_t end = std::min(area, p + kRun);
                if (lanes == 1) {
                    for (int64_t i = p; i < end; ++i) part[0] += g[i];
                } else {
                    for (int64_t i = p; i < end; ++i) {
                        const Q* row = g + i * lanes + first;
                        VEXA_SIMD
                        for (int64_t j = 0; j < width; ++j) part[j] += row[j];
                    }
                }
                for (int64_t j = 0; j < width; ++j) total[j] += part[j];
            }
            for (int64_t j = 0; j < width; ++j) {
                y[k * lanes + first + j] =
                    static_cast<float>(scale * (static_cast<double>(total[j]) / static_cast<double>(area) - zero));
            }
        }
    });
}

}  // namespace

void averageCodes(const Tensor& x, const QuantGrid& grid, float* y) {
    const Shape logical = x.logicalShape();
    if (logical.size() < 3 || !grid.perTensor()) throw ExecError("codes pool over a per-tensor grid of rank 3 or more");
    const int64_t n = logical[0], c = logical[1], area = elementCount(logical) / std::max<int64_t>(n * c, 1);
    if (area == 0 && n * c > 0) throw ExecError("GlobalAveragePool over an empty extent has no mean");
    const Layout layout = x.layout();
    int64_t lanes = 1;
    if (layout.isChannelsLast()) lanes = c;
    if (layout.isBlocked()) lanes = layout.block();
    const bool sequenceOrVolume = layout.isChannelsLast() && (logical.size() == 3 || logical.size() == 5);
    if (layout.isForeign() || (!layout.isPlain() && logical.size() != 4 && !sequenceOrVolume)) throw ExecError("codes pool in the " + layout.name() + " layout");
    // Group order is channel order within each image in every layout.
    const int64_t groups = n * c / lanes;
    const double scale = grid.scales[0], zero = grid.zeroPoints[0];
    if (x.type() == DType::UInt8) return averageGroups(x.data<uint8_t>(), groups, area, lanes, scale, zero, y);
    if (x.type() == DType::Int8) return averageGroups(x.data<int8_t>(), groups, area, lanes, scale, zero, y);
    throw ExecError("codes pool of " + std::string(dtypeName(x.type())));
}

}  // namespace vexart
