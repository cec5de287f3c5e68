// MatMul and Gemm on oneDNN's matmul: constant weights are packed once
// into the layout it runs fastest on, a leading batch on the left operand folds
// into its rows, activations and residual adds run as post-ops. Shapes
// it does not take (batches that broadcast, Gemm with alpha or beta other
// than 1) go to the reference kernel.
//
// Products of one row by large constant float weights run on
// panels of our own instead (DenseRows.h): they stream the weights.
//
// When the input lies on a quantization grid and the constant weights on
// an int8 one (per tensor or per column), the product runs on their codes:
// the input is quantized on the way in (exactly: its values lie on the
// grid), the sums are exact int32, one scale per column brings them back
// to float. Dense heads and transformer projections then read a quarter
// of the weight bytes.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include <omp.h>

#include "core/Broadcast.h"
#include "core/Threads.h"
#include "kernels/DenseRows.h"
#include "kernels/Fallbacks.h"
#include "onednn/Dnnl.h"
#include "onednn/PostOps.h"
#include "onednn/Transient.h"
#include "kernels/WeightCodes.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

using dnnl::memory;
namespace dn = onednn;

// One product: [batch, rows, inner] x [batch or 1, inner, cols].
struct Problem {
    int64_t batch = 1, rows = 0, inner = 0, cols = 0;
    bool weightsBatched = false;
    bool transA = false, transB = false;
    Shape out;
    Shape bias;  // rank-2 dims of Gemm's C, empty without one
    bool operator==(const Problem& o) const {
        return batch == o.batch && rows == o.rows && inner == o.inner && cols == o.cols &&
               weightsBatched == o.weightsBatched && transA == o.transA && transB == o.transB && bias == o.bias;
    }
};

// Products of fewer multiply-adds run on one thread, made and executed so:
// in a graph of many small products (a decoder step) waking the others for
// each one costs more than they save. Larger ones split over the scope's.
constexpr int64_t kSerialProduct = int64_t{1} << 19;

// A batch of r x c matrices; batch 0 for one matrix without a batch axis.
memory::desc matrixDesc(int64_t batch, int64_t r, int64_t c, bool transposed,
                        memory::data_type type = memory::data_type::f32) {
    if (batch == 0) return memory::desc({r, c}, type, transposed ? memory::dims{1, r} : memory::dims{c, 1});
    if (transposed) return memory::desc({batch, r, c}, type, memory::dims{r * c, 1, r});
    return memory::desc({batch, r, c}, type, memory::dims{r * c, c, 1});
}

// A [1, channels, 1, width] picture; `channelsInner`: channels last.
memory::desc pictureDesc(int64_t channels, int64_t width, bool channelsInner, memory::data_type type) {
    return memory::desc({1, channels, 1, width}, type,
                        channelsInner ? memory::dims{channels * width, 1, channels * width, channels}
                                      : memory::dims{channels * width, width, channels * width, 1});
}

// The codes the integer path runs on: the input's grid (as u8: int8 codes
// shift by 128, which every processor's kernels take) and the weights'
// scales, one per column or one for all.
struct IntegerPlan {
    bool on = false;
    float srcScale = 1;
    int32_t srcZero = 0;
    std::vector<float> weightScales;
    bool operator==(const IntegerPlan& o) const {
        return on == o.on && srcScale == o.srcScale && srcZero == o.srcZero && weightScales == o.weightScales;
    }
};

class MatMulKernel : public Kernel {
public:
    MatMulKernel(const onnx::NodeProto& n, bool isGemm)
        : isGemm_(isGemm), reference_(referenceMatMul(n, isGemm)) {
        if (isGemm) {
            const Attrs a(n);
            alpha_ = a.f("alpha", 1.0f);
            beta_ = a.f("beta", 1.0f);
            transA_ = a.i("transA", 0) != 0;
            transB_ = a.i("transB", 0) != 0;
        }
    }

