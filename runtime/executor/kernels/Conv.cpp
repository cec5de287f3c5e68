// Convolution on oneDNN. The primitive, its layouts and the reordered
// weights are made on the first run for a shape (at build time) and
// reused by every execution. oneDNN picks the layouts it runs fastest on
// (channel blocks on AVX2 and AVX-512); when the output may leave the
// plain layout it stays in the one picked, so consecutive convolutions
// pass blocked tensors on, and an input in another layout is reordered
// on the way in.
//
// When the input and the weights lie on quantization grids (they come out
// of dequantizations) the convolution runs on their codes: int8 products
// with exact int32 sums, one scale per output channel back to float, and
// the fused work after it as usual. The input may come as those codes
// (passes/CodesInput.h), and where a QuantizeLinear ends the fused chain
// the output is written as codes: integer layers then pass 8-bit tensors
// on, and nothing is quantized or dequantized between them. Without VNNI
// the AVX2 kernels pair products in saturating 16-bit sums: there the
// integer path takes only weights whose codes fit in 7 bits, and 8-bit
// ones run on floats.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "onednn/Dnnl.h"
#include "core/SharedBytes.h"
#include "core/Threads.h"
#include "kernels/Fallbacks.h"
#include "kernels/PlainDepthwise.h"
#include "kernels/PostChain.h"
#include "onednn/PostOps.h"
#include "onednn/Transient.h"
#include "kernels/WeightCodes.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

using dnnl::memory;
namespace dn = onednn;

// One convolution's shapes, in oneDNN's terms (rank 3 runs as 2-D with a unit height).
struct Geometry {
    Shape xs, ys;  // logical input and output
    memory::dims src, dst, weights, strides, dilates, padL, padR;
    int64_t channels = 0;  // output channels
    Window window;
};

// The codes the integer path runs on: the input's grid, and one weight
// scale per output channel (or one for all).
struct IntegerPlan {
    bool on = false;
    memory::data_type src = memory::data_type::u8;
    float srcScale = 1;
    int32_t srcZero = 0;
    std::vector<float> weightScales;
    bool operator==(const IntegerPlan& o) const {
        return on == o.on && src == o.src && srcScale == o.srcScale && srcZero == o.srcZero &&
               weightScales == o.weightScales;
    }
};

bool integerAllowed = true;

// Weights [M, ...]: one scale per output channel M, or one for all.
float weightCodes(const Tensor& wt, const std::vector<float>& scales, int8_t* codes) {
    const int64_t M = wt.dim(0);
    return vexart::weightCodes(wt.data<float>(), M, M == 0 ? 0 : wt.size() / M, scales, true, codes);
}

class ConvKernel : public Kernel {
public:
    explicit ConvKernel(const onnx::NodeProto& n) : attrs_(Attrs(n)), group_(Attrs(n).i("group", 1)) {}

    // Grouped volumes take plain tensors: their depthwise kind runs in the
    // engine's own loop on those (runsPlainDepthwise).
    LayoutUse layoutUse(const KernelContext& ctx) const override {
        return group_ != 1 && ctx.has(0) && ctx.in(0).logicalShape().size() == 5 ? LayoutUse::Plain : LayoutUse::Spatial;
    }
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
    bool writesCodes() const override { return true; }
    bool runsOnIntegers() const override { return integer_.on; }
    std::string implementation() const override {
        if (!built_) return {};
        if (plainDepthwise_) return "vexa:plain";
        // Posts the engine applies after oneDNN's kernel are named after it.
        return call_.implementation() + (tail_.post.empty() ? "" : "+vexa:posts");
    }
    bool keepsCopyOf(size_t i) const override { return (i == 1 || i == 2) && weightsReady_ && weightsConst_; }

    bool inferShapes(const KernelContext& ctx, std::vector<Shape>& out) const override {
        Geometry g;
        if (!geometry(ctx, g, false)) return false;
        out = {g.ys};
        return true;
    }

    Layout outputLayout(KernelContext& ctx) override {
        Geometry g;
        return geometry(ctx, g, false) ? layoutFor(ctx, g) : Layout::plain();
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (!planned(ctx)) plan(ctx);
        Tensor& y = ctx.out(0, fusion_.codes.on ? fusion_.codes.type : DType::Float, outShape_);
        y.setLayout(outLayout_);
        if (y.size() == 0) return;
        fusion_.checkAddends(y);
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        try {
            execute(x, y);
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "Conv");
        }
    }

