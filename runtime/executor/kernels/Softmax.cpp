// Softmax and LogSoftmax: the input is seen as [outer, axis, inner]
// (before opset 13, as [outer, rest] flattened at the axis). Over the last
// axis each row is one contiguous run (kernels/SoftmaxRows.h); over
// another, whole inner rows at a time.
#include <onnx/onnx_pb.h>

#include <cmath>
#include <vector>

#include "core/Threads.h"
#include "kernels/Fallbacks.h"
#include "kernels/SoftmaxRows.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

class SoftmaxKernel : public Kernel {
public:
    SoftmaxKernel(const onnx::NodeProto& n, int64_t opset, bool log)
        : axis_(Attrs(n).i("axis", opset >= 13 ? -1 : 1)),
          flatten_(opset < 13),
          log_(log),
          reference_(referenceSoftmax(n, opset, log)) {}

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const auto r = static_cast<int64_t>(x.rank());
        const int64_t axis = axis_ < 0 ? axis_ + r : axis_;
        if (x.type() != DType::Float || r == 0 || axis < 0 || axis >= r || x.size() == 0) {
            reference_->run(ctx);
            return;
        }
        int64_t outer = 1, dim = 1, inner = 1;
        for (int64_t i = 0; i < r; ++i) {
            const int64_t d = x.dim(static_cast<size_t>(i));
            (i < axis ? outer : i == axis || flatten_ ? dim : inner) *= d;
        }
        Tensor& y = ctx.out(0, DType::Float, x.shape());
        if (ctx.dryRun()) return ctx.zeroOutputs();
        if (inner > 1) {
            // Over a non-last axis whole rows of the inner axes vectorise.
            acrossRows(x.data<float>(), y.data<float>(), outer, dim, inner);
        } else {
            softmaxRows(x.data<float>(), y.data<float>(), outer, dim, log_);
        }
    }

private:
    // y[o][a][i] over a: the maximum, then exp(x - max) and its sum, per inner i.
    void acrossRows(const float* x, float* y, int64_t outer, int64_t dim, int64_t inner) {
        if (dim == 0) return;
        parallelFor(outer, outer * dim * inner, [&](int64_t o) {
            thread_local std::vector<float> top, sum;
            top.assign(static_cast<size_t>(inner), 0.0f);
            sum.assign(static_cast<size_t>(inner), 0.0f);
            const float* src = x + o * dim * inner;
            float* dst = y + o * dim * inner;
            std::copy(src, src + inner, top.begin());
            for (int64_t a = 1; a < dim; ++a) {
                const float* row = src + a * inner;
                for (int64_t i = 0; i < inner; ++i) top[i] = row[i] > top[i] ? row[i] : top[i];
            }
            for (int64_t a = 0; a < dim; ++a) {
                const float* row = src + a * inner;
                float* out = dst + a * inner;
                for (int64_t i = 0; i < inner; ++i) {
                    out[i] = std::exp(row[i] - top[i]);
                    sum[i] += out[i];
                }
            }
            for (int64_t i = 0; i < inner; ++i) sum[i] = log_ ? std::log(sum[i]) : 1.0f / sum[i];
            for (int64_t a = 0; a < dim; ++a) {
                const float* row = src + a * inner;
                float* out = dst + a * inner;
                for (int64_t i = 0; i < inner; ++i) out[i] = log_ ? row[i] - top[i] - sum[i] : out[i] * sum[i];
            }
        });
    }

    int64_t axis_;
    bool flatten_, log_;
    std::unique_ptr<Kernel> reference_;
};

}  // namespace

void registerSoftmaxKernels() {
    registerKernel("Softmax", [](const onnx::NodeProto& n, int64_t opset) {
        return std::make_unique<SoftmaxKernel>(n, opset, false);
    }, OpTraits::computed());
    registerKernel("LogSoftmax", [](const onnx::NodeProto& n, int64_t opset) {
        return std::make_unique<SoftmaxKernel>(n, opset, true);
    });
}

}  // namespace vexart
