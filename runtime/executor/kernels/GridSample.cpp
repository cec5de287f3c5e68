// GridSample: samples a [N,C,H,W] input at the normalised positions of a
// [N,Ho,Wo,2] grid, nearest, bilinear or bicubic, with zeros, border or
// reflection padding.
#include <onnx/onnx_pb.h>

#include <cmath>

#include "core/Kernel.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

enum class Mode { Nearest, Bilinear, Bicubic };
enum class Padding { Zeros, Border, Reflection };

// Folds x back into [lo, hi] as a mirror would.
float reflect(float x, float lo, float hi) {
    const float range = hi - lo;
    if (range <= 0) return lo;
    if (x < lo) {
        const float d = lo - x;
        const auto n = static_cast<int64_t>(d / range);
        const float r = d - static_cast<float>(n) * range;
        return n % 2 == 0 ? lo + r : hi - r;
    }
    if (x > hi) {
        const float d = x - hi;
        const auto n = static_cast<int64_t>(d / range);
        const float r = d - static_cast<float>(n) * range;
        return n % 2 == 0 ? hi - r : lo + r;
    }
    return x;
}

class GridSampleKernel : public Kernel {
public:
    explicit GridSampleKernel(const onnx::NodeProto& n) {
        const Attrs a(n);
        const std::string mode = a.s("mode", "bilinear"), pad = a.s("padding_mode", "zeros");
        mode_ = mode == "nearest" ? Mode::Nearest : mode == "bicubic" ? Mode::Bicubic : Mode::Bilinear;
        if (mode != "nearest" && mode != "bicubic" && mode != "bilinear") throw ExecError("unknown mode '" + mode + "'");
        pad_ = pad == "border" ? Padding::Border : pad == "reflection" ? Padding::Reflection : Padding::Zeros;
        if (pad != "border" && pad != "reflection" && pad != "zeros") throw ExecError("unknown padding_mode '" + pad + "'");
        alignCorners_ = a.i("align_corners", 0) != 0;
    }
    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const Tensor& grid = ctx.in(1);
        requireFloat(x, "GridSample input");
        requireFloat(grid, "grid");
        if (x.rank() != 4 || grid.rank() != 4 || grid.dim(0) != x.dim(0) || grid.dim(3) != 2) {
            throw ExecError("GridSample takes [N,C,H,W] input and an [N,Ho,Wo,2] grid");
        }
        const int64_t N = x.dim(0), C = x.dim(1), H = x.dim(2), W = x.dim(3), Ho = grid.dim(1), Wo = grid.dim(2);
        Tensor& y = ctx.out(0, DType::Float, {N, C, Ho, Wo});
        if (ctx.dryRun() || y.size() == 0) return ctx.zeroOutputs();
        if (H == 0 || W == 0) {
            // Outside an empty plane zero padding reads 0; the border and
            // its reflection have no pixel to repeat.
            if (pad_ != Padding::Zeros) throw ExecError("GridSample cannot pad an empty plane by its border");
            return ctx.zeroOutputs();
        }
        for (int64_t n = 0; n < N; ++n) {
            for (int64_t c = 0; c < C; ++c) {
                const float* plane = x.data<float>() + (n * C + c) * H * W;
                float* out = y.data<float>() + (n * C + c) * Ho * Wo;
                const float* g = grid.data<float>() + n * Ho * Wo * 2;
                for (int64_t i = 0; i < Ho * Wo; ++i) out[i] = sample(plane, H, W, g[2 * i], g[2 * i + 1]);
            }
        }
    }

private:
    float unnormalise(float v, int64_t size) const {
        const auto s = static_cast<float>(size);
        return alignCorners_ ? (v + 1) / 2 * (s - 1) : ((v + 1) * s - 1) / 2;
    }

    float pixel(const float* plane, int64_t H, int64_t W, int64_t y, int64_t x) const {
        switch (pad_) {
            case Padding::Zeros:
                return y < 0 || y >= H || x < 0 || x >= W ? 0.0f : plane[y * W + x];
            case Padding::Border:
                return plane[std::clamp<int64_t>(y, 0, H - 1) * W + std::clamp<int64_t>(x, 0, W - 1)];
            case Padding::Reflection: {
                const float lo = alignCorners_ ? 0.0f : -0.5f;
                const auto ry = static_cast<int64_t>(reflect(static_cast<float>(y), lo, static_cast<float>(H - 1) - lo));
                const auto rx = static_cast<int64_t>(reflect(static_cast<float>(x), lo, static_cast<float>(W - 1) - lo));
                return plane[std::clamp<int64_t>(ry, 0, H - 1) * W + std::clamp<int64_t>(rx, 0, W - 1)];
            }
        }
        return 0;
    }

    static void cubicWeights(float t, float w[4]) {
        constexpr float A = -0.75f;
        const float t1 = t + 1, t2 = 1 - t;
        w[0] = ((A * t1 - 5 * A) * t1 + 8 * A) * t1 - 4 * A;
        w[1] = ((A + 2) * t - (A + 3)) * t * t + 1;
        w[2] = ((A + 2) * t2 - (A + 3)) * t2 * t2 + 1;
        w[3] = 1 - w[0] - w[1] - w[2];
    }

    float sample(const float* plane, int64_t H, int64_t W, float gx, float gy) const {
        float x = unnormalise(gx, W), y = unnormalise(gy, H);
        if (pad_ == Padding::Border) {
            x = std::clamp(x, 0.0f, static_cast<float>(W - 1));
            y = std::clamp(y, 0.0f, static_cast<float>(H - 1));
        } else if (pad_ == Padding::Reflection) {
            const float lo = alignCorners_ ? 0.0f : -0.5f;
            x = std::clamp(reflect(x, lo, static_cast<float>(W - 1) - lo), 0.0f, static_cast<float>(W - 1));
            y = std::clamp(reflect(y, lo, static_cast<float>(H - 1) - lo), 0.0f, static_cast<float>(H - 1));
        }
        if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > 1e9f || std::fabs(y) > 1e9f) return 0;
        if (mode_ == Mode::Nearest) {
            return pixel(plane, H, W, static_cast<int64_t>(std::nearbyint(y)), static_cast<int64_t>(std::nearbyint(x)));
        }
        const float fx = std::floor(x), fy = std::floor(y);
        const auto x0 = static_cast<int64_t>(fx), y0 = static_cast<int64_t>(fy);
        if (mode_ == Mode::Bilinear) {
            const float dx = x - fx, dy = y - fy;
            return (1 - dy) * ((1 - dx) * pixel(plane, H, W, y0, x0) + dx * pixel(plane, H, W, y0, x0 + 1)) +
                   dy * ((1 - dx) * pixel(plane, H, W, y0 + 1, x0) + dx * pixel(plane, H, W, y0 + 1, x0 + 1));
        }
        float wx[4], wy[4];
        cubicWeights(x - fx, wx);
        cubicWeights(y - fy, wy);
        float acc = 0;
        for (int64_t i = 0; i < 4; ++i) {
            float row = 0;
            for (int64_t j = 0; j < 4; ++j) row += wx[j] * pixel(plane, H, W, y0 - 1 + i, x0 - 1 + j);
            acc += wy[i] * row;
        }
        return acc;
    }

    Mode mode_ = Mode::Bilinear;
    Padding pad_ = Padding::Zeros;
    bool alignCorners_ = false;
};

}  // namespace

void registerGridSampleKernels() {
    registerKernel("GridSample", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<GridSampleKernel>(n); });
}

}  // namespace vexart
