#include "Encoding.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "passes/FixedPoint.h"

namespace vexart {

TensorEncoding encodingForRange(float min, float max, uint32_t bitWidth) {
    TensorEncoding e;
    e.bitWidth = bitWidth;
    const double maxQ = std::ldexp(1.0, static_cast<int>(bitWidth)) - 1;
    // Nothing seen, only zeros, or no finite range: no grid to fit. The
    // arithmetic is in double, where even -FLT_MAX..FLT_MAX has a width.
    if (!(min <= max) || (min == 0 && max == 0) || !std::isfinite(min) || !std::isfinite(max)) return e;
    double encMin = min, encMax = max, offset = 0;
    if (min > 0) {
        encMin = 0;
    } else if (max < 0) {
        encMax = 0;
        offset = maxQ;
    } else {
        const double delta = (static_cast<double>(max) - min) / maxQ;
        const double o = -static_cast<double>(min) / delta;
        offset = std::round(o);
        if (offset != o) {
            encMin = -offset * delta;
            encMax = (maxQ - offset) * delta;
        }
    }
    e.stepSize = static_cast<float>((encMax - encMin) / maxQ);
    e.stepExactly0 = static_cast<uint64_t>(offset);
    return e;
}

void quantizeDequantize(const float* x, float* out, size_t n, const TensorEncoding& e) {
    if (e.stepSize == 0) {
        std::fill(out, out + n, 0.0f);
        return;
    }
    const float maxQ = static_cast<float>(std::ldexp(1.0, static_cast<int>(e.bitWidth)) - 1);
    const float offset = static_cast<float>(e.stepExactly0);
    const float inv = 1.0f / e.stepSize;
    for (size_t i = 0; i < n; ++i) {
        // Halves away from zero, as the tool quantizes buffers.
        const float q = std::clamp(std::round(x[i] * inv + offset), 0.0f, maxQ);
        out[i] = std::isnan(x[i]) ? 0.0f : (q - offset) * e.stepSize;
    }
}

Histogram::Histogram(float min, float max, size_t bins) : min_(min), max_(max), counts_(std::max<size_t>(bins, 1)) {}

void Histogram::add(const float* x, size_t n) {
    const double width = static_cast<double>(max_) - min_;
    const double scale = width > 0 ? static_cast<double>(counts_.size()) / width : 0;
    for (size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i])) continue;  // outside every range, as in Range
        const double at = (static_cast<double>(x[i]) - min_) * scale;
        const size_t bin = at <= 0 ? 0 : std::min(counts_.size() - 1, static_cast<size_t>(at));
        ++counts_[bin];
        ++total_;
    }
}

float Histogram::quantile(double fraction) const {
    const double target = fraction * static_cast<double>(total_);
    const double width = (static_cast<double>(max_) - min_) / static_cast<double>(counts_.size());
    double seen = 0;
    for (size_t b = 0; b < counts_.size(); ++b) {
        seen += static_cast<double>(counts_[b]);
        if (seen >= target) return static_cast<float>(min_ + width * static_cast<double>(fraction < 0.5 ? b : b + 1));
    }
    return max_;
}

void Histogram::mseRange(uint32_t bitWidth, float& lo, float& hi) const {
    lo = min_;
    hi = max_;
    if (total_ == 0 || !(max_ > min_)) return;
    const size_t bins = counts_.size();
    const double width = (static_cast<double>(max_) - min_) / static_cast<double>(bins);
    const double maxQ = std::ldexp(1.0, static_cast<int>(bitWidth)) - 1;
    // Sums over the first k bins of count, count * centre and count * centre^2:
    // a clipped tail's squared distances to its end follow from three of them.
    std::vector<double> n(bins + 1, 0), s1(bins + 1, 0), s2(bins + 1, 0);
    for (size_t k = 0; k < bins; ++k) {
        const double c = min_ + (static_cast<double>(k) + 0.5) * width, m = static_cast<double>(counts_[k]);
        n[k + 1] = n[k] + m;
        s1[k + 1] = s1[k] + m * c;
        s2[k + 1] = s2[k] + m * c * c;
    }
    // Bins [from, to) pulled to `end`: sum of m * ((c - end)^2 + width^2 / 12).
    auto clipped = [&](size_t from, size_t to, double end) {
        if (from >= to) return 0.0;
        const double m = n[to] - n[from];
        return s2[to] - s2[from] - 2 * end * (s1[to] - s1[from]) + end * end * m + m * width * width / 12;
    };
    // The first bin whose centre is v or above.
    auto binAbove = [&](double v) {
        const double at = std::ceil((v - min_) / width - 0.5);
        return static_cast<size_t>(std::clamp(at, 0.0, static_cast<double>(bins)));
    };
    // Values spread evenly within a bin: rounding costs step^2/12 each.
    auto error = [&](float a, float b) {
        const TensorEncoding e = encodingForRange(a, b, bitWidth);
        if (e.stepSize == 0) return std::numeric_limits<double>::infinity();
        const double step = e.stepSize, offset = static_cast<double>(e.stepExactly0);
        const double encMin = -offset * step, encMax = (maxQ - offset) * step;
        const size_t first = binAbove(encMin), last = std::max(first, binAbove(encMax));
        return clipped(0, first, encMin) + clipped(last, bins, encMax) + (n[last] - n[first]) * step * step / 12;
    };
    double best = error(lo, hi);
    // Each end in turn moves in to any bin edge on its side of 0 (0 is in
    // every encoded range), twice round.
    for (int round = 0; round < 2; ++round) {
        for (size_t k = 1; k < bins; ++k) {
            const auto at = static_cast<float>(min_ + static_cast<double>(k) * width);
            if (at > 0) {
                const double err = error(lo, at);
                if (err < best) {
                    best = err;
                    hi = at;
                }
            }
        }
        for (size_t k = 1; k < bins; ++k) {
            const auto at = static_cast<float>(min_ + static_cast<double>(k) * width);
            if (at < 0) {
                const double err = error(at, hi);
                if (err < best) {
                    best = err;
                    lo = at;
                }
            }
        }
    }
}

TensorEncoding perChannelEncoding(const float* w, const std::vector<int64_t>& dims, int64_t axis, uint32_t bitWidth) {
    TensorEncoding e;
    e.bitWidth = bitWidth;
    e.axis = axis;
    e.stepExactly0 = uint64_t{1} << (bitWidth - 1);
    e.channelSteps = largestPerChannel(w, dims, axis);
    for (float& s : e.channelSteps) {
        s /= static_cast<float>(e.stepExactly0 - 1);
        e.stepSize = std::max(e.stepSize, s);
    }
    return e;
}

void quantizeDequantizeChannels(const float* x, float* out, const std::vector<int64_t>& dims, const TensorEncoding& e) {
    int64_t inner = 1, total = 1;
    for (size_t i = static_cast<size_t>(e.axis) + 1; i < dims.size(); ++i) inner *= dims[i];
    for (int64_t d : dims) total *= d;
    const int64_t channels = dims[static_cast<size_t>(e.axis)];
    TensorEncoding one = e;
    for (int64_t start = 0; start < total; start += inner) {
        one.stepSize = e.channelSteps[static_cast<size_t>((start / inner) % channels)];
        quantizeDequantize(x + start, out + start, static_cast<size_t>(inner), one);
    }
}

}  // namespace vexart
