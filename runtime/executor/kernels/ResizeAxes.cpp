#include "kernels/ResizeAxes.h"

#include <algorithm>
#include <cmath>

#include "core/Tensor.h"
#include "core/Threads.h"

namespace vexart {
namespace {

float sourceCoordinate(const ResizeRule& r, int64_t o, int64_t inLength, int64_t outLength, float s, bool fromScales,
                       float start, float end) {
    const float in = static_cast<float>(inLength);
    const auto of = static_cast<float>(o);
    if (r.coord == "asymmetric") return of / s;
    if (r.coord == "align_corners") {
        // With scales the resized length is in * scale, not its floor.
        const float len = fromScales ? in * s : static_cast<float>(outLength);
        return len <= 1 ? 0.0f : of * (in - 1) / (len - 1);
    }
    if (r.coord == "tf_half_pixel_for_nn") return (of + 0.5f) / s;
    if (r.coord == "tf_crop_and_resize") {
        return outLength > 1 ? start * (in - 1) + of * (end - start) * (in - 1) / static_cast<float>(outLength - 1)
                             : 0.5f * (start + end) * (in - 1);
    }
    if (r.coord == "pytorch_half_pixel") return outLength > 1 ? (of + 0.5f) / s - 0.5f : 0.0f;
    if (r.coord == "half_pixel_symmetric") {
        const float adj = static_cast<float>(outLength) / (in * s);
        return in / 2 * (1 - adj) + (of + 0.5f) / s - 0.5f;
    }
    return (of + 0.5f) / s - 0.5f;
}

int64_t nearestIndex(const std::string& rule, float c, int64_t dim) {
    int64_t i;
    if (rule == "floor") {
        i = static_cast<int64_t>(std::floor(c));
    } else if (rule == "ceil") {
        i = static_cast<int64_t>(std::ceil(c));
    } else if (rule == "round_prefer_ceil") {
        i = static_cast<int64_t>(std::floor(c + 0.5f));
    } else {
        i = c == std::floor(c) + 0.5f ? static_cast<int64_t>(std::floor(c)) : static_cast<int64_t>(std::round(c));
    }
    return std::clamp<int64_t>(i, 0, dim - 1);
}

// The cubic convolution kernel's four taps around c.
void cubicTaps(const ResizeRule& r, float c, int64_t dim, int64_t* index, float* weight) {
    const double f = std::floor(static_cast<double>(c));
    const double t = c - f;
    const double A = r.cubicA;
    const double dist[4] = {1 + t, t, 1 - t, 2 - t};
    double w[4], sum = 0;
    for (int k = 0; k < 4; ++k) {
        const double z = dist[k];
        w[k] = z <= 1 ? ((A + 2) * z - (A + 3)) * z * z + 1 : ((A * z - 5 * A) * z + 8 * A) * z - 4 * A;
        const int64_t at = static_cast<int64_t>(f) - 1 + k;
        if (r.excludeOutside && (at < 0 || at >= dim)) w[k] = 0;
        index[k] = std::clamp<int64_t>(at, 0, dim - 1);
        sum += w[k];
    }
    for (int k = 0; k < 4; ++k) weight[k] = static_cast<float>(r.excludeOutside && sum != 0 ? w[k] / sum : w[k]);
}

// One axis: y[outer][o][inner] = sum over taps of w * x[outer][tap][inner].
void resizeAxis(const float* x, float* y, int64_t outer, int64_t inLen, int64_t outLen, int64_t inner, const AxisTaps& t) {
    const int T = t.taps;
    const int64_t rows = outer * outLen;
    parallelFor(rows, rows * inner * T, [&](int64_t row) {
        const int64_t n = row / outLen, o = row % outLen;
        const float* src = x + n * inLen * inner;
        float* dst = y + row * inner;
        const int64_t* at = t.index.data() + o * T;
        const float* w = t.weight.data() + o * T;
        if (inner == 1) {
            float s = 0;
            for (int k = 0; k < T; ++k) s += w[k] * src[at[k]];
            dst[0] = s;
            return;
        }
        const float* s0 = src + at[0] * inner;
        const float w0 = w[0];
        if (T == 1) {
            std::copy(s0, s0 + inner, dst);
            return;
        }
        for (int64_t i = 0; i < inner; ++i) dst[i] = w0 * s0[i];
        for (int k = 1; k < T; ++k) {
            const float* sk = src + at[k] * inner;
            const float wk = w[k];
            for (int64_t i = 0; i < inner; ++i) dst[i] += wk * sk[i];
        }
    });
}

}  // namespace

void makeAxisTaps(const ResizeRule& rule, int64_t in, int64_t out, float scale, bool fromScales, float roiStart,
                  float roiEnd, AxisTaps& t) {
    const bool cropping = rule.coord == "tf_crop_and_resize";
    // Sampling nothing has no value to give; a crop instead puts every
    // coordinate outside, where the extrapolation value is defined.
    if (in == 0 && out > 0 && !cropping) {
        throw ExecError("Resize cannot make an axis of length " + std::to_string(out) + " from an empty one");
    }
    t.taps = rule.mode == "cubic" ? 4 : rule.mode == "linear" ? 2 : 1;
    t.index.assign(static_cast<size_t>(out * t.taps), 0);
    t.weight.assign(static_cast<size_t>(out * t.taps), 0.0f);
    t.outside.assign(static_cast<size_t>(out), 0);
    t.identity = in == out && !cropping;
    t.anyOutside = false;
    for (int64_t o = 0; o < out; ++o) {
        float c = sourceCoordinate(rule, o, in, out, scale, fromScales, roiStart, roiEnd);
        int64_t* index = t.index.data() + o * t.taps;
        float* weight = t.weight.data() + o * t.taps;
        if (cropping && !(c >= 0 && c <= static_cast<float>(in - 1))) {
            // A NaN region of interest puts every coordinate outside.
            t.outside[static_cast<size_t>(o)] = 1;
            t.anyOutside = true;
            weight[0] = 1;
            t.identity = false;
            continue;
        }
        if (rule.mode == "nearest") {
            index[0] = nearestIndex(rule.nearest, c, in);
            weight[0] = 1;
        } else if (rule.mode == "linear") {
            // An axis left at its length reads its own index, whatever the transform says.
            if (scale == 1.0f && rule.coord != "align_corners") c = static_cast<float>(o);
            c = std::clamp(c, 0.0f, static_cast<float>(in - 1));
            const auto l = static_cast<int64_t>(std::floor(c));
            index[0] = l;
            index[1] = std::min(l + 1, in - 1);
            weight[1] = c - static_cast<float>(l);
            weight[0] = 1.0f - weight[1];
        } else {
            cubicTaps(rule, c, in, index, weight);
        }
        bool same = index[0] == o && weight[0] == 1.0f;
        for (int k = 1; k < t.taps; ++k) same = same && weight[k] == 0.0f;
        t.identity = t.identity && same;
    }
}

void resizeByAxes(const float* x, const std::vector<int64_t>& inShape, float* y, const std::vector<int64_t>& outShape,
                  const std::vector<AxisTaps>& tables, float outsideValue, std::vector<float>& scratch) {
    const size_t r = inShape.size();
    std::vector<size_t> passes;
    // The last axis first: its pass gathers single elements, best done
    // while the tensor is small; the passes after it run over whole rows.
    for (size_t d = r; d-- > 0;) {
        if (!tables[d].identity) passes.push_back(d);
    }
    int64_t total = 1, given = 1;
    for (int64_t n : outShape) total *= n;
    for (int64_t n : inShape) given *= n;
    if (given == 0) {
        // Only a crop reaches here from nothing: every element lies outside.
        std::fill(y, y + total, outsideValue);
        return;
    }
    if (passes.empty()) {
        std::copy(x, x + total, y);
        return;
    }
    // Intermediate shapes: axes done so far at their output length.
    std::vector<int64_t> shape = inShape;
    size_t largest = 0;
    for (size_t p = 0; p + 1 < passes.size(); ++p) {
        shape[passes[p]] = outShape[passes[p]];
        int64_t n = 1;
        for (int64_t s : shape) n *= s;
        largest = std::max(largest, static_cast<size_t>(n));
    }
    // Two halves: a pass reads one and writes the other.
    if (scratch.size() < 2 * largest) scratch.resize(2 * largest);
    shape = inShape;
    const float* src = x;
    for (size_t p = 0; p < passes.size(); ++p) {
        const size_t d = passes[p];
        int64_t outer = 1, inner = 1;
        for (size_t i = 0; i < d; ++i) outer *= shape[i];
        for (size_t i = d + 1; i < r; ++i) inner *= shape[i];
        float* dst = p + 1 == passes.size() ? y : scratch.data() + (p % 2) * largest;
        resizeAxis(src, dst, outer, shape[d], outShape[d], inner, tables[d]);
        shape[d] = outShape[d];
        src = dst;
    }
    bool anyOutside = false;
    for (const auto& t : tables) anyOutside = anyOutside || t.anyOutside;
    if (!anyOutside) return;
    // An element is extrapolated when any of its coordinates lies outside.
    std::vector<int64_t> idx(r, 0);
    for (int64_t o = 0; o < total; ++o) {
        bool outside = false;
        for (size_t d = 0; d < r; ++d) outside = outside || tables[d].outside[static_cast<size_t>(idx[d])] != 0;
        if (outside) y[o] = outsideValue;
        for (size_t d = r; d-- > 0;) {
            if (++idx[d] < outShape[d]) break;
            idx[d] = 0;
        }
    }
}

}  // namespace vexart