    bool fusable() const override { return true; }
    // Columns are the last output axis unless the weights are a vector.
    size_t channelAxis(size_t rank) const override { return columnsLast_ ? rank - 1 : rank; }
    void setFusion(Fusion f) override {
        // A constant per-column add right after the product is its bias.
        biasAddend_ = nullptr;
        if (!isGemm_ && !f.post.empty() && f.post[0].isAdd && f.post[0].perChannel) {
            biasAddend_ = f.post[0].addend;
            f.post.erase(f.post.begin());
        }
        fusion_ = std::move(f);
        built_ = false;
    }
    bool inferShapes(const KernelContext& ctx, std::vector<Shape>& out) const override {
        Problem p;
        if (!problem(ctx, p)) return false;
        out = {p.out};
        columnsLast_ = isGemm_ || ctx.in(1).rank() > 1;
        return true;
    }
    bool keepsCopyOf(size_t i) const override { return i == 1 && weightsConst_ && (packed_ || dense_.packed()); }
    bool runsOnIntegers() const override { return built_ && integer_.on; }
    std::string implementation() const override {
        return !built_ ? std::string() : streamed_ ? "vexa:panels" : call_.implementation();
    }

    void run(KernelContext& ctx) override {
        if (!planned(ctx) && !plan(ctx)) return;
        Tensor& y = ctx.out(0, DType::Float, outShape_);
        fusion_.checkAddends(y);
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        if (streamed_) {
            const Problem& p = built_problem_;
            DenseBias bias;
            if (hasBias_) {
                bias = {(biasAddend_ != nullptr ? *biasAddend_ : ctx.in(2)).data<float>(), p.bias[1] != 1};
            }
            dense_.run(ctx.in(0).data<float>(), bias, fusion_, y.data<float>());
            return;
        }
        try {
            auto& s = dn::threadStream();
            src_.set_data_handle(const_cast<void*>(ctx.in(0).raw()));
            if (integer_.on) dn::bindTransient(codes_, dn::kSourceSlot);
            if (!weightsConst_) weights_.set_data_handle(const_cast<void*>(ctx.in(1).raw()));
            if (hasBias_) {
                const void* bias = integer_.on ? scaledBias_.data() : biasAddend_ != nullptr ? biasAddend_->raw() : ctx.in(2).raw();
                bias_.set_data_handle(const_cast<void*>(bias));
            }
            dst_.set_data_handle(y.raw());
            size_t k = 0;
            for (const auto& post : fusion_.post) {
                if (post.isAdd) addends_[k++].set_data_handle(const_cast<void*>(post.addend->raw()));
            }
            const ThreadScope scope(serial_ ? 1 : omp_get_max_threads());
            if (integer_.on) quantize_.run(s);
            call_.run(s);
            for (const auto& step : after_) step.run(s);
            s.wait();
        } catch (const dnnl::error& e) {
            dn::rethrow(e, isGemm_ ? "Gemm" : "MatMul");
        }
    }

private:
    // Whether the primitive (and packed weights) made for the last inputs
    // still serve these: then an execution derives nothing again.
    bool planned(const KernelContext& ctx) const {
        return built_ && ctx.in(0).shape() == builtA_ && ctx.in(1).shape() == builtB_ &&
               ctx.isConstant(1) == weightsConst_ && (!weightsConst_ || packed_ || streamed_) &&
               (!ctx.has(2) || ctx.in(2).shape() == builtC_);
    }