private:
    IntegerPlan integerPlan(const KernelContext& ctx, const Geometry& g) const {
        IntegerPlan p;
        const QuantGrid* in = ctx.grid(0);
        const QuantGrid* w = ctx.grid(1);
        if (!integerAllowed || integerRefused_ || g.xs.size() != 4 || !fusion_.scale.empty() ||
            in == nullptr || w == nullptr || !in->perTensor() || w->type != DType::Int8 || !w->symmetric() ||
            !(w->perTensor() || (w->axis == 0 && static_cast<int64_t>(w->scales.size()) == g.channels)) ||
            !ctx.isConstant(1) || (ctx.has(2) && !ctx.isConstant(2))) {
            return p;
        }
        if (!dn::hasVnni()) {
            // Pairs of products sum in 16 bits: weight codes within 63 keep
            // every pair in range whatever the input. Released weights were
            // judged when they were read.
            const Tensor& wt = ctx.in(1);
            if (wt.raw() == nullptr) return integer_;
            const float largest = holdsWeightCodes(wt, w) ? largestCode(wt) : weightCodes(wt, w->scales, nullptr);
            if (largest > kPairSafeCode) return p;
        }
        p.on = true;
        p.src = in->type == DType::UInt8 ? memory::data_type::u8 : memory::data_type::s8;
        p.srcScale = in->scales[0];
        p.srcZero = in->zeroPoints[0];
        if (p.src == memory::data_type::s8 && !dn::hasVnni()) {
            // Without VNNI oneDNN halves the weights of s8 x s8 products
            // (an odd code loses its last bit): the codes run shifted to u8.
            p.src = memory::data_type::u8;
            p.srcZero += 128;
        }
        p.weightScales = w->scales;
        return p;
    }

    // Rows long enough that oneDNN's brgemm convolution, its first choice,
    // takes tens of milliseconds and megabytes to set up (a vocoder's layers
    // over 16,384 samples: 40-50 ms each) and runs no faster (see primitiveDesc).
    static bool longRows(const Geometry& g) { return g.src.back() > 2048; }

    // Whether the primitive and weights made for the last input still serve
    // this one: then an execution derives nothing again.
    bool planned(const KernelContext& ctx) const {
        const Tensor& x = ctx.in(0);
        return built_ && weightsReady_ && weightsConst_ && ctx.isConstant(1) && (!ctx.has(2) || ctx.isConstant(2)) &&
               x.shape() == builtX_ && x.layout() == builtIn_ && x.type() == builtType_ &&
               ctx.mayLeavePlain() == builtAllowed_;
    }

    // The layout oneDNN runs this convolution fastest in, where the output
    // may leave the plain one.
    // A volume stays channels last only where oneDNN picks that itself
    // (its blocked volumes are not a layout the graph passes on); so does a
    // sequence ([N,C,W], run as an image one row high): PointNet's 1x1
    // layers spent a third of their time reordering each output back to
    // plain and the next input out of it.
    Layout layoutFor(const KernelContext& ctx, const Geometry& g) {
        const bool volume = g.ys.size() == 5 && g.dst.size() == 5 && group_ == 1;
        const bool sequence = g.ys.size() == 3;
        if (!ctx.mayLeavePlain() || (g.ys.size() != 4 && !volume && !sequence)) return Layout::plain();
        if (runsPlainDepthwise(g, ctx.in(0), integerPlanIfDepthwise(ctx, g), Layout::plain())) return Layout::plain();
        if (g.xs == plannedShape_) return plannedLayout_;
        plannedShape_ = g.xs;
        plannedLayout_ = volume || sequence ? Layout::plain() : Layout::channelsLast();
        if (sequence && longRows(g)) return plannedLayout_;
        try {
            const auto f32 = memory::data_type::f32;
            const auto any = memory::format_tag::any;
            const IntegerPlan ip = integerPlan(ctx, g);
            const auto pd = primitiveDesc(g, {g.src, ip.on ? ip.src : f32, any}, {g.dst, f32, any}, integerAttr(ip), ip);
            if (sequence) {
                // Judged on the image it runs as: only its channels-last form passes on.
                if (dn::layoutOf(pd.dst_desc(), Shape(g.dst.begin(), g.dst.end())) == Layout::channelsLast()) {
                    plannedLayout_ = Layout::channelsLast();
                }
            } else {
                const Layout layout = dn::layoutOf(pd.dst_desc(), g.ys);
                if (layout != Layout::plain() && layout != Layout::foreign()) plannedLayout_ = layout;
            }
        } catch (const dnnl::error&) {
            // plan() reports it
        }
        return plannedLayout_;
    }

    // Everything an input of this shape and layout needs: the output's
    // shape and layout, the primitive, the weights in its layout.
    void plan(KernelContext& ctx) {
        Geometry g;
        geometry(ctx, g, true);
        const Tensor& x = ctx.in(0);
        const Tensor& wt = ctx.in(1);
        const Layout outLayout = layoutFor(ctx, g);
        outShape_ = physicalShape(g.ys, outLayout);
        outLayout_ = outLayout;
        if (elementCount(g.ys) == 0) return;
        if (x.size() == 0) throw ExecError("Conv input " + shapeText(g.xs) + " is empty");
        try {
            const bool weightsConst = ctx.isConstant(1) && (!ctx.has(2) || ctx.isConstant(2));
            if (weightsConst != weightsConst_) weightsReady_ = false;
            weightsConst_ = weightsConst;
            IntegerPlan ip = integerPlan(ctx, g);
            if (!(ip == integer_)) weightsReady_ = false;
            inputGrid_ = ctx.grid(0);
            const bool plainDepthwise = runsPlainDepthwise(g, x, ip, outLayout);
            if (plainDepthwise != plainDepthwise_) {
                plainDepthwise_ = plainDepthwise;
                built_ = false;
                weightsReady_ = false;
            }
            if (plainDepthwise_) {
                integer_ = ip;
                window_ = g.window;
                if (bias_.size() != static_cast<size_t>(g.channels)) bias_.assign(static_cast<size_t>(g.channels), 0.0f);
                builtShape_ = g.xs;
                builtIn_ = x.layout();
                builtType_ = x.type();
                builtOut_ = outLayout;
                builtWeights_ = wt.raw();
                built_ = true;
            } else if (!built_ || g.xs != builtShape_ || x.layout() != builtIn_ || x.type() != builtType_ ||
                outLayout != builtOut_ || (!weightsConst_ && wt.raw() != builtWeights_) || !(ip == integer_)) {
                integer_ = ip;
                if (!build(g, wt, x, outLayout)) {
                    // oneDNN has no integer kernel for it here: floats it is.
                    integerRefused_ = true;
                    integer_ = {};
                    weightsReady_ = false;
                    build(g, wt, x, outLayout);
                }
            }
            if (!weightsReady_ || !weightsConst_) {
                // Constant weights are read once; the graph may then free them.
                if (wt.raw() == nullptr) throw ExecError("weights were released");
                prepareWeights(wt, ctx.grid(1), ctx.has(2) ? &ctx.in(2) : nullptr, g.channels);
                weightsReady_ = true;
            }
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "Conv");
        }
        builtX_ = x.shape();
        builtAllowed_ = ctx.mayLeavePlain();
    }

    // Shapes and window of this node's inputs; with `strict`, what does not
    // fit throws instead of answering false.
    bool geometry(const KernelContext& ctx, Geometry& g, bool strict) const {
        try {
            const Tensor& x = ctx.in(0);
            const Tensor& wt = ctx.in(1);
            if (x.type() != DType::Float) {
                // Codes, on the grid they were read for.
                const QuantGrid* grid = ctx.grid(0);
                if (grid == nullptr || !grid->perTensor() || grid->type != x.type()) requireFloat(x, "Conv input");
            }
            if (!holdsWeightCodes(wt, ctx.grid(1))) requireFloat(wt, "Conv weight");
            g.xs = x.logicalShape();
            if (g.xs.size() < 3 || g.xs.size() > 5) throw ExecError("spatial input must have rank 3 to 5");
            if (wt.rank() != g.xs.size()) {
                throw ExecError("weight shape " + shapeText(wt.shape()) + " does not fit input " + shapeText(g.xs));
            }
            std::vector<int64_t> kshape = attrs_.kernel;
            if (kshape.empty()) kshape.assign(wt.shape().begin() + 2, wt.shape().end());
            const Window w = attrs_.resolve(g.xs, kshape);
            const int64_t N = g.xs[0], C = g.xs[1], M = wt.dim(0), G = group_;
            if (G <= 0 || C % G != 0 || M % G != 0 || wt.dim(1) != C / G ||
                !std::equal(kshape.begin(), kshape.end(), wt.shape().begin() + 2)) {
                throw ExecError("weight shape " + shapeText(wt.shape()) + " does not fit input " + shapeText(g.xs));
            }
            if (ctx.has(2) && ctx.in(2).size() != M) throw ExecError("Conv bias must have one value per output channel");
            if (!fusion_.scale.empty() && static_cast<int64_t>(fusion_.scale.size()) != M) {
                throw ExecError("folded normalisation does not match the output channels");
            }
            // oneDNN's kernels assume some input under every window; a pad
            // as wide as the window (only hostile models have one) would
            // have them read outside the image.
            for (size_t i = 0; i < 3; ++i) {
                const int64_t eff = (w.k[i] - 1) * w.dil[i] + 1;
                if (w.padBegin[i] >= eff || w.padEnd[i] >= eff) {
                    throw ExecError("Conv padding " + std::to_string(std::max(w.padBegin[i], w.padEnd[i])) +
                                    " is as wide as the window");
                }
            }
            g.ys = outputShape(g.xs, M, w);
            g.channels = M;
            g.window = w;
            const bool threeD = g.xs.size() == 5;
            const size_t first = threeD ? 0 : 1;
            g.src = {N, C};
            g.dst = {N, M};
            g.weights.clear();
            if (G > 1) g.weights.push_back(G);
            g.weights.push_back(M / G);
            g.weights.push_back(C / G);
            for (size_t i = first; i < 3; ++i) {
                g.src.push_back(w.in[i]);
                g.dst.push_back(w.out[i]);
                g.weights.push_back(w.k[i]);
                g.strides.push_back(w.stride[i]);
                g.dilates.push_back(w.dil[i] - 1);
                g.padL.push_back(w.padBegin[i]);
                g.padR.push_back(w.padEnd[i]);
            }
            return true;
        } catch (const ExecError&) {
            if (strict) throw;
            return false;
        }
    }

    // Output scales and the input's zero point of the integer path; with
    // `codes`, the output grid's zero point, and its step where no fused
    // activation takes it (see codesDirect).
    dnnl::primitive_attr integerAttr(const IntegerPlan& ip, const Fusion::Codes* codes = nullptr) const {
        dnnl::primitive_attr attr;
        if (!ip.on) return attr;
        std::vector<float> scales(ip.weightScales);
        const float step = codes != nullptr && fusion_.post.empty() ? codes->scale : 1.0f;
        for (float& s : scales) s *= ip.srcScale / step;
        if (codes != nullptr && codes->zero != 0) attr.set_zero_points(DNNL_ARG_DST, 0, {codes->zero});
        attr.set_output_scales(scales.size() == 1 ? 0 : 2, scales);
        if (ip.srcZero != 0) attr.set_zero_points(DNNL_ARG_SRC, 0, {ip.srcZero});
        return attr;
    }

    dnnl::convolution_forward::primitive_desc primitiveDesc(const Geometry& g, const memory::desc& src,
                                                           const memory::desc& dst,
                                                           const dnnl::primitive_attr& attr,
                                                           const IntegerPlan& ip) const {
        const auto f32 = memory::data_type::f32;
        const memory::desc weights(g.weights, ip.on ? memory::data_type::s8 : f32, memory::format_tag::any);
        const memory::desc bias({g.channels}, f32, memory::format_tag::x);
        dnnl::convolution_forward::desc d(dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct, src,
                                          weights, bias, dst, g.strides, g.dilates, g.padL, g.padR);
        dnnl::convolution_forward::primitive_desc pd(d, attr, dn::cpuEngine());
        // oneDNN's brgemm convolution takes time in proportion to the row
        // length to generate its kernels (62 ms for 3 taps over a second of
        // 16 kHz audio, 25 ms for a 400-tap spectrogram filter) and runs long
        // rows no faster than its direct JIT kernel, which generates in about
        // a millisecond. Rows that long take the direct one where it exists.
        constexpr int64_t kLongRow = 2048;
        // Likewise its brgemm kernels for AMX: 1 to 11 ms for each spatial
        // integer convolution against 0.1 to 0.6 for the direct AMX kernel,
        // which runs them as fast give or take 20% (inception_v3's 53 took
        // 108 ms of a 290 ms load). Its 1x1 form generates quickly.
        // AMX tiles pay only where each output sums many products: with 16
        // to 80 of them (the expanding 1x1 layers of mobile networks) its
        // kernels ran 1.1 to 1.7 times slower than the VNNI ones, more with
        // a costly activation fused, and 2 to 3 times faster from 256 on.
        constexpr int64_t kAmxDepth = 128;
        int64_t depth = 1;
        for (auto d : g.weights) depth *= d;
        depth /= std::max<int64_t>(g.channels, 1);
        const std::string first = pd.impl_info_str();
        const bool amx = ip.on && first.find("_amx") != std::string::npos;
        auto takeFirst = [&](auto wanted, auto passed) {
            while (pd.next_impl()) {
                const std::string info = pd.impl_info_str();
                if (wanted(info)) return;
                if (!passed(info)) break;
            }
            pd = dnnl::convolution_forward::primitive_desc(d, attr, dn::cpuEngine());
        };
        auto startsWith = [](const char* prefix) { return [prefix](const std::string& s) { return s.rfind(prefix, 0) == 0; }; };
        if (amx && depth < kAmxDepth) {
            takeFirst([](const std::string& s) { return s.find("_amx") == std::string::npos && s.rfind("ref", 0) != 0; },
                      [](const std::string&) { return true; });
        } else if (amx && first.rfind("brgconv:avx512_core_amx", 0) == 0) {
            takeFirst(startsWith("jit:avx512_core_amx"), startsWith("brg"));
        } else if (g.src.back() > kLongRow && first.rfind("brg", 0) == 0) {
            takeFirst(startsWith("jit"), startsWith("brg"));
        }
        return pd;
    }

    // oneDNN descriptor of a tensor of `type` with logical shape `s` in `layout`, over the dims it runs on.
    static memory::desc userDesc(const Shape& s, const memory::dims& dims, Layout layout, DType type) {
        if (s.size() == 4 || (s.size() == 5 && dims.size() == 5)) return dn::layoutDesc(s, layout, type);
        // A channels-last sequence [N,W,C] is the image [N,C,1,W] channels last.
        if (s.size() == 3 && layout.isChannelsLast()) return {dims, dn::dataTypeOf(type), dn::channelsLastTag(dims.size())};
        return {dims, dn::dataTypeOf(type), dn::plainTag(dims.size())};
    }

    // `d` with float elements: fused operands are floats whatever the output holds.
    static memory::desc asFloat(memory::desc d) {
        d.data.data_type = dnnl_f32;
        return d;
    }

    // Whether the codes of the output come straight out of an integer
    // primitive: the result is divided by the output grid's step, by the
    // output scales or by the last fused activation's own scale, and
    // oneDNN adds the zero point, rounds and saturates. A fused sum last
    // has no scale: its codes come out of a quantizing reorder.
    bool codesDirect(const IntegerPlan& ip) const {
        return fusion_.codes.on && ip.on && !codesRefused_ && (fusion_.post.empty() || !fusion_.post.back().isAdd);
    }

    // False when the integer path was asked for and oneDNN has only its
    // reference kernel for it.
    bool build(const Geometry& g, const Tensor& wt, const Tensor& x, Layout outLayout) {
        auto& eng = dn::cpuEngine();
        const auto f32 = memory::data_type::f32;
        const IntegerPlan& ip = integer_;
        const Layout inLayout = x.layout();
        const Fusion::Codes& codes = fusion_.codes;
        const memory::desc anySrc(g.src, ip.on ? ip.src : f32, memory::format_tag::any);
        const memory::desc userSrc = userDesc(g.xs, g.src, inLayout, x.type());
        const memory::desc userDst = userDesc(g.ys, g.dst, outLayout, codes.on ? codes.type : DType::Float);
        const memory::desc floatDst = userDesc(g.ys, g.dst, outLayout, DType::Float);
        // Codes come straight out of the primitive, or its floats are
        // quantized on the way out.
        direct_ = codesDirect(ip);
        const memory::desc laidOut = codes.on && !direct_ ? floatDst : userDst;
        // A plain output is the caller's to read: oneDNN still picks its own
        // and the result is reordered.
        const memory::desc dst =
            outLayout == Layout::plain() ? memory::desc(g.dst, laidOut.data_type(), memory::format_tag::any) : laidOut;
        memory::dims channel(g.dst.size(), 1);
        channel[1] = g.channels;
        const memory::desc perChannel(channel, f32, dn::plainTag(channel.size()));
        const float lastScale = direct_ ? 1.0f / codes.scale : 1.0f;
        // Post-op operands are laid out as the output the primitive writes.
        // A fresh attribute each time: oneDNN 2.6 keeps the post-ops an
        // attribute had when given an empty list.
        Fusion chain = fusion_;
        tail_.post.clear();
        auto withPosts = [&](const memory::desc& d) {
            dnnl::primitive_attr attr = integerAttr(ip, direct_ ? &codes : nullptr);
            attr.set_post_ops(dn::postOpsOf(chain, asFloat(d), perChannel, lastScale));
            return attr;
        };
        bool settled = false;
        if (longRows(g) && !ip.on && outLayout == Layout::plain() && g.xs.size() == 3 && dn::hasAvx512()) {
            // In channel blocks, which the brgemm kernel does not take: it
            // is passed over at once, and the direct kernel runs them
            // (where it can: some dilations it leaves to the reference one).
            const memory::desc blockedSrc(g.src, f32, memory::format_tag::nChw16c);
            const memory::desc blockedDst(g.dst, laidOut.data_type(), memory::format_tag::nChw16c);
            pd_ = primitiveDesc(g, blockedSrc, blockedDst, withPosts(blockedDst), ip);
            settled = std::string(pd_.impl_info_str()).rfind("ref", 0) != 0;
        }
        if (!settled) pd_ = primitiveDesc(g, anySrc, dst, withPosts(dst), ip);
        bool reference = std::string(pd_.impl_info_str()).rfind("ref", 0) == 0;
        if (reference && direct_) {
            // Codes then come out of a quantizing reorder instead.
            codesRefused_ = true;
            return build(g, wt, x, outLayout);
        }
        if (reference && ip.on) return false;
        // With the source left open oneDNN may settle on its reference
        // kernel; the output's own layout for the source avoids that.
        if (reference && outLayout != Layout::plain() && g.xs.size() <= 4) {
            pd_ = primitiveDesc(g, userDesc(g.xs, g.src, outLayout, DType::Float), dst, withPosts(dst), ip);
            reference = std::string(pd_.impl_info_str()).rfind("ref", 0) == 0;
        }
        // oneDNN 2.6 adds a whole channels-last volume after a convolution
        // only in its reference kernel, tens of times slower: the primitive
        // stops before that add, and the add and what follows it run over
        // the output afterwards.
        const size_t add = firstWholeAdd();
        if (reference && !codes.on && add < fusion_.post.size() && outLayout.isChannelsLast()) {
            chain.post.resize(add);
            tail_.post.assign(fusion_.post.begin() + static_cast<std::ptrdiff_t>(add), fusion_.post.end());
            pd_ = primitiveDesc(g, userDesc(g.xs, g.src, outLayout, DType::Float), dst, withPosts(dst), ip);
        }
        // Constant weights prepared for another shape move to this one's layout.
        if (weightsReady_ && weightsConst_ && weights_.get_desc() != pd_.weights_desc()) {
            Buffer bytes;
            memory moved = dn::ownedMemory(pd_.weights_desc(), bytes);
            dnnl::reorder(weights_, moved).execute(dn::threadStream(), weights_, moved);
            dn::threadStream().wait();
            weights_ = moved;
            weightBytes_ = std::make_shared<Buffer>(std::move(bytes));
            shareWeights();
        } else if (!weightsReady_ || !weightsConst_) {
            ownWeights(pd_.weights_desc());
        }
        if (bias_.size() != static_cast<size_t>(g.channels)) {
            bias_.assign(static_cast<size_t>(g.channels), 0.0f);
            weightsReady_ = false;
        }
        userWeights_ = memory::desc(g.weights, ip.on ? memory::data_type::s8 : f32, dn::plainTag(g.weights.size()));
        // Arguments are bound once; each run only points them at its tensors.
        srcUser_ = memory(userSrc, eng, nullptr);
        dstUser_ = memory(userDst, eng, nullptr);
        // The integer path takes the input's codes: the reorder quantizes
        // floats (exactly, they lie on the grid). The float path
        // dequantizes codes it is given.
        const bool floatIn = x.type() == DType::Float;
        reorderIn_ = (ip.on && floatIn) || pd_.src_desc() != userSrc;
        reorderOut_ = pd_.dst_desc() != userDst;
        if (reorderIn_) {
            srcScratch_ = memory(pd_.src_desc(), eng, nullptr);
            dnnl::primitive_attr convert;
            if (ip.on && floatIn) {
                convert.set_output_scales(0, {1.0f / ip.srcScale});
                if (ip.srcZero != 0) convert.set_zero_points(DNNL_ARG_DST, 0, {ip.srcZero});
            } else if (ip.on && userSrc.data_type() != ip.src) {
                convert.set_zero_points(DNNL_ARG_DST, 0, {ip.srcZero - inputGrid_->zeroPoints[0]});
            } else if (!ip.on && !floatIn) {
                const QuantGrid& in = *inputGrid_;
                convert.set_output_scales(0, {in.scales[0]});
                if (in.zeroPoints[0] != 0) convert.set_zero_points(DNNL_ARG_SRC, 0, {in.zeroPoints[0]});
            }
            const dnnl::reorder::primitive_desc rpd(eng, userSrc, eng, pd_.src_desc(), convert);
            toSource_ = dn::Call(dnnl::reorder(rpd), {{DNNL_ARG_FROM, srcUser_}, {DNNL_ARG_TO, srcScratch_}});
        }
        if (reorderOut_) {
            dstScratch_ = memory(pd_.dst_desc(), eng, nullptr);
            dnnl::primitive_attr quantize;
            if (codes.on && !direct_) {
                quantize.set_output_scales(0, {1.0f / codes.scale});
                if (codes.zero != 0) quantize.set_zero_points(DNNL_ARG_DST, 0, {codes.zero});
            }
            const dnnl::reorder::primitive_desc rpd(eng, pd_.dst_desc(), eng, userDst, quantize);
            toOutput_ = dn::Call(dnnl::reorder(rpd), {{DNNL_ARG_FROM, dstScratch_}, {DNNL_ARG_TO, dstUser_}});
        }
        args_ = {{DNNL_ARG_SRC, reorderIn_ ? srcScratch_ : srcUser_},
                 {DNNL_ARG_WEIGHTS, weights_},
                 {DNNL_ARG_BIAS, memory(pd_.bias_desc(), eng, bias_.data())},
                 {DNNL_ARG_DST, reorderOut_ ? dstScratch_ : dstUser_}};
        addends_.clear();
        addendMoves_.clear();
        movedAddends_.clear();
        int index = 0;
        for (const auto& p : chain.post) {
            if (p.isAdd) {
                // An addend comes in the output's layout; where oneDNN writes
                // another (and the result is reordered), it is reordered
                // into that one first.
                const memory::desc written = asFloat(pd_.dst_desc());
                const bool moved = !p.perChannel && written != floatDst;
                addends_.emplace_back(p.perChannel ? perChannel : moved ? floatDst : written, eng, nullptr);
                memory operand = addends_.back();
                if (moved) {
                    // Past the shared slots, an addend keeps its own buffer.
                    const bool shared = dn::kOperandSlot + static_cast<int>(movedAddends_.size()) < dn::kTransientSlots;
                    memory into = shared ? memory(written, eng, nullptr) : memory(written, eng);
                    if (shared) movedAddends_.push_back(into);
                    addendMoves_.push_back(dn::Call(dnnl::reorder(operand, into), {{DNNL_ARG_FROM, operand}, {DNNL_ARG_TO, into}}));
                    operand = into;
                }
                args_.emplace(DNNL_ARG_ATTR_MULTIPLE_POST_OP(index) | DNNL_ARG_SRC_1, operand);
            }
            index += dn::postOpCount(p);
        }
        call_ = dn::Call(dnnl::convolution_forward(pd_), args_);
        builtShape_ = g.xs;
        builtIn_ = inLayout;
        builtType_ = x.type();
        builtOut_ = outLayout;
        builtWeights_ = wt.raw();
        built_ = true;
        return true;
    }

    // Fresh bytes for weights_, shared with no other node.
    void ownWeights(const memory::desc& d) {
        Buffer bytes;
        weights_ = dn::ownedMemory(d, bytes);
        weightBytes_ = std::make_shared<Buffer>(std::move(bytes));
    }

    // Constant weights packed as another node packed them are kept once
    // (core/SharedBytes.h); weights_ then points at those.
    void shareWeights() {
        if (!weightsConst_ || !weightBytes_) return;
        std::shared_ptr<Buffer> kept = shareIdentical(weightBytes_, weights_.get_desc().get_size());
        if (kept == weightBytes_) return;
        weightBytes_ = std::move(kept);
        weights_.set_data_handle(weightBytes_->get());
    }

    // Reorders the weights into the primitive's layout, folding a
    // normalisation's scale into them and its shift into the bias.
    // Weights that come as codes (OpTraits::takesWeightCodes) are packed as
    // they are, or dequantized here for a float kernel.
    void prepareWeights(const Tensor& wt, const QuantGrid* grid, const Tensor* bias, int64_t M) {
        // Bytes another node shares are never written: fresh ones under
        // the same memory object, which the bound call holds.
        if (!plainDepthwise_ && weightBytes_.use_count() > 1) {
            weightBytes_ = std::make_shared<Buffer>(allocateBuffer(weights_.get_desc().get_size(), false));
            weights_.set_data_handle(weightBytes_->get());
        }
        const IntegerPlan& ip = integer_;
        auto weightScale = [&](int64_t m) { return ip.weightScales.size() == 1 ? ip.weightScales[0] : ip.weightScales[m]; };
        const bool givenCodes = holdsWeightCodes(wt, grid);
        std::vector<int8_t> codes;
        std::vector<float> dequantized;
        if (ip.on) {
            // The integer plan took the grid: symmetric int8.
            if (!givenCodes) {
                codes.resize(static_cast<size_t>(wt.size()));
                weightCodes(wt, ip.weightScales, codes.data());
            }
            auto user = dn::wrap(userWeights_, givenCodes ? wt.data<int8_t>() : codes.data());
            dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
        } else if (givenCodes) {
            dequantizeWeights(wt, *grid, dequantized);
        }
        const float* src = ip.on ? nullptr : givenCodes ? dequantized.data() : wt.data<float>();
        if (!fusion_.scale.empty()) {
            const int64_t per = wt.size() / M;
            scaled_.resize(static_cast<size_t>(wt.size()));
            for (int64_t m = 0; m < M; ++m) {
                for (int64_t k = 0; k < per; ++k) scaled_[m * per + k] = src[m * per + k] * fusion_.scale[m];
            }
            src = scaled_.data();
        }
        if (plainDepthwise_) {
            plainWeights_.assign(src, src + wt.size());
        } else if (!ip.on) {
            auto user = dn::wrap(userWeights_, src);
            dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
        }
        for (int64_t m = 0; m < M; ++m) {
            float b = bias != nullptr ? bias->data<float>()[m] : 0.0f;
            if (!fusion_.scale.empty()) b = b * fusion_.scale[m] + fusion_.shift[m];
            if (biasAddend_ != nullptr) b += biasAddend_->data<float>()[m];
            // The integer path adds the bias to the sums, before their scale.
            if (ip.on) b /= ip.srcScale * weightScale(m);
            bias_[static_cast<size_t>(m)] = b;
        }
        dn::threadStream().wait();
        scaled_.clear();
        scaled_.shrink_to_fit();
        if (!plainDepthwise_) shareWeights();
    }

    // Depthwise volumes and sequences of floats that arrive plain take the
    // engine's own loop and leave plain. oneDNN 2.6 runs depthwise volumes,
    // and rows dilated beyond what its direct kernel takes (a separation
    // network's 1-D layers), as a small product per channel, several times
    // slower; for the rest its direct kernels want channel blocks, two
    // reorders around a loop that streams long rows once. Images keep
    // oneDNN: their short rows suit its blocked kernel better.
    bool runsPlainDepthwise(const Geometry& g, const Tensor& x, const IntegerPlan& ip, Layout outLayout) const {
        return g.xs.size() != 4 && group_ == g.xs[1] && g.channels == g.xs[1] && !ip.on && !fusion_.codes.on &&
               x.type() == DType::Float && x.layout() == Layout::plain() && outLayout == Layout::plain();
    }

    // The integer plan, worked out only for a convolution that could run depthwise.
    IntegerPlan integerPlanIfDepthwise(const KernelContext& ctx, const Geometry& g) const {
        if (g.xs.size() == 4 || group_ != g.xs[1] || g.channels != g.xs[1] || ctx.in(0).layout() != Layout::plain()) return {};
        return integerPlan(ctx, g);
    }

    void execute(const Tensor& x, Tensor& y) {
        if (plainDepthwise_) {
            plainDepthwise(x.data<float>(), plainWeights_.data(), bias_.data(), y.data<float>(), x.dim(0), x.dim(1), window_,
                           fusion_);
            return;
        }
        auto& s = dn::threadStream();
        srcUser_.set_data_handle(const_cast<void*>(x.raw()));
        dstUser_.set_data_handle(y.raw());
        size_t k = 0;
        for (size_t i = 0; i < fusion_.post.size() - tail_.post.size(); ++i) {
            const auto& p = fusion_.post[i];
            if (p.isAdd) addends_[k++].set_data_handle(const_cast<void*>(p.addend->raw()));
        }
        if (reorderIn_) dn::bindTransient(srcScratch_, dn::kSourceSlot);
        if (reorderOut_) dn::bindTransient(dstScratch_, dn::kResultSlot);
        for (size_t m = 0; m < movedAddends_.size(); ++m) {
            dn::bindTransient(movedAddends_[m], dn::kOperandSlot + static_cast<int>(m));
        }
        if (reorderIn_) toSource_.run(s);
        for (const auto& move : addendMoves_) move.run(s);
        call_.run(s);
        if (reorderOut_) toOutput_.run(s);
        s.wait();
        if (!tail_.post.empty()) applyTail(y);
    }

    // Index of the first post that adds a whole tensor (not one value per channel).
    size_t firstWholeAdd() const {
        for (size_t i = 0; i < fusion_.post.size(); ++i) {
            if (fusion_.post[i].isAdd && !fusion_.post[i].perChannel) return i;
        }
        return fusion_.post.size();
    }

    // The posts from the first whole-tensor add on, over a channels-last
    // output (the layout oneDNN refuses the add in), a row of channels at a time.
    void applyTail(Tensor& y) const {
        const int64_t channels = y.logicalShape()[1], rows = y.size() / channels;
        float* py = y.data<float>();
        parallelFor(rows, y.size(), [&](int64_t r) { applyPosts(tail_, py + r * channels, channels, r * channels, 0, true); });
    }

    WindowAttrs attrs_;
    int64_t group_;
    Fusion fusion_;
    Fusion tail_;  // posts from fusion_ that run after the primitive, over its output
    const Tensor* biasAddend_ = nullptr;

    Shape plannedShape_;
    Layout plannedLayout_ = Layout::channelsLast();

    bool built_ = false, weightsReady_ = false, weightsConst_ = false;
    bool plainDepthwise_ = false;  // runs in the engine's own loop, on plainWeights_
    Window window_;
    std::vector<float> plainWeights_;
    bool reorderIn_ = false, reorderOut_ = false;
    bool direct_ = false, codesRefused_ = false;  // codes straight out of the primitive
    DType builtType_ = DType::Float;
    const QuantGrid* inputGrid_ = nullptr;  // of codes given as the input
    Shape builtShape_;
    Layout builtIn_, builtOut_;
    // The input the plan was made for, and the output it gives.
    Shape builtX_, outShape_;
    bool builtAllowed_ = false;
    Layout outLayout_;
    const void* builtWeights_ = nullptr;
    IntegerPlan integer_;
    bool integerRefused_ = false;
    memory::desc userWeights_;
    dnnl::convolution_forward::primitive_desc pd_;
    dn::Call call_, toSource_, toOutput_;
    memory weights_, srcScratch_, dstScratch_, srcUser_, dstUser_;
    std::shared_ptr<Buffer> weightBytes_;  // what weights_ points at, perhaps shared with other nodes
    std::vector<memory> movedAddends_;  // bound to transient slots from kOperandSlot on
    std::vector<memory> addends_;
    std::vector<dn::Call> addendMoves_;  // addends into the layout oneDNN writes
    std::unordered_map<int, memory> args_;
    std::vector<float> bias_, scaled_;
};

}  // namespace

void allowIntegerConvolution(bool allowed) { integerAllowed = allowed; }
bool integerConvolutionAllowed() { return integerAllowed; }

void registerConvKernels() {
    OpTraits traits = OpTraits::product(0);
    traits.takesCodes = true;
    traits.takesWeightCodes = true;
    registerKernel("Conv", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<ConvKernel>(n); }, traits);
}

}  // namespace vexart
