// Convolution on oneDNN. The primitive, its layouts and the reordered
// weights are made on the first run for a shape (at build time) and
// reused by every execution. oneDNN works channels-last here: its
// direct and depthwise kernels read it natively; a plain input is
// reordered on the way in, a plain output on the way out.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <unordered_map>

#include "../onednn/Dnnl.h"
#include "../onednn/PostOps.h"
#include "Window.h"

namespace vexart {
namespace {

using dnnl::memory;
namespace dn = onednn;

class ConvKernel : public Kernel {
public:
    explicit ConvKernel(const onnx::NodeProto& n) : attrs_(Attrs(n)), group_(Attrs(n).i("group", 1)) {}

    LayoutUse layoutUse(const KernelContext&) const override { return LayoutUse::Spatial; }
    bool fusable() const override { return true; }
    bool foldsNormalization() const override { return true; }
    void setFusion(Fusion f) override {
        // A constant per-channel add right after the convolution joins the bias.
        const Tensor* addend = nullptr;
        if (!f.post.empty() && f.post[0].isAdd && f.post[0].perChannel) {
            addend = f.post[0].addend;
            f.post.erase(f.post.begin());
        }
        // Weights already reordered with this scale stay valid.
        if (f.scale != fusion_.scale || f.shift != fusion_.shift || addend != biasAddend_) weightsReady_ = false;
        biasAddend_ = addend;
        fusion_ = std::move(f);
        built_ = false;
    }
    bool keepsCopyOf(size_t i) const override { return (i == 1 || i == 2) && weightsReady_ && weightsConst_; }

    bool inferShapes(const KernelContext& ctx, std::vector<Shape>& out) const override {
        if (!ctx.has(0) || !ctx.has(1)) return false;
        const Shape xs = ctx.in(0).logicalShape();
        const Tensor& wt = ctx.in(1);
        if (xs.size() < 3 || xs.size() > 5 || wt.rank() != xs.size()) return false;
        std::vector<int64_t> kshape = attrs_.kernel;
        if (kshape.empty()) kshape.assign(wt.shape().begin() + 2, wt.shape().end());
        try {
            out = {outputShape(xs, wt.dim(0), attrs_.resolve(xs, kshape))};
        } catch (const ExecError&) {
            return false;  // run() reports it
        }
        return true;
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const Tensor& wt = ctx.in(1);
        requireFloat(x, "Conv input");
        requireFloat(wt, "Conv weight");
        const Shape xs = x.logicalShape();
        if (xs.size() < 3 || xs.size() > 5) throw ExecError("spatial input must have rank 3 to 5");
        if (wt.rank() != xs.size()) {
            throw ExecError("weight shape " + shapeText(wt.shape()) + " does not fit input " + shapeText(xs));
        }
        std::vector<int64_t> kshape = attrs_.kernel;
        if (kshape.empty()) kshape.assign(wt.shape().begin() + 2, wt.shape().end());
        const Window w = attrs_.resolve(xs, kshape);
        const int64_t C = xs[1], M = wt.dim(0), G = group_;
        if (G <= 0 || C % G != 0 || M % G != 0 || wt.dim(1) != C / G ||
            !std::equal(kshape.begin(), kshape.end(), wt.shape().begin() + 2)) {
            throw ExecError("weight shape " + shapeText(wt.shape()) + " does not fit input " + shapeText(xs));
        }
        if (ctx.has(2) && ctx.in(2).size() != M) throw ExecError("Conv bias must have one value per output channel");
        if (!fusion_.scale.empty() && static_cast<int64_t>(fusion_.scale.size()) != M) {
            throw ExecError("folded normalisation does not match the output channels");
        }
        const Shape ys = outputShape(xs, M, w);
        const bool clOut = ctx.channelsLastOut && ys.size() == 4;
        Tensor& y = ctx.out(0, DType::Float, clOut ? Shape{ys[0], ys[2], ys[3], ys[1]} : ys);
        y.setChannelsLast(clOut);
        if (y.size() == 0) return;
        if (x.size() == 0) throw ExecError("Conv input " + shapeText(xs) + " is empty");

        try {
            const bool clIn = x.channelsLast();
            const bool weightsConst = ctx.isConstant(1) && (!ctx.has(2) || ctx.isConstant(2));
            if (weightsConst != weightsConst_) weightsReady_ = false;
            weightsConst_ = weightsConst;
            if (!built_ || xs != builtShape_ || clIn != builtClIn_ || clOut != builtClOut_ ||
                (!weightsConst_ && wt.raw() != builtWeights_)) {
                build(xs, ys, w, wt, clIn, clOut);
            }
            if (!weightsReady_ || !weightsConst_) {
                // Constant weights are read once; the graph may then free them.
                if (wt.raw() == nullptr) throw ExecError("weights were released");
                prepareWeights(wt, ctx.has(2) ? &ctx.in(2) : nullptr, M);
                weightsReady_ = true;
            }
            for (const auto& p : fusion_.post) {
                if (p.isAdd && !p.perChannel && (p.addend->shape() != y.shape() || p.addend->channelsLast() != clOut)) {
                    throw ExecError("fused operand " + shapeText(p.addend->shape()) + " no longer matches the output");
                }
            }
            if (ctx.dryRun) {
                ctx.zeroOutputs();
                return;
            }
            run(x, y, clIn, clOut);
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "Conv");
        }
    }

private:
    // oneDNN dims: rank 3 runs as 2-D with a unit height.
    static memory::dims spatialDims(const Shape& s, const Window& w, int64_t n, int64_t c) {
        if (s.size() == 5) return {n, c, w.in[0], w.in[1], w.in[2]};
        return {n, c, w.in[1], w.in[2]};
    }