    // Makes the primitive for these inputs; false when the reference kernel
    // ran instead or there is nothing to compute.
    bool plan(KernelContext& ctx) {
        Problem p;
        if (!problem(ctx, p)) {
            if (!fusion_.empty()) throw ExecError("fused work without a oneDNN product");
            runReference(ctx);
            return false;
        }
        if (biasAddend_ != nullptr) p.bias = {1, p.cols};
        Tensor& y = ctx.out(0, DType::Float, p.out);
        if (y.size() == 0) return false;
        if (p.inner == 0) {
            // An empty sum: zeros (plus C), which the reference does.
            runReference(ctx);
            return false;
        }
        const Tensor& b = ctx.in(1);
        try {
            const bool weightsConst = ctx.isConstant(1);
            const bool constChanged = weightsConst != weightsConst_;
            if (constChanged) {
                packed_ = false;
                dense_.clear();
            }
            weightsConst_ = weightsConst;
            const IntegerPlan ip = integerPlan(ctx, p);
            // On the panels or not follows from the problem, precision and
            // constness, each of which builds a new primitive when it changes.
            streamed_ = weightsConst_ && !ip.on && !p.weightsBatched && DenseRows::suits(p.rows, p.inner, p.cols);
            if (streamed_) {
                if (!dense_.packedFor(p.inner, p.cols)) {
                    dense_.pack(plainWeights(b, ctx.grid(1), p).data, p.inner, p.cols, p.transB);
                    // oneDNN's copy goes: a later plan for more rows takes the panels'.
                    packed_ = false;
                    weightBytes_.reset();
                    weights_ = memory();
                }
                integer_ = ip;
                built_problem_ = p;
            } else {
                if (!(ip == integer_)) packed_ = false;
                if (!built_ || constChanged || !(p == built_problem_) || !(ip == integer_)) {
                    integer_ = ip;
                    build(p);
                }
                if (weightsConst_ && !packed_) {
                    pack(ctx, p);
                    dense_.clear();
                }
            }
        } catch (const dnnl::error& e) {
            dn::rethrow(e, isGemm_ ? "Gemm" : "MatMul");
        }
        built_ = true;
        builtA_ = ctx.in(0).shape();
        builtB_ = b.shape();
        builtC_ = ctx.has(2) ? ctx.in(2).shape() : Shape{};
        outShape_ = p.out;
        hasBias_ = !p.bias.empty();
        return true;
    }

    bool problem(const KernelContext& ctx, Problem& p) const {
        if (!ctx.has(0) || !ctx.has(1)) return false;
        const Tensor& a = ctx.in(0);
        const Tensor& b = ctx.in(1);
        if (a.type() != DType::Float || !a.isPlain() || !b.isPlain()) return false;
        if (b.type() != DType::Float && !holdsWeightCodes(b, ctx.grid(1))) return false;
        if (isGemm_) {
            if (a.rank() != 2 || b.rank() != 2 || alpha_ != 1.0f) return false;
            p.transA = transA_;
            p.transB = transB_;
            p.rows = transA_ ? a.dim(1) : a.dim(0);
            p.inner = transA_ ? a.dim(0) : a.dim(1);
            p.cols = transB_ ? b.dim(0) : b.dim(1);
            if ((transB_ ? b.dim(1) : b.dim(0)) != p.inner) return false;
            p.out = {p.rows, p.cols};
            if (ctx.has(2) && beta_ != 0.0f) {
                const Tensor& c = ctx.in(2);
                if (beta_ != 1.0f || c.type() != DType::Float || c.rank() > 2) return false;
                Shape cs = c.shape();
                cs.insert(cs.begin(), 2 - cs.size(), 1);
                if ((cs[0] != 1 && cs[0] != p.rows) || (cs[1] != 1 && cs[1] != p.cols)) return false;
                p.bias = cs;
            }
            return true;
        }
        if (a.rank() == 0 || b.rank() == 0) return false;
        Shape sa = a.shape(), sb = b.shape();
        const bool vecA = sa.size() == 1, vecB = sb.size() == 1;
        if (vecA) sa.insert(sa.begin(), 1);
        if (vecB) sb.push_back(1);
        p.inner = sa.back();
        p.cols = sb.back();
        if (sb[sb.size() - 2] != p.inner) return false;
        const Shape batchA(sa.begin(), sa.end() - 2), batchB(sb.begin(), sb.end() - 2);
        int64_t countB = 1;
        for (int64_t d : batchB) countB *= d;
        if (countB == 1 && batchB.size() <= batchA.size()) {
            // Weights without a batch: the left operand's batch is more rows.
            p.rows = sa[sa.size() - 2];
            for (int64_t d : batchA) p.rows *= d;
        } else if (batchA == batchB) {
            p.batch = 1;
            for (int64_t d : batchA) p.batch *= d;
            p.rows = sa[sa.size() - 2];
            p.weightsBatched = true;
        } else {
            return false;
        }
        p.out = broadcastShape(batchA, batchB);
        if (!vecA) p.out.push_back(sa[sa.size() - 2]);
        if (!vecB) p.out.push_back(p.cols);
        return true;
    }

