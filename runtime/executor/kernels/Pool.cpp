// Max and average pooling (windowed and global) of float tensors, and max
// pooling of 8-bit codes, over one to three spatial axes: rank-4 windows
// over channel blocks that keep their layout run the blocked loop, windows
// over plain rows of other ranks the plain one, global pools of plain
// planes reduce each plane, the rest runs on oneDNN; what none
// covers (other types, max-pooling indices, average pooling that counts a
// ceil-mode overhang as padding) goes to the reference kernels.
#include <onnx/onnx_pb.h>

#include <Eigen/Core>

#include "core/Threads.h"
#include "kernels/BlockedPool.h"
#include "kernels/CodesPool.h"
#include "kernels/Fallbacks.h"
#include "kernels/PlainPool.h"
#include "kernels/Window.h"
#include "onednn/Dnnl.h"
#include "onednn/Transient.h"

namespace vexart {
namespace {

using dnnl::memory;
namespace dn = onednn;

class PoolKernel : public Kernel {
public:
    PoolKernel(const onnx::NodeProto& n, bool isMax, bool global)
        : attrs_(Attrs(n)),
          isMax_(isMax),
          global_(global),
          countPad_(Attrs(n).i("count_include_pad", 0) != 0),
          reference_(referencePool(n, isMax, global)) {}

    LayoutUse layoutUse(const KernelContext& ctx) const override {
        if (averagesCodes(ctx)) return LayoutUse::Spatial;
        return covered(ctx) && ctx.in(0).logicalShape().size() == 4 ? LayoutUse::Spatial : LayoutUse::Plain;
    }
    std::string implementation() const override {
        if (!built_) return {};
        if (planes_) return "vexa:planes";
        if (plainRows_) return "vexa:plain";
        return direct_ ? "vexa:blocked" : pool_.implementation();
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (averagesCodes(ctx)) {
            Shape out(x.logicalShape().size(), 1);
            out[0] = x.logicalDim(0);
            out[1] = x.logicalDim(1);
            Tensor& y = ctx.out(0, DType::Float, out);
            y.setLayout(Layout::plain());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            built_ = false;  // for implementation(): the engine's own loop
            return averageCodes(x, *ctx.grid(0), y.data<float>());
        }
        // The primitive made for the last input serves this one: nothing
        // is derived again.
        const bool planned = built_ && x.shape() == builtX_ && x.layout() == builtIn_ &&
                             ctx.mayLeavePlain() == builtAllowed_ && x.type() == builtType_ &&
                             !(isMax_ && ctx.wantsOutput(1));
        if (!planned && !plan(ctx)) {
            runReference(ctx);
            return;
        }
        Tensor& y = ctx.out(0, x.type(), outShape_);
        y.setLayout(builtOut_);
        if (y.size() == 0 || x.size() == 0 || ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        if (direct_) {
            blockedPool(x.data<float>(), y.data<float>(), directShape_);
            return;
        }
        if (planes_) {
            poolPlanes(x.data<float>(), y.data<float>(), y.size(), x.size() / y.size());
            return;
        }
        if (plainRows_) {
            plainPool(x.data<float>(), y.data<float>(), x.dim(0) * x.dim(1), window_, isMax_, countPad_);
            return;
        }
        try {
            auto& s = dn::threadStream();
            src_.set_data_handle(const_cast<void*>(x.raw()));
            dst_.set_data_handle(y.raw());
            if (convertIn_) dn::bindTransient(srcScratch_, dn::kSourceSlot);
            if (convertOut_) dn::bindTransient(dstScratch_, dn::kResultSlot);
            if (convertIn_) toPool_.run(s);
            pool_.run(s);
            if (convertOut_) toOutput_.run(s);
            s.wait();
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "pooling");
        }
    }

private:
    // Makes the primitive for this input; false when oneDNN does not cover it.
    bool plan(const KernelContext& ctx) {
        const Tensor& x = ctx.in(0);
        direct_ = planes_ = plainRows_ = false;
        Window w;
        if (!covered(ctx) || !window(x.logicalShape(), w)) return false;
        const Shape xs = x.logicalShape();
        const Shape ys = outputShape(xs, xs[1], w);
        // oneDNN pools in the input's layout, or channels-last for a plain
        // input (its plain-layout pooling is a slow generic loop).
        const Layout inLayout = x.layout();
        const Layout poolLayout = inLayout == Layout::plain() ? Layout::channelsLast() : inLayout;
        // One pixel per channel reads the same in every layout: keep it
        // plain. Only rank 4 leaves it.
        const Layout outLayout =
            ctx.mayLeavePlain() && xs.size() == 4 && !onePixel(ys) ? poolLayout : Layout::plain();
        outShape_ = physicalShape(ys, outLayout);
        builtOut_ = outLayout;
        builtType_ = x.type();
        built_ = false;
        if (elementCount(ys) == 0 || x.size() == 0) return true;
        // A global pool of a plain input reduces each contiguous plane
        // where it lies; oneDNN would first reorder the input.
        planes_ = global_ && inLayout == Layout::plain() && x.type() == DType::Float;
        // Windows over channel blocks that stay in their layout pool
        // directly, and so do windows over plain rows of one or three
        // spatial axes (rank 4 is converted to channels-last, where
        // oneDNN pools small windows faster than rows a few values long).
        direct_ = !global_ && inLayout != Layout::plain() && outLayout == inLayout && x.type() == DType::Float;
        plainRows_ = !global_ && inLayout == Layout::plain() && xs.size() != 4 && x.type() == DType::Float;
        window_ = w;
        if (direct_) {
            const Shape px = x.shape();  // physical: [N, C/b, H, W, b]
            directShape_ = BlockedPoolShape{};
            directShape_.outer = inLayout == Layout::channelsLast() ? xs[0] : px[0] * px[1];
            directShape_.block = inLayout == Layout::channelsLast() ? xs[1] : px[4];
            directShape_.ih = w.in[1];
            directShape_.iw = w.in[2];
            directShape_.oh = ys[2];
            directShape_.ow = ys[3];
            directShape_.kh = w.k[1];
            directShape_.kw = w.k[2];
            directShape_.sh = w.stride[1];
            directShape_.sw = w.stride[2];
            directShape_.dh = w.dil[1];
            directShape_.dw = w.dil[2];
            directShape_.padTop = w.padBegin[1];
            directShape_.padLeft = w.padBegin[2];
            directShape_.isMax = isMax_;
            directShape_.countPad = countPad_;
        } else if (!planes_ && !plainRows_) {
            try {
                build(xs, ys, w, inLayout, poolLayout, outLayout, x.type());
            } catch (const dnnl::error& e) {
                dn::rethrow(e, "pooling");
            }
        }
        builtIn_ = inLayout;
        builtX_ = x.shape();
        builtAllowed_ = ctx.mayLeavePlain();
        built_ = true;
        return true;
    }