    void build(const Shape& xs, const Shape& ys, const Window& w, const Tensor& wt, bool clIn, bool clOut) {
        const int64_t N = xs[0], C = xs[1], M = ys[1], G = group_;
        const bool threeD = xs.size() == 5;
        const auto cl = threeD ? memory::format_tag::ndhwc : memory::format_tag::nhwc;
        const auto plain = threeD ? memory::format_tag::ncdhw : memory::format_tag::nchw;
        const memory::dims src = spatialDims(xs, w, N, C);
        Window ow = w;
        std::copy(w.out, w.out + 3, ow.in);
        const memory::dims dst = spatialDims(ys, ow, N, M);
        memory::dims wdims;
        if (G > 1) wdims.push_back(G);
        wdims.push_back(M / G);
        wdims.push_back(C / G);
        const size_t first = threeD ? 0 : 1;
        memory::dims strides, dilates, padL, padR;
        for (size_t i = first; i < 3; ++i) {
            wdims.push_back(w.k[i]);
            strides.push_back(w.stride[i]);
            dilates.push_back(w.dil[i] - 1);
            padL.push_back(w.padBegin[i]);
            padR.push_back(w.padEnd[i]);
        }
        const auto f32 = memory::data_type::f32;
        srcDesc_ = memory::desc(src, f32, cl);
        dstDesc_ = memory::desc(dst, f32, cl);
        plainSrc_ = memory::desc(src, f32, plain);
        plainDst_ = memory::desc(dst, f32, plain);
        userWeights_ = memory::desc(wdims, f32, dn::plainTag(wdims.size()));
        const memory::desc anyWeights(wdims, f32, memory::format_tag::any);
        const memory::desc biasDesc({M}, f32, memory::format_tag::x);
        dnnl::convolution_forward::desc d(dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct,
                                          srcDesc_, anyWeights, biasDesc, dstDesc_, strides, dilates, padL, padR);
        dnnl::primitive_attr attr;
        memory::dims channel(dst.size(), 1);
        channel[1] = M;
        const memory::desc perChannel(channel, f32, dn::plainTag(channel.size()));
        attr.set_post_ops(dn::postOpsOf(fusion_, dstDesc_, perChannel));
        pd_ = dnnl::convolution_forward::primitive_desc(d, attr, dn::cpuEngine());
        conv_ = dnnl::convolution_forward(pd_);
        // Constant weights prepared for another shape move to this one's layout.
        if (weightsReady_ && weightsConst_ && weights_.get_desc() != pd_.weights_desc()) {
            memory moved(pd_.weights_desc(), dn::cpuEngine());
            dnnl::reorder(weights_, moved).execute(dn::threadStream(), weights_, moved);
            dn::threadStream().wait();
            weights_ = moved;
        } else if (!weightsReady_ || !weightsConst_) {
            weights_ = memory(pd_.weights_desc(), dn::cpuEngine());
        }
        if (bias_.size() != static_cast<size_t>(M)) {
            bias_.assign(static_cast<size_t>(M), 0.0f);
            weightsReady_ = false;
        }
        srcScratch_ = clIn ? memory() : memory(srcDesc_, dn::cpuEngine());
        dstScratch_ = clOut ? memory() : memory(dstDesc_, dn::cpuEngine());
        auto& eng = dn::cpuEngine();
        if (!clIn) toChannelsLast_ = dnnl::reorder(dnnl::reorder::primitive_desc(eng, plainSrc_, eng, srcDesc_));
        if (!clOut) toPlain_ = dnnl::reorder(dnnl::reorder::primitive_desc(eng, dstDesc_, eng, plainDst_));
        // Arguments are bound once; each run only points them at its tensors.
        srcUser_ = memory(clIn ? srcDesc_ : plainSrc_, eng, nullptr);
        dstUser_ = memory(clOut ? dstDesc_ : plainDst_, eng, nullptr);
        args_ = {{DNNL_ARG_SRC, clIn ? srcUser_ : srcScratch_},
                 {DNNL_ARG_WEIGHTS, weights_},
                 {DNNL_ARG_BIAS, memory(pd_.bias_desc(), eng, bias_.data())},
                 {DNNL_ARG_DST, clOut ? dstUser_ : dstScratch_}};
        addends_.clear();
        int index = 0;
        for (const auto& p : fusion_.post) {
            if (p.isAdd) {
                addends_.emplace_back(p.perChannel ? perChannel : dstDesc_, eng, nullptr);
                args_.emplace(DNNL_ARG_ATTR_MULTIPLE_POST_OP(index) | DNNL_ARG_SRC_1, addends_.back());
            }
            index += dn::postOpCount(p);
        }
        builtShape_ = xs;
        builtClIn_ = clIn;
        builtClOut_ = clOut;
        builtWeights_ = wt.raw();
        built_ = true;
    }