    // The integer plan for these inputs, or none: see the file comment.
    IntegerPlan integerPlan(const KernelContext& ctx, const Problem& p) const {
        IntegerPlan ip;
        const QuantGrid* in = ctx.grid(0);
        const QuantGrid* w = ctx.grid(1);
        if (!integerConvolutionAllowed() || p.weightsBatched || !ctx.isConstant(1) || ctx.in(1).rank() != 2 ||
            in == nullptr || w == nullptr || !in->perTensor() || w->type != DType::Int8 || !w->symmetric()) {
            return ip;
        }
        // The bias joins the sums, in their units: a constant one per column.
        if (!p.bias.empty() && (p.bias != Shape{1, p.cols} || (biasAddend_ == nullptr && !ctx.isConstant(2)))) return ip;
        const int64_t columnAxis = p.transB ? 0 : 1;
        if (!w->perTensor() && (w->axis != columnAxis || static_cast<int64_t>(w->scales.size()) != p.cols)) return ip;
        if (!dn::hasVnni()) {
            // Released weights were judged when they were read.
            const Tensor& b = ctx.in(1);
            if (b.raw() == nullptr) return integer_;
            const float largest = holdsWeightCodes(b, w) ? largestCode(b) : weightCodes(b, w->scales, p.transB, nullptr);
            if (largest > kPairSafeCode) return ip;
        }
        ip.on = true;
        ip.srcScale = in->scales[0];
        ip.srcZero = in->zeroPoints[0] + (in->type == DType::Int8 ? 128 : 0);
        ip.weightScales = w->scales;
        return ip;
    }

    // The constant weights as the model gives them: from the model (its
    // codes dequantized, where they came as codes) or, once released, from
    // the panels that hold them.
    struct Plain {
        const float* data = nullptr;
        std::vector<float> unpacked;
    };
    Plain plainWeights(const Tensor& b, const QuantGrid* grid, const Problem& p) const {
        Plain w;
        if (b.raw() != nullptr && holdsWeightCodes(b, grid)) {
            dequantizeWeights(b, *grid, w.unpacked);
            w.data = w.unpacked.data();
        } else if (b.raw() != nullptr) {
            w.data = b.data<float>();
        } else if (dense_.packedFor(p.inner, p.cols)) {
            w.unpacked.resize(static_cast<size_t>(p.inner * p.cols));
            dense_.unpack(w.unpacked.data(), p.transB);
            w.data = w.unpacked.data();
        } else if (packed_ && weightsConst_ && !integer_.on) {
            // In oneDNN's layout: back to the model's.
            w.unpacked.resize(static_cast<size_t>(p.inner * p.cols));
            memory plain(matrixDesc(0, p.inner, p.cols, p.transB), dn::cpuEngine(), w.unpacked.data());
            memory packed = weights_;  // a handle: execute takes it as non-const
            dnnl::reorder(packed, plain).execute(dn::threadStream(), packed, plain);
            dn::threadStream().wait();
            w.data = w.unpacked.data();
        } else {
            throw ExecError("weights were released");
        }
        return w;
    }

