// ConvTranspose on oneDNN's deconvolution, 1-D to 3-D, grouped or not,
// plain layout in and out. Padding given by auto_pad or output_shape, and
// output padding beyond the end padding, stay on the reference kernel
// (kernels/Reference.cpp), which computes them as the operator defines.
#include <onnx/onnx_pb.h>

#include "core/Kernel.h"
#include "kernels/Fallbacks.h"
#include "kernels/Window.h"
#include "onednn/Dnnl.h"

namespace vexart {
namespace {

namespace dn = onednn;
using dnnl::memory;

class ConvTransposeKernel : public Kernel {
public:
    explicit ConvTransposeKernel(const onnx::NodeProto& n) : t_(Attrs(n)), reference_(referenceConvTranspose(n)) {}

    // The weights stay with the graph as well: a new input shape, or a
    // fall back to the reference kernel, reads them again.
    std::string implementation() const override { return onDnnl_ ? call_.implementation() : std::string(); }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const bool same = onDnnl_ && x.shape() == builtX_ && ctx.isConstant(1) && (!ctx.has(2) || ctx.isConstant(2));
        if (!same && !build(ctx)) {
            onDnnl_ = false;
            reference_->run(ctx);
            return;
        }
        Tensor& y = ctx.out(0, DType::Float, outShape_);
        if (y.size() == 0) return;
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        try {
            srcUser_.set_data_handle(const_cast<void*>(x.raw()));
            dstUser_.set_data_handle(y.raw());
            auto& s = dn::threadStream();
            if (reorderIn_) toSource_.run(s);
            call_.run(s);
            if (reorderOut_) toOutput_.run(s);
            s.wait();
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "ConvTranspose");
        }
    }

private:
    // The primitive for this input, its output shape and the weights in its
    // layout; false where the reference kernel is the one to run.
    bool build(const KernelContext& ctx) {
        const Tensor& x = ctx.in(0);
        const Tensor& wt = ctx.in(1);
        const size_t r = x.rank();
        if (x.type() != DType::Float || wt.type() != DType::Float || !x.isPlain() || r < 3 || r > 5 || !t_.outputShape.empty() ||
            (t_.window.autoPad != "NOTSET" && !t_.window.autoPad.empty() && t_.window.autoPad != "VALID") || wt.rank() != r ||
            wt.raw() == nullptr || x.size() == 0) {
            return false;
        }
        const size_t sp = r - 2;
        const int64_t C = x.dim(1), G = t_.group;
        std::vector<int64_t> k(wt.shape().begin() + 2, wt.shape().end());
        if (!t_.window.kernel.empty() && t_.window.kernel != k) return false;
        try {
            t_.window.check(sp, k);
        } catch (const ExecError&) {
            return false;  // the reference names what is wrong
        }
        if (G <= 0 || C % G != 0 || wt.dim(0) != C || (!t_.outputPadding.empty() && t_.outputPadding.size() != sp)) return false;
        const int64_t M = wt.dim(1) * G;
        memory::dims strides(sp), dilates(sp), padL(sp), padR(sp);
        Shape ys = {x.dim(0), M};
        for (size_t i = 0; i < sp; ++i) {
            strides[i] = t_.window.strides.empty() ? 1 : t_.window.strides[i];
            const int64_t d = t_.window.dilations.empty() ? 1 : t_.window.dilations[i];
            dilates[i] = d - 1;
            padL[i] = t_.window.pads.empty() || t_.window.autoPad == "VALID" ? 0 : t_.window.pads[i];
            const int64_t end = t_.window.pads.empty() || t_.window.autoPad == "VALID" ? 0 : t_.window.pads[i + sp];
            // Output padding adds rows at the end: less padding taken off there.
            padR[i] = end - (t_.outputPadding.empty() ? 0 : t_.outputPadding[i]);
            if (padR[i] < 0) return false;
            ys.push_back(strides[i] * (x.dim(i + 2) - 1) + (k[i] - 1) * d + 1 - padL[i] - padR[i]);
            if (ys.back() <= 0) return false;
        }
        try {
            auto& eng = dn::cpuEngine();
            const auto f32 = memory::data_type::f32;
            const memory::desc userSrc(dn::dimsOf(x.shape()), f32, dn::plainTag(r));
            const memory::desc userDst(dn::dimsOf(ys), f32, dn::plainTag(r));
            memory::dims wdims;
            memory::format_tag wtag;
            if (G == 1) {
                wdims = {M, C};
                wtag = r == 3 ? memory::format_tag::bac : r == 4 ? memory::format_tag::bacd : memory::format_tag::bacde;
            } else {
                wdims = {G, M / G, C / G};
                wtag = r == 3 ? memory::format_tag::acbd : r == 4 ? memory::format_tag::acbde : memory::format_tag::acbdef;
            }
            wdims.insert(wdims.end(), k.begin(), k.end());
            const memory::desc any(dn::dimsOf(x.shape()), f32, memory::format_tag::any);
            const memory::desc anyDst(dn::dimsOf(ys), f32, memory::format_tag::any);
            const memory::desc anyW(wdims, f32, memory::format_tag::any);
            const memory::desc bias({M}, f32, memory::format_tag::x);
            dnnl::deconvolution_forward::desc d(dnnl::prop_kind::forward_inference, dnnl::algorithm::deconvolution_direct,
                                                any, anyW, bias, anyDst, strides, dilates, padL, padR);
            const dnnl::deconvolution_forward::primitive_desc pd(d, eng);
            // oneDNN's reference deconvolution is slower than ours.
            if (std::string(pd.impl_info_str()).rfind("ref", 0) == 0) return false;
            weights_ = memory(pd.weights_desc(), eng);
            auto user = dn::wrap(memory::desc(wdims, f32, wtag), wt.raw());
            dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
            bias_.assign(static_cast<size_t>(M), 0.0f);
            if (ctx.has(2)) {
                const Tensor& b = ctx.in(2);
                if (b.type() != DType::Float || b.size() != M) return false;
                std::copy(b.data<float>(), b.data<float>() + M, bias_.begin());
            }
            dn::threadStream().wait();
            srcUser_ = memory(userSrc, eng, nullptr);
            dstUser_ = memory(userDst, eng, nullptr);
            reorderIn_ = pd.src_desc() != userSrc;
            reorderOut_ = pd.dst_desc() != userDst;
            memory src = srcUser_, dst = dstUser_;
            if (reorderIn_) {
                src = memory(pd.src_desc(), eng);
                toSource_ = dn::Call(dnnl::reorder(srcUser_, src), {{DNNL_ARG_FROM, srcUser_}, {DNNL_ARG_TO, src}});
            }
            if (reorderOut_) {
                dst = memory(pd.dst_desc(), eng);
                toOutput_ = dn::Call(dnnl::reorder(dst, dstUser_), {{DNNL_ARG_FROM, dst}, {DNNL_ARG_TO, dstUser_}});
            }
            call_ = dn::Call(dnnl::deconvolution_forward(pd), {{DNNL_ARG_SRC, src},
                                                               {DNNL_ARG_WEIGHTS, weights_},
                                                               {DNNL_ARG_BIAS, memory(pd.bias_desc(), eng, bias_.data())},
                                                               {DNNL_ARG_DST, dst}});
        } catch (const dnnl::error&) {
            return false;
        }
        builtX_ = x.shape();
        outShape_ = ys;
        onDnnl_ = true;
        return true;
    }

    TransposedWindowAttrs t_;
    std::unique_ptr<Kernel> reference_;

    bool onDnnl_ = false, reorderIn_ = false, reorderOut_ = false;
    Shape builtX_, outShape_;
    memory weights_, srcUser_, dstUser_;
    std::vector<float> bias_;
    dn::Call call_, toSource_, toOutput_;
};

}  // namespace

void registerConvTransposeKernels() {
    registerKernel("ConvTranspose",
                   [](const onnx::NodeProto& n, int64_t) { return std::make_unique<ConvTransposeKernel>(n); },
                   OpTraits::product(1));
}

}  // namespace vexart