    // Reorders the weights into the primitive's layout, folding a
    // normalisation's scale into them and its shift into the bias.
    void prepareWeights(const Tensor& wt, const Tensor* bias, int64_t M) {
        const float* src = wt.data<float>();
        if (!fusion_.scale.empty()) {
            const int64_t per = wt.size() / M;
            scaled_.resize(static_cast<size_t>(wt.size()));
            for (int64_t m = 0; m < M; ++m) {
                for (int64_t k = 0; k < per; ++k) scaled_[m * per + k] = src[m * per + k] * fusion_.scale[m];
            }
            src = scaled_.data();
        }
        auto user = dn::wrap(userWeights_, src);
        dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
        for (int64_t m = 0; m < M; ++m) {
            float b = bias != nullptr ? bias->data<float>()[m] : 0.0f;
            if (!fusion_.scale.empty()) b = b * fusion_.scale[m] + fusion_.shift[m];
            if (biasAddend_ != nullptr) b += biasAddend_->data<float>()[m];
            bias_[static_cast<size_t>(m)] = b;
        }
        dn::threadStream().wait();
        scaled_.clear();
        scaled_.shrink_to_fit();
    }

    void run(const Tensor& x, Tensor& y, bool clIn, bool clOut) {
        auto& s = dn::threadStream();
        srcUser_.set_data_handle(const_cast<void*>(x.raw()));
        dstUser_.set_data_handle(y.raw());
        size_t k = 0;
        for (const auto& p : fusion_.post) {
            if (p.isAdd) addends_[k++].set_data_handle(const_cast<void*>(p.addend->raw()));
        }
        if (!clIn) toChannelsLast_.execute(s, srcUser_, srcScratch_);
        conv_.execute(s, args_);
        if (!clOut) toPlain_.execute(s, dstScratch_, dstUser_);
        s.wait();
    }

    WindowAttrs attrs_;
    int64_t group_;
    Fusion fusion_;
    const Tensor* biasAddend_ = nullptr;

    bool built_ = false, weightsReady_ = false, weightsConst_ = false;
    Shape builtShape_;
    bool builtClIn_ = false, builtClOut_ = false;
    const void* builtWeights_ = nullptr;
    memory::desc srcDesc_, dstDesc_, plainSrc_, plainDst_, userWeights_;
    dnnl::convolution_forward::primitive_desc pd_;
    dnnl::convolution_forward conv_;
    dnnl::reorder toChannelsLast_, toPlain_;
    memory weights_, srcScratch_, dstScratch_, srcUser_, dstUser_;
    std::vector<memory> addends_;
    std::unordered_map<int, memory> args_;
    std::vector<float> bias_, scaled_;
};

}  // namespace

void registerConvKernels() {
    registerKernel("Conv", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<ConvKernel>(n); });
}

}  // namespace vexart