    // The reference kernel, which reads float weights: codes (constant, so
    // of one shape for good) are dequantized for it once.
    void runReference(KernelContext& ctx) {
        const Tensor& b = ctx.in(1);
        if (b.type() == DType::Float || !holdsWeightCodes(b, ctx.grid(1))) return reference_->run(ctx);
        if (dequantized_.raw() == nullptr) {
            std::vector<float> floats;
            dequantizeWeights(b, *ctx.grid(1), floats);
            dequantized_.reset(DType::Float, b.shape());
            std::copy(floats.begin(), floats.end(), dequantized_.data<float>());
        }
        ctx.setInput(1, &dequantized_);
        try {
            reference_->run(ctx);
        } catch (...) {
            ctx.setInput(1, &b);
            throw;
        }
        ctx.setInput(1, &b);
    }

    // Weights [K, N], or [N, K] when transposed: a scale per column N.
    static float weightCodes(const Tensor& b, const std::vector<float>& scales, bool transB, int8_t* codes) {
        return vexart::weightCodes(b.data<float>(), b.dim(0), b.dim(1), scales, transB, codes);
    }

    // Constant weights into the primitive's layout, as codes on the integer
    // path, which adds the bias to the sums before their scale: it is
    // divided by that scale here. Weights that came as codes
    // (OpTraits::takesWeightCodes) are packed as they are.
    void pack(const KernelContext& ctx, const Problem& p) {
        const Tensor& b = ctx.in(1);
        const bool givenCodes = integer_.on && b.raw() != nullptr && holdsWeightCodes(b, ctx.grid(1));
        const Plain plain = givenCodes ? Plain{} : plainWeights(b, ctx.grid(1), p);
        std::vector<int8_t> codes;
        const void* from = plain.data;
        if (givenCodes) {
            from = b.data<int8_t>();  // the integer plan took the grid: symmetric int8
        } else if (integer_.on) {
            codes.resize(static_cast<size_t>(b.size()));
            vexart::weightCodes(plain.data, b.dim(0), b.dim(1), integer_.weightScales, p.transB, codes.data());
            from = codes.data();
        }
        if (integer_.on) {
            scaledBias_.clear();
            if (!p.bias.empty()) {
                const float* bias = (biasAddend_ != nullptr ? *biasAddend_ : ctx.in(2)).data<float>();
                const auto& ws = integer_.weightScales;
                for (int64_t n = 0; n < p.cols; ++n) {
                    scaledBias_.push_back(bias[n] / (integer_.srcScale * ws[ws.size() == 1 ? 0 : static_cast<size_t>(n)]));
                }
            }
        }
        auto user = dn::wrap(userWeights_, from);
        dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
        dn::threadStream().wait();
        packed_ = true;
    }

