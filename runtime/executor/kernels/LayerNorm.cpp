// LayerNormalization: each row of the normalised extent is read twice
// (statistics in double, then the affine write), rows in parallel. It also
// runs the decomposed form that exporters write (see passes/LayerNormFusion).
#include <onnx/onnx_pb.h>

#include <cmath>

#include "core/Threads.h"
#include "kernels/Fallbacks.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

// The sum of f(v) over a row, in double, over 16 independent lanes: one
// running sum waits out each add's latency (64 rows of 256 took 31 us,
// twice ONNX Runtime's time for the norm with its residual add).
template <typename F>
double rowSum(const float* row, int64_t n, F f) {
    double lanes[16] = {};
    int64_t s = 0;
    for (; s + 16 <= n; s += 16) {
        for (int l = 0; l < 16; ++l) lanes[l] += f(row[s + l]);
    }
    double sum = 0;
    for (; s < n; ++s) sum += f(row[s]);
    for (const double l : lanes) sum += l;
    return sum;
}

class LayerNormKernel : public Kernel {
public:
    LayerNormKernel(float epsilon, int64_t axis) : epsilon_(epsilon), axis_(axis) {}

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        requireFloat(x, "LayerNormalization input");
        const auto r = static_cast<int64_t>(x.rank());
        const int64_t axis = axis_ < 0 ? axis_ + r : axis_;
        if (axis < 0 || axis >= r) throw ExecError("LayerNormalization axis out of range");
        int64_t outer = 1;
        for (int64_t i = 0; i < axis; ++i) outer *= x.dim(static_cast<size_t>(i));
        const int64_t S = outer == 0 ? 0 : x.size() / outer;
        Tensor& y = ctx.out(0, DType::Float, x.shape());
        float* meanOut = nullptr;
        float* invOut = nullptr;
        if (ctx.wantsOutput(1) || ctx.wantsOutput(2)) {
            Shape statShape = x.shape();
            for (auto i = static_cast<size_t>(axis); i < statShape.size(); ++i) statShape[i] = 1;
            if (ctx.wantsOutput(1)) meanOut = ctx.out(1, DType::Float, statShape).data<float>();
            if (ctx.wantsOutput(2)) invOut = ctx.out(2, DType::Float, statShape).data<float>();
        }
        const Tensor& scale = ctx.in(1);
        const Tensor* bias = ctx.has(2) ? &ctx.in(2) : nullptr;
        requireFloat(scale, "LayerNormalization scale");
        if (bias != nullptr) requireFloat(*bias, "LayerNormalization bias");
        // Scale and bias repeat over the normalised extent.
        for (const Tensor* t : {&scale, bias}) {
            if (t != nullptr && S != 0 && (t->size() == 0 || S % t->size() != 0)) {
                throw ExecError("LayerNormalization scale or bias does not fit the normalised shape");
            }
        }
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        const float* sc = scale.data<float>();
        const float* b = bias != nullptr ? bias->data<float>() : nullptr;
        const int64_t scN = scale.size(), bN = bias != nullptr ? bias->size() : 1;
        const float* src = x.data<float>();
        float* dst = y.data<float>();
        const double eps = epsilon_;
        parallelFor(outer, outer * S, [&](int64_t o) {
            const float* row = src + o * S;
            float* out = dst + o * S;
            const double mean = rowSum(row, S, [](float v) { return static_cast<double>(v); }) / static_cast<double>(S);
            const double sq = rowSum(row, S, [mean](float v) { return (v - mean) * (v - mean); });
            const double inv = 1.0 / std::sqrt(sq / static_cast<double>(S) + eps);
            const auto m = static_cast<float>(mean), iv = static_cast<float>(inv);
            if (scN == S && (b == nullptr || bN == S)) {
                for (int64_t s = 0; s < S; ++s) out[s] = (row[s] - m) * iv * sc[s] + (b != nullptr ? b[s] : 0.0f);
            } else {
                for (int64_t s = 0; s < S; ++s) {
                    out[s] = (row[s] - m) * iv * sc[s % scN] + (b != nullptr ? b[s % bN] : 0.0f);
                }
            }
            if (meanOut != nullptr) meanOut[o] = m;
            if (invOut != nullptr) invOut[o] = iv;
        });
    }

private:
    float epsilon_;
    int64_t axis_;
};

}  // namespace

std::unique_ptr<Kernel> makeLayerNorm(float epsilon) { return std::make_unique<LayerNormKernel>(epsilon, -1); }

void registerLayerNormKernels() {
    registerKernel("LayerNormalization", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        return std::make_unique<LayerNormKernel>(a.f("epsilon", 1e-5f), a.i("axis", -1));
    }, OpTraits::computed());
}

}  // namespace vexart