    // A global average of codes read in place of their dequantization.
    bool averagesCodes(const KernelContext& ctx) const {
        const Tensor& x = ctx.in(0);
        return global_ && !isMax_ && ctx.grid(0) != nullptr && ctx.grid(0)->perTensor() &&
               (x.type() == DType::UInt8 || x.type() == DType::Int8) && x.logicalShape().size() >= 3 &&
               !x.layout().isForeign();
    }
    bool covered(const KernelContext& ctx) const {
        const Tensor& x = ctx.in(0);
        // The largest code is the code of the largest value: codes pool as they are.
        const bool codes = isMax_ && (x.type() == DType::UInt8 || x.type() == DType::Int8);
        const size_t rank = x.logicalShape().size();
        return (x.type() == DType::Float || codes) && rank >= 3 && rank <= 5 && !(isMax_ && ctx.wantsOutput(1));
    }

    static bool onePixel(const Shape& s) { return elementCount(s) == s[0] * s[1]; }

    // oneDNN's geometry, or false where its padding would count differently.
    bool window(const Shape& xs, Window& w) const {
        if (global_) {
            w.spatial = xs.size() - 2;
            for (size_t i = 0; i < w.spatial; ++i) {
                const size_t j = 3 - w.spatial + i;
                w.in[j] = w.k[j] = xs[i + 2];
                if (xs[i + 2] <= 0) return false;
            }
            return true;
        }
        w = attrs_.resolvePool(xs);
        for (size_t i = 3 - w.spatial; i < 3; ++i) {
            // A ceil-mode overhang past the declared padding.
            const int64_t eff = (w.k[i] - 1) * w.dil[i] + 1;
            const int64_t need = (w.out[i] - 1) * w.stride[i] + eff - w.in[i] - w.padBegin[i];
            if (need > w.padEnd[i]) {
                if (!isMax_ && countPad_) return false;
                w.padEnd[i] = need;
            }
        }
        return true;
    }