    void build(const Problem& p) {
        auto& eng = dn::cpuEngine();
        serial_ = p.batch * p.rows * p.inner * p.cols < kSerialProduct;
        const ThreadScope scope(serial_ ? 1 : omp_get_max_threads());
        // Weights shared by every row make one matrix product without a
        // batch axis: only on those does oneDNN pick a blocked layout for
        // constant weights, which streams them 2-4 times faster than the
        // plain or transposed one when the rows are few (one token).
        const int64_t batch = p.weightsBatched ? p.batch : 0;
        const IntegerPlan& ip = integer_;
        const auto u8 = memory::data_type::u8, s8 = memory::data_type::s8, f32 = memory::data_type::f32;
        // Without dot-product instructions oneDNN's int8 matmul is a GEMM
        // that packs the weights again on every call, no faster than float
        // for a few rows; its int8 1x1 convolution keeps them packed. So
        // there the product runs as one: the rows are the width of a picture
        // one pixel high, channels last, which is how they lie in memory.
        const bool asConv = ip.on && batch == 0 && weightsConst_ && !dn::hasVnni();
        const memory::desc userSrc = asConv ? pictureDesc(p.inner, p.rows, !p.transA, f32)
                                            : matrixDesc(batch, p.rows, p.inner, p.transA);
        const memory::desc src = !ip.on ? userSrc
                                 : asConv ? pictureDesc(p.inner, p.rows, true, u8)
                                          : matrixDesc(batch, p.rows, p.inner, false, u8);
        const memory::desc dst = asConv ? pictureDesc(p.cols, p.rows, true, f32) : matrixDesc(batch, p.rows, p.cols, false);
        userWeights_ = asConv ? memory::desc({p.cols, p.inner, 1, 1}, s8,
                                             p.transB ? memory::dims{p.inner, 1, 1, 1} : memory::dims{1, p.cols, 1, 1})
                              : matrixDesc(batch, p.inner, p.cols, p.transB, ip.on ? s8 : f32);
        // A batch of constant float weights is stored transposed, which
        // oneDNN's GEMM runs faster on than on the plain layout it picks
        // itself for batches.
        const memory::desc weights =
            !weightsConst_           ? userWeights_
            : asConv                 ? memory::desc({p.cols, p.inner, 1, 1}, s8, memory::format_tag::any)
            : batch == 0             ? memory::desc({p.inner, p.cols}, ip.on ? s8 : f32, memory::format_tag::any)
            : ip.on                  ? memory::desc({batch, p.inner, p.cols}, s8, memory::format_tag::any)
                                     : memory::desc({batch, p.inner, p.cols}, f32, memory::format_tag::acb);
        // A bias or per-column operand is one matrix for the whole batch.
        const int64_t shared = batch == 0 ? 0 : 1;
        memory::desc bias;
        if (!p.bias.empty()) {
            // The integer path's bias is one per column ({1, cols}).
            bias = asConv ? memory::desc({p.cols}, f32, memory::format_tag::a)
                          : matrixDesc(shared, p.bias[0], p.bias[1], false);
        }
        // Adds up to the first activation run inside the product; the rest
        // after it, as jit primitives over the result.
        Fusion inside, after;
        for (const auto& post : fusion_.post) {
            (post.isAdd && after.post.empty() ? inside : after).post.push_back(post);
        }
        dnnl::primitive_attr attr;
        if (ip.on) {
            std::vector<float> scales(ip.weightScales);
            for (float& s : scales) s *= ip.srcScale;
            // Integer products have unbatched weights: one scale per column, axis 1 of 2.
            attr.set_output_scales(scales.size() == 1 ? 0 : 1 << 1, scales);
            if (ip.srcZero != 0) attr.set_zero_points(DNNL_ARG_SRC, 0, {ip.srcZero});
        }
        const memory::desc perColumn = asConv ? memory::desc({1, p.cols, 1, 1}, f32, memory::format_tag::abcd)
                                              : matrixDesc(shared, 1, p.cols, false);
        attr.set_post_ops(dn::postOpsOf(inside, dst, perColumn));
        dnnl::primitive product;
        memory::desc packedWeights, codes;
        if (asConv) {
            const memory::dims ones{1, 1}, zeros{0, 0};
            const auto d = p.bias.empty()
                               ? dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference,
                                                                 dnnl::algorithm::convolution_direct, src, weights,
                                                                 dst, ones, zeros, zeros)
                               : dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference,
                                                                 dnnl::algorithm::convolution_direct, src, weights,
                                                                 bias, dst, ones, zeros, zeros);
            const dnnl::convolution_forward::primitive_desc pd(d, attr, eng);
            product = dnnl::convolution_forward(pd);
            packedWeights = pd.weights_desc();
            codes = pd.src_desc();
        } else {
            const auto d = p.bias.empty() ? dnnl::matmul::desc(src, weights, dst)
                                          : dnnl::matmul::desc(src, weights, bias, dst);
            const dnnl::matmul::primitive_desc pd(d, attr, eng);
            product = dnnl::matmul(pd);
            packedWeights = pd.weights_desc();
            codes = pd.src_desc();
        }
        const bool keep = packed_ && weightsConst_ && weights_.get_desc() == packedWeights;
        if (packed_ && weightsConst_ && !keep) {
            // Packed for another shape: move them to this one's layout.
            Buffer bytes;
            memory moved = dn::ownedMemory(packedWeights, bytes);
            dnnl::reorder(weights_, moved).execute(dn::threadStream(), weights_, moved);
            dn::threadStream().wait();
            weights_ = moved;
            weightBytes_ = std::move(bytes);
        } else if (!keep) {
            weights_ = weightsConst_ ? dn::ownedMemory(packedWeights, weightBytes_) : memory(userWeights_, eng, nullptr);
            packed_ = false;
        }
        src_ = memory(userSrc, eng, nullptr);
        dst_ = memory(dst, eng, nullptr);
        if (ip.on) {
            // The input's codes, into a buffer the convolutions' sources share.
            codes_ = memory(codes, eng, nullptr);
            dnnl::primitive_attr quantize;
            quantize.set_output_scales(0, {1.0f / ip.srcScale});
            if (ip.srcZero != 0) quantize.set_zero_points(DNNL_ARG_DST, 0, {ip.srcZero});
            const dnnl::reorder::primitive_desc rpd(eng, userSrc, eng, codes, quantize);
            quantize_ = dn::Call(dnnl::reorder(rpd), {{DNNL_ARG_FROM, src_}, {DNNL_ARG_TO, codes_}});
        }
        args_ = {{DNNL_ARG_SRC, ip.on ? codes_ : src_}, {DNNL_ARG_WEIGHTS, weights_}, {DNNL_ARG_DST, dst_}};
        if (!p.bias.empty()) {
            bias_ = memory(bias, eng, nullptr);
            args_.emplace(DNNL_ARG_BIAS, bias_);
        }
        addends_.clear();
        int index = 0;
        for (const auto& post : inside.post) {
            addends_.emplace_back(post.perChannel ? perColumn : dst, eng, nullptr);
            args_.emplace(DNNL_ARG_ATTR_MULTIPLE_POST_OP(index) | DNNL_ARG_SRC_1, addends_.back());
            index += dn::postOpCount(post);
        }
        after_ = dn::afterOpsOf(after, dst_, perColumn, addends_);
        call_ = dn::Call(product, args_);
        built_problem_ = p;
        built_ = true;
    }

    bool isGemm_;
    mutable bool columnsLast_ = true;  // from the latest shape inference
    float alpha_ = 1.0f, beta_ = 1.0f;
    bool transA_ = false, transB_ = false;
    std::unique_ptr<Kernel> reference_;
    Tensor dequantized_;  // weights that came as codes, for the reference
    Fusion fusion_;
    const Tensor* biasAddend_ = nullptr;

    bool built_ = false, packed_ = false, weightsConst_ = false;
    bool streamed_ = false;  // the last plan runs on dense_
    DenseRows dense_;
    Problem built_problem_;
    // The inputs the plan was made for, and the output it gives.
    Shape builtA_, builtB_, builtC_, outShape_;
    bool hasBias_ = false;
    bool serial_ = false;
    memory::desc userWeights_;
    IntegerPlan integer_;
    std::vector<float> scaledBias_;  // the integer path's, in units of its sums
    dn::Call call_, quantize_;
    memory src_, codes_, weights_, bias_, dst_;
    Buffer weightBytes_;  // what constant weights_ points at
    std::vector<memory> addends_;
    std::unordered_map<int, memory> args_;
    std::vector<dn::Call> after_;
};

}  // namespace

void registerMatMulKernels() {
    OpTraits traits = OpTraits::product(1);
    traits.takesWeightCodes = true;
    registerKernel("MatMul", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<MatMulKernel>(n, false); }, traits);
    registerKernel("Gemm", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<MatMulKernel>(n, true); }, traits);
}

}  // namespace vexart
