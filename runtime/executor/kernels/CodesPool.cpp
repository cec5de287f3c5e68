#include "kernels/CodesPool.h"

#include <algorithm>
#include <vector>

#include "core/Threads.h"

namespace vexart {
namespace {

// Sums of `planes` planes of `area` codes each, laid out as `lanes`
// interleaved channels per group: plain is one lane, channels last all C,
// a block b lanes. Group k starts at k * area * lanes.
template <typename Q>
void sumGroups(const Q* x, int64_t groups, int64_t area, int64_t lanes, int64_t* sums) {
    parallelFor(groups, groups * area * lanes, [&](int64_t k) {
        const Q* g = x + k * area * lanes;
        int64_t* s = sums + k * lanes;
        if (lanes == 1) {
            // 32-bit partial sums vectorise; 2^24 codes of 255 fit in one.
            int64_t total = 0;
            for (int64_t p = 0; p < area; p += int64_t{1} << 24) {
                int32_t part = 0;
                const int64_t end = std::min(area, p + (int64_t{1} << 24));
                for (int64_t i = p; i < end; ++i) part += g[i];
                total += part;
            }
            *s = total;
            return;
        }
        std::vector<int32_t> part(static_cast<size_t>(lanes));
        for (int64_t j = 0; j < lanes; ++j) s[j] = 0;
        for (int64_t p = 0; p < area; p += int64_t{1} << 24) {
            std::fill(part.begin(), part.end(), 0);
            const int64_t end = std::min(area, p + (int64_t{1} << 24));
            for (int64_t i = p; i < end; ++i) {
                const Q* row = g + i * lanes;
                VEXA_SIMD
                for (int64_t j = 0; j < lanes; ++j) part[static_cast<size_t>(j)] += row[j];
            }
            for (int64_t j = 0; j < lanes; ++j) s[j] += part[static_cast<size_t>(j)];
        }
    });
}

}  // namespace

void averageCodes(const Tensor& x, const QuantGrid& grid, float* y) {
    const Shape logical = x.logicalShape();
    if (logical.size() < 3 || !grid.perTensor()) throw ExecError("codes pool over a per-tensor grid of rank 3 or more");
    const int64_t n = logical[0], c = logical[1], area = elementCount(logical) / std::max<int64_t>(n * c, 1);
    const Layout layout = x.layout();
    int64_t lanes = 1;
    if (layout.isChannelsLast()) lanes = c;
    if (layout.isBlocked()) lanes = layout.block();
    if (layout.isForeign() || (!layout.isPlain() && logical.size() != 4)) throw ExecError("codes pool in the " + layout.name() + " layout");
    std::vector<int64_t> sums(static_cast<size_t>(n * c));
    const int64_t groups = n * c / lanes;
    if (x.type() == DType::UInt8) {
        sumGroups(x.data<uint8_t>(), groups, area, lanes, sums.data());
    } else if (x.type() == DType::Int8) {
        sumGroups(x.data<int8_t>(), groups, area, lanes, sums.data());
    } else {
        throw ExecError("codes pool of " + std::string(dtypeName(x.type())));
    }
    // Group order is channel order within each image in every layout.
    const double scale = grid.scales[0], zero = grid.zeroPoints[0];
    for (size_t i = 0; i < sums.size(); ++i) {
        y[i] = static_cast<float>(scale * (static_cast<double>(sums[i]) / static_cast<double>(area) - zero));
    }
}

}  // namespace vexart
