// Fused element-wise work applied by our own kernels, a row at a time
// while the row is in cache: one pass over memory instead of one per node.
#pragma once

#include <algorithm>
#include <cmath>

#include "core/Kernel.h"
#include "core/Threads.h"

namespace vexart {

inline float activate(const Fusion::Post& p, float v) {
    const float alpha = p.alpha, beta = p.beta;
    switch (p.act) {
        case Fusion::Act::Relu: return v > 0 ? v : 0.0f;
        case Fusion::Act::LeakyRelu: return v > 0 ? v : v * alpha;
        case Fusion::Act::Clip: return std::min(std::max(v, p.lo), p.hi);
        case Fusion::Act::Sigmoid: return 1.0f / (1.0f + std::exp(-v));
        case Fusion::Act::Tanh: return std::tanh(v);
        case Fusion::Act::HardSigmoid: return std::min(std::max(alpha * v + beta, 0.0f), 1.0f);
        case Fusion::Act::HardSwish: return v * std::min(std::max(v / 6.0f + 0.5f, 0.0f), 1.0f);
        case Fusion::Act::Swish: return v / (1.0f + std::exp(-alpha * v));
        case Fusion::Act::Elu: return v > 0 ? v : alpha * (std::exp(v) - 1.0f);
        case Fusion::Act::Gelu: return 0.5f * v * (1.0f + std::erf(v * 0.70710678f));
        case Fusion::Act::FakeQuant: break;
    }
    return v;
}

// Applies `f`'s post chain to `n` values at `y` whose element index in the
// output starts at `first`. Per-channel operands are read at `channel`
// (one channel for the row) or, with `rowIsChannels`, from `channel` on.
inline void applyPosts(const Fusion& f, float* y, int64_t n, int64_t first, int64_t channel, bool rowIsChannels) {
    for (const auto& post : f.post) {
        // A local copy: the loops below write floats through `y`, which the
        // compiler could not otherwise tell apart from the post's parameters.
        const Fusion::Post p = post;
        if (p.isAdd) {
            const float* a = p.addend->data<float>();
            if (!p.perChannel) {
                for (int64_t i = 0; i < n; ++i) y[i] += a[first + i];
            } else if (rowIsChannels) {
                for (int64_t i = 0; i < n; ++i) y[i] += a[channel + i];
            } else {
                for (int64_t i = 0; i < n; ++i) y[i] += a[channel];
            }
        } else if (p.act == Fusion::Act::Relu) {
            for (int64_t i = 0; i < n; ++i) y[i] = y[i] > 0 ? y[i] : 0.0f;
        } else if (p.act == Fusion::Act::LeakyRelu) {
            // Vector loops of their own, not a switch per element (nor,
            // left to the compiler, a branch on each sign).
            const float alpha = p.alpha;
            VEXA_SIMD
            for (int64_t i = 0; i < n; ++i) y[i] = y[i] > 0 ? y[i] : y[i] * alpha;
        } else if (p.act == Fusion::Act::Clip) {
            const float lo = p.lo, hi = p.hi;
            VEXA_SIMD
            for (int64_t i = 0; i < n; ++i) y[i] = std::min(std::max(y[i], lo), hi);
        } else if (p.act == Fusion::Act::FakeQuant) {
            // As oneDNN's chain and the exporters' fake quantization compute
            // it: times 1/scale, halves to even, offsets from the zero point.
            const float inv = 1.0f / p.scale, lo = p.lo - p.zero, hi = p.hi - p.zero;
            for (int64_t i = 0; i < n; ++i) y[i] = std::min(std::max(std::nearbyint(y[i] * inv), lo), hi) * p.scale;
        } else {
            for (int64_t i = 0; i < n; ++i) y[i] = activate(p, y[i]);
        }
    }
}

}  // namespace vexart
