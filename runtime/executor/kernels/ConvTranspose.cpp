// ConvTranspose on oneDNN's deconvolution, 1-D to 3-D, grouped or not,
// plain layout in and out. Where the kernel tiles the output exactly
// (strides equal to the kernel, no padding or dilation: the 2x2 stride-2
// upsampling of UNets and mask heads), it runs as one matrix product and
// a scatter of its rows instead, about twice as fast as the deconvolution;
// so do sequences of any window, their rows added where they overlap.
// Padding given by auto_pad or output_shape, and
// output padding beyond the end padding, stay on the reference kernel
// (kernels/Reference.cpp), which computes them as the operator defines.
#include <onnx/onnx_pb.h>

#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/Fallbacks.h"
#include "kernels/Window.h"
#include "onednn/Dnnl.h"
#include "onednn/Transient.h"

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
            if (tiles_) return runTiled(x, y);
            srcUser_.set_data_handle(const_cast<void*>(x.raw()));
            dstUser_.set_data_handle(y.raw());
            auto& s = dn::threadStream();
            if (reorderIn_) dn::bindTransient(srcScratch_, dn::kSourceSlot);
            if (reorderOut_) dn::bindTransient(dstScratch_, dn::kResultSlot);
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
        // Both paths add the bias themselves.
        bias_.assign(static_cast<size_t>(M), 0.0f);
        if (ctx.has(2)) {
            const Tensor& b = ctx.in(2);
            if (b.type() != DType::Float || b.size() != M) return false;
            std::copy(b.data<float>(), b.data<float>() + M, bias_.begin());
        }
        bool tiles = G == 1 && t_.outputPadding.empty();
        for (size_t i = 0; i < sp; ++i) tiles = tiles && strides[i] == k[i] && dilates[i] == 0 && padL[i] == 0 && padR[i] == 0;
        // Sequences whose windows overlap (a vocoder's upsampling, a
        // separation network's decoder) take the same product, its rows
        // added where they land: oneDNN ran them as the same product and
        // scatter, after a first-run set-up of tens of milliseconds, or in
        // channel blocks, reordered twice.
        overlaps_ = !tiles && G == 1 && sp == 1;
        if (overlaps_) {
            seqStride_ = strides[0];
            seqDilation_ = dilates[0] + 1;
            seqPad_ = padL[0];
            seqOut_ = ys[2];
        }
        if ((tiles || overlaps_) && buildTiled(ctx, C, M, k)) {
            builtX_ = x.shape();
            outShape_ = ys;
            onDnnl_ = true;
            return true;
        }
        tiles_ = false;
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
            weights_ = dn::ownedMemory(pd.weights_desc(), weightBytes_);
            auto user = dn::wrap(memory::desc(wdims, f32, wtag), wt.raw());
            dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
            dn::threadStream().wait();
            srcUser_ = memory(userSrc, eng, nullptr);
            dstUser_ = memory(userDst, eng, nullptr);
            reorderIn_ = pd.src_desc() != userSrc;
            reorderOut_ = pd.dst_desc() != userDst;
            memory src = srcUser_, dst = dstUser_;
            if (reorderIn_) {
                src = srcScratch_ = memory(pd.src_desc(), eng, nullptr);
                toSource_ = dn::Call(dnnl::reorder(srcUser_, src), {{DNNL_ARG_FROM, srcUser_}, {DNNL_ARG_TO, src}});
            }
            if (reorderOut_) {
                dst = dstScratch_ = memory(pd.dst_desc(), eng, nullptr);
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

    // Z[n] = W' X[n]: W' holds the weights [C, M, K] as [M*K, C], X[n] the
    // input [C, S]; row m*K + kappa of Z[n] is what kernel offset kappa of
    // output channel m puts at each input position.
    bool buildTiled(const KernelContext& ctx, int64_t C, int64_t M, const std::vector<int64_t>& k) {
        const Tensor& x = ctx.in(0);
        const Tensor& wt = ctx.in(1);
        const int64_t N = x.dim(0), K = elementCount(k), S = x.size() / std::max<int64_t>(N * C, 1);
        packed_.resize(static_cast<size_t>(M * K * C));
        const float* w = wt.data<float>();
        for (int64_t c = 0; c < C; ++c) {
            for (int64_t mk = 0; mk < M * K; ++mk) packed_[static_cast<size_t>(mk * C + c)] = w[c * M * K + mk];
        }
        try {
            auto& eng = dn::cpuEngine();
            const auto f32 = memory::data_type::f32;
            const memory::desc a({1, M * K, C}, f32, memory::format_tag::abc);
            const memory::desc b({N, C, S}, f32, memory::format_tag::abc);
            const memory::desc z({N, M * K, S}, f32, memory::format_tag::abc);
            const dnnl::matmul::primitive_desc pd(dnnl::matmul::desc(a, b, z), eng);
            if (std::string(pd.impl_info_str()).rfind("ref", 0) == 0) return false;
            product_ = memory(z, eng, nullptr);
            srcUser_ = memory(b, eng, nullptr);
            call_ = dn::Call(dnnl::matmul(pd), {{DNNL_ARG_SRC, memory(a, eng, packed_.data())},
                                                {DNNL_ARG_WEIGHTS, srcUser_},
                                                {DNNL_ARG_DST, product_}});
        } catch (const dnnl::error&) {
            return false;
        }
        // Spatial axes as three, the missing leading ones of length 1.
        for (size_t i = 0; i < 3; ++i) {
            const size_t from = i + k.size() - 3;
            tileK_[i] = i + k.size() < 3 ? 1 : k[from];
            tileIn_[i] = i + k.size() < 3 ? 1 : x.dim(from + 2);
        }
        tiles_ = true;
        return true;
    }

    void runTiled(const Tensor& x, Tensor& y) {
        auto& s = dn::threadStream();
        srcUser_.set_data_handle(const_cast<void*>(x.raw()));
        dn::bindTransient(product_, dn::kResultSlot);
        call_.run(s);
        s.wait();
        if (overlaps_) return addOverlapped(x, y);
        const int64_t N = x.dim(0), M = static_cast<int64_t>(bias_.size());
        const int64_t kd = tileK_[0], kh = tileK_[1], kw = tileK_[2], D = tileIn_[0], H = tileIn_[1], W = tileIn_[2];
        const int64_t K = kd * kh * kw, S = D * H * W, OH = H * kh, OW = W * kw;
        const auto* z = static_cast<const float*>(product_.get_data_handle());
        float* out = y.data<float>();
        parallelFor(N * M, N * M * K * S, [&](int64_t nm) {
            const float bias = bias_[static_cast<size_t>(nm % M)];
            const float* zm = z + nm * K * S;  // rows m*K .. m*K + K - 1 of Z[n]
            float* plane = out + nm * K * S;
            for (int64_t a = 0; a < kd; ++a) {
                for (int64_t d = 0; d < D; ++d) {
                    for (int64_t b = 0; b < kh; ++b) {
                        for (int64_t h = 0; h < H; ++h) {
                            float* row = plane + ((d * kd + a) * OH + h * kh + b) * OW;
                            for (int64_t c = 0; c < kw; ++c) {
                                const float* zr = zm + ((a * kh + b) * kw + c) * S + (d * H + h) * W;
                                for (int64_t w = 0; w < W; ++w) row[w * kw + c] = zr[w] + bias;
                            }
                        }
                    }
                }
            }
        });
    }

    // y[n, m, s * stride + kappa * dilation - pad] += Z[n][m * K + kappa, s],
    // over the bias, for the positions inside the output.
    void addOverlapped(const Tensor& x, Tensor& y) const {
        const int64_t N = x.dim(0), M = static_cast<int64_t>(bias_.size()), K = tileK_[2], S = x.dim(2);
        const int64_t OW = seqOut_, stride = seqStride_;
        const auto* z = static_cast<const float*>(product_.get_data_handle());
        float* out = y.data<float>();
        parallelFor(N * M, N * M * K * S, [&](int64_t nm) {
            float* row = out + nm * OW;
            std::fill(row, row + OW, bias_[static_cast<size_t>(nm % M)]);
            for (int64_t kappa = 0; kappa < K; ++kappa) {
                const float* zr = z + (nm * K + kappa) * S;
                const int64_t offset = kappa * seqDilation_ - seqPad_;
                // Input i lands at i * stride + offset: the inputs that land inside the row.
                int64_t lo = 0, hi = 0;
                reachedOutputs(OW, S, stride, offset, lo, hi);
                for (int64_t i = lo; i < hi; ++i) row[i * stride + offset] += zr[i];
            }
        });
    }

    TransposedWindowAttrs t_;
    std::unique_ptr<Kernel> reference_;
    bool tiles_ = false;
    bool overlaps_ = false;  // a sequence's product, its rows added where they overlap
    int64_t seqStride_ = 1, seqDilation_ = 1, seqPad_ = 0, seqOut_ = 0;
    std::vector<float> packed_;  // W' of the tiled path
    memory product_;             // its Z, in a buffer the kernels share while they run
    int64_t tileK_[3] = {1, 1, 1}, tileIn_[3] = {1, 1, 1};

    bool onDnnl_ = false, reorderIn_ = false, reorderOut_ = false;
    Shape builtX_, outShape_;
    memory weights_, srcUser_, dstUser_, srcScratch_, dstScratch_;
    Buffer weightBytes_;  // what weights_ points at
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