    void build(const Shape& xs, const Shape& ys, const Window& w, Layout inLayout, Layout poolLayout, Layout outLayout,
               DType type) {
        auto& eng = dn::cpuEngine();
        const memory::desc src = dn::layoutDesc(xs, poolLayout, type);
        const memory::desc dst = dn::layoutDesc(ys, poolLayout, type);
        const auto alg = isMax_ ? dnnl::algorithm::pooling_max
                         : countPad_ ? dnnl::algorithm::pooling_avg_include_padding
                                     : dnnl::algorithm::pooling_avg_exclude_padding;
        memory::dims strides, kernel, dilation, padBegin, padEnd;
        for (size_t j = 3 - w.spatial; j < 3; ++j) {
            strides.push_back(w.stride[j]);
            kernel.push_back(w.k[j]);
            dilation.push_back(w.dil[j] - 1);
            padBegin.push_back(w.padBegin[j]);
            padEnd.push_back(w.padEnd[j]);
        }
        dnnl::pooling_v2_forward::desc d(dnnl::prop_kind::forward_inference, alg, src, dst, strides, kernel, dilation,
                                         padBegin, padEnd);
        src_ = memory(dn::layoutDesc(xs, inLayout, type), eng, nullptr);
        convertIn_ = inLayout != poolLayout;
        if (convertIn_) {
            srcScratch_ = memory(src, eng, nullptr);
            toPool_ = dn::Call(dnnl::reorder(src_, srcScratch_), {{DNNL_ARG_FROM, src_}, {DNNL_ARG_TO, srcScratch_}});
        }
        // A single pixel per channel is the same bytes in every layout.
        convertOut_ = outLayout != poolLayout && !onePixel(ys);
        dst_ = memory(convertOut_ ? dn::layoutDesc(ys, outLayout, type) : dst, eng, nullptr);
        if (convertOut_) {
            dstScratch_ = memory(dst, eng, nullptr);
            toOutput_ = dn::Call(dnnl::reorder(dstScratch_, dst_), {{DNNL_ARG_FROM, dstScratch_}, {DNNL_ARG_TO, dst_}});
        }
        pool_ = dn::Call(dnnl::pooling_v2_forward(dnnl::pooling_v2_forward::primitive_desc(d, eng)),
                         {{DNNL_ARG_SRC, convertIn_ ? srcScratch_ : src_}, {DNNL_ARG_DST, convertOut_ ? dstScratch_ : dst_}});
    }

    // The maximum or mean of each of `count` planes of `size` values.
    void poolPlanes(const float* x, float* y, int64_t count, int64_t size) const {
        const bool isMax = isMax_;
        parallelFor(count, count * size, [=](int64_t i) {
            const Eigen::Map<const Eigen::ArrayXf> plane(x + i * size, size);
            y[i] = isMax ? plane.maxCoeff() : plane.mean();
        });
    }

    void runReference(KernelContext& ctx) {
        if (ctx.in(0).isPlain()) {
            reference_->run(ctx);
            return;
        }
        toPlain_.run(ctx.in(0), plain_, Layout::plain());
        const Tensor* original = ctx.inputs()[0];
        ctx.setInput(0, &plain_);
        reference_->run(ctx);
        ctx.setInput(0, original);
        for (Tensor* out : ctx.outputs()) {
            if (out != nullptr) out->setLayout(Layout::plain());
        }
    }

    WindowAttrs attrs_;
    bool isMax_, global_, countPad_;
    std::unique_ptr<Kernel> reference_;
    Tensor plain_;
    dn::LayoutConversion toPlain_;

    bool built_ = false, convertIn_ = false, convertOut_ = false, direct_ = false, planes_ = false, plainRows_ = false;
    Window window_;
    BlockedPoolShape directShape_;
    Layout builtIn_, builtOut_;
    DType builtType_ = DType::Float;
    Shape builtX_, outShape_;  // the input the primitive was made for, and its output
    bool builtAllowed_ = false;
    dn::Call pool_, toPool_, toOutput_;
    memory src_, dst_, srcScratch_, dstScratch_;
};

}  // namespace

void registerPoolKernels() {
    const std::pair<const char*, std::pair<bool, bool>> kinds[] = {{"MaxPool", {true, false}},
                                                                   {"AveragePool", {false, false}},
                                                                   {"GlobalMaxPool", {true, true}},
                                                                   {"GlobalAveragePool", {false, true}}};
    for (const auto& [name, kind] : kinds) {
        const bool isMax = kind.first, global = kind.second;
        // A maximum is one of its inputs' values; an average is computed.
        OpTraits traits;
        traits.keepsGrid = isMax;
        traits.computesFloat = !isMax;
        // A global average sums the codes and dequantizes once.
        traits.takesCodes = !isMax && global;
        registerKernel(name, [isMax, global](const onnx::NodeProto& n, int64_t) {
            return std::make_unique<PoolKernel>(n, isMax, global);
        }, traits);
    }
}

}  // namespace vexart
