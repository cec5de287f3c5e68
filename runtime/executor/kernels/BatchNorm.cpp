// Inference-mode BatchNormalization as a per-channel affine map in either
// layout, with the element-wise work fused after it applied row by row
// (DenseNet's BatchNormalization, ReLU pairs in one pass). A
// BatchNormalization after a convolution never gets here: it folds into
// the convolution's weights. Training mode runs the reference kernel.
#include <onnx/onnx_pb.h>

#include <cmath>

#include "core/Threads.h"
#include "kernels/Fallbacks.h"
#include "onednn/Dnnl.h"
#include "kernels/PostChain.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

class BatchNormKernel : public Kernel {
public:
    explicit BatchNormKernel(const onnx::NodeProto& n)
        : epsilon_(Attrs(n).f("epsilon", 1e-5f)),
          training_(Attrs(n).i("training_mode", 0) != 0),
          reference_(referenceBatchNorm(n)) {}

    LayoutUse layoutUse(const KernelContext& ctx) const override {
        return covered(ctx) ? LayoutUse::Spatial : LayoutUse::Plain;
    }
    Layout outputLayout(KernelContext& ctx) override { return ctx.mayLeavePlain() ? ctx.in(0).layout() : Layout::plain(); }
    bool fusable() const override { return true; }
    void setFusion(Fusion f) override { fusion_ = std::move(f); }
    bool inferShapes(const KernelContext& ctx, std::vector<Shape>& out) const override {
        if (!covered(ctx)) return false;
        out = {ctx.in(0).logicalShape()};
        return true;
    }

    void run(KernelContext& ctx) override {
        if (!covered(ctx)) {
            if (!fusion_.empty()) throw ExecError("fused work on a normalisation that cannot take it");
            reference_->run(ctx);
            return;
        }
        const Tensor& x = ctx.in(0);
        const int64_t C = x.logicalDim(1);
        affine(ctx, C);
        const Layout layout = x.layout();
        const bool keep = layout == Layout::plain() || ctx.mayLeavePlain();
        Tensor& y = ctx.out(0, DType::Float, keep ? x.shape() : x.logicalShape());
        y.setLayout(keep ? layout : Layout::plain());
        Tensor& dst = keep ? y : scratch_;
        if (!keep) {
            scratch_.reset(DType::Float, x.shape());
            scratch_.setLayout(layout);
        }
        fusion_.checkAddends(dst);
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        const float* src = x.data<float>();
        float* out = dst.data<float>();
        const float* a = scale_.data();
        const float* b = shift_.data();
        if (layout != Layout::plain()) {
            // Rows of `block` channels: all of them channels-last, `layout` of them blocked.
            const int64_t block = layout.isChannelsLast() ? C : layout.block();
            const int64_t pixels = x.logicalDim(2) * x.logicalDim(3), rows = block == 0 ? 0 : x.size() / block;
            parallelFor(rows, x.size(), [&](int64_t r) {
                const int64_t c0 = layout == Layout::channelsLast() ? 0 : (r / pixels) % (C / block) * block;
                const float* row = src + r * block;
                float* o = out + r * block;
                for (int64_t c = 0; c < block; ++c) o[c] = row[c] * a[c0 + c] + b[c0 + c];
                applyPosts(fusion_, o, block, r * block, c0, true);
            });
        } else {
            const int64_t planes = x.dim(0) * C, S = planes == 0 ? 0 : x.size() / planes;
            parallelFor(planes, x.size(), [&](int64_t p) {
                const int64_t c = p % C;
                const float* row = src + p * S;
                float* o = out + p * S;
                for (int64_t s = 0; s < S; ++s) o[s] = row[s] * a[c] + b[c];
                applyPosts(fusion_, o, S, p * S, c, false);
            });
        }
        if (!keep) toPlain_.run(scratch_, y, Layout::plain());
    }

private:
    bool covered(const KernelContext& ctx) const {
        if (training_ || ctx.inputCount() != 5 || ctx.outputCount() > 1) return false;
        const Tensor& x = ctx.in(0);
        if (x.type() != DType::Float || x.rank() < 2) return false;
        const int64_t C = x.logicalDim(1);
        for (size_t i = 1; i < 5; ++i) {
            if (!ctx.has(i) || ctx.in(i).type() != DType::Float || ctx.in(i).size() != C) return false;
        }
        return true;
    }

    // y = x * scale + shift per channel; constant parameters are read once.
    void affine(const KernelContext& ctx, int64_t C) {
        bool constant = true;
        for (size_t i = 1; i < 5; ++i) constant = constant && ctx.isConstant(i);
        if (constant && static_cast<int64_t>(scale_.size()) == C && ready_) return;
        scale_.resize(static_cast<size_t>(C));
        shift_.resize(static_cast<size_t>(C));
        const float* g = ctx.in(1).data<float>();
        const float* beta = ctx.in(2).data<float>();
        const float* mean = ctx.in(3).data<float>();
        const float* var = ctx.in(4).data<float>();
        for (int64_t c = 0; c < C; ++c) {
            const float s = g[c] / std::sqrt(var[c] + epsilon_);
            scale_[static_cast<size_t>(c)] = s;
            shift_[static_cast<size_t>(c)] = beta[c] - mean[c] * s;
        }
        ready_ = constant;
    }

    float epsilon_;
    bool training_;
    std::unique_ptr<Kernel> reference_;
    Fusion fusion_;
    std::vector<float> scale_, shift_;
    bool ready_ = false;
    Tensor scratch_;
    onednn::LayoutConversion toPlain_;
};

}  // namespace

void registerBatchNormKernels() {
    registerKernel("BatchNormalization",
                   [](const onnx::NodeProto& n, int64_t) { return std::make_unique<BatchNormKernel>(n); }, OpTraits::computed());
}

}  // namespace vexart
