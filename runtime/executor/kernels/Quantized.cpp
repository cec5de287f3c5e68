// Quantized operators: QuantizeLinear and DequantizeLinear (per tensor or
// per axis), DynamicQuantizeLinear, and the integer products MatMulInteger,
// ConvInteger, QLinearMatMul and QLinearConv. Products accumulate exactly
// in int32 and are requantized once, rounding halves to even as the
// operator set defines.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "core/Broadcast.h"
#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/GridCodes.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

template <typename Q>
Q saturate(float v) {
    const float r = std::nearbyint(v);  // the default rounding mode: halves to even
    if (!(r > static_cast<float>(std::numeric_limits<Q>::lowest()))) return std::numeric_limits<Q>::lowest();
    if (r >= static_cast<float>(std::numeric_limits<Q>::max())) return std::numeric_limits<Q>::max();
    return static_cast<Q>(r);
}

// A scale and zero point: one pair, or one per index along `axis`.
struct QuantParams {
    std::vector<float> scale;
    std::vector<int32_t> zero;
    size_t axis = 0;
    bool perAxis = false;

    static QuantParams of(const Tensor& x, const Tensor& scale, const Tensor* zero, int64_t axisAttr) {
        QuantParams p;
        if (scale.type() != DType::Float) throw ExecError("quantization scale must be float32");
        p.scale.assign(scale.data<float>(), scale.data<float>() + scale.size());
        if (zero != nullptr) {
            for (int64_t v : zero->toInt64()) p.zero.push_back(static_cast<int32_t>(v));
            if (p.zero.size() != p.scale.size()) throw ExecError("scale and zero point differ in size");
        } else {
            p.zero.assign(p.scale.size(), 0);
        }
        p.perAxis = scale.rank() == 1 && scale.size() != 1;
        if (p.perAxis) {
            p.axis = static_cast<size_t>(normAxis(axisAttr, x.rank()));
            if (x.dim(p.axis) != scale.size()) throw ExecError("per-axis scale does not match axis " + std::to_string(p.axis));
        } else if (scale.size() != 1) {
            throw ExecError("scale must be a scalar or a vector");
        }
        return p;
    }

    // Calls f(begin, count, scale, zero) for each run of elements sharing one pair.
    template <typename F>
    void forEachRun(const Shape& shape, F f) const {
        const int64_t total = elementCount(shape);
        if (!perAxis) return f(int64_t(0), total, scale[0], zero[0]);
        const int64_t inner = elementCount(Shape(shape.begin() + static_cast<long>(axis) + 1, shape.end()));
        const int64_t dim = shape[axis];
        for (int64_t o = 0; o < total / std::max<int64_t>(dim * inner, 1); ++o) {
            for (int64_t c = 0; c < dim; ++c) f((o * dim + c) * inner, inner, scale[c], zero[c]);
        }
    }
};

template <typename Q>
void quantizeRange(const float* px, Q* py, int64_t from, int64_t to, float s, int32_t z) {
    quantizeSpan(px + from, py + from, to - from, s, static_cast<float>(z));
}

template <typename Q>
void dequantizeRange(const Q* px, float* py, int64_t from, int64_t to, float s, int32_t z) {
    dequantizeSpan(px + from, py + from, to - from, s, z);
}

// body(from, to) over [b, b + count) in blocks the scope's threads share:
// a tensor that the previous node wrote on several threads is read back
// where each part lies.
template <typename Body>
void inBlocks(int64_t b, int64_t count, Body body) {
    constexpr int64_t kBlock = 4096;
    const int64_t blocks = (count + kBlock - 1) / kBlock;
    parallelFor(blocks, count, [&](int64_t k) { body(b + k * kBlock, b + std::min(count, (k + 1) * kBlock)); });
}

// One scale for the whole tensor treats every element alike, so the
// tensor may stay in a convolution's layout (a per-axis one may not).
template <typename F>
std::unique_ptr<Kernel> gridKernel(F f) {
    struct K : Kernel {
        F fn;
        explicit K(F g) : fn(std::move(g)) {}
        LayoutUse layoutUse(const KernelContext& ctx) const override {
            return ctx.has(1) && ctx.in(1).size() == 1 ? LayoutUse::Elementwise : LayoutUse::Plain;
        }
        void run(KernelContext& ctx) override { fn(ctx); }
    };
    return std::make_unique<K>(std::move(f));
}

void registerLinearQuantization() {
    registerKernel("QuantizeLinear", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axis = Attrs(n).i("axis", 1);
        return gridKernel([axis](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            requireFloat(x, "QuantizeLinear input");
            const Tensor* zero = ctx.has(2) ? &ctx.in(2) : nullptr;
            const DType type = zero != nullptr ? zero->type() : DType::UInt8;
            const auto p = QuantParams::of(x, ctx.in(1), zero, axis);
            Tensor& y = ctx.out(0, type, x.shape());
            const float* px = x.data<float>();
            auto quantize = [&](auto* py) {
                p.forEachRun(x.shape(), [&](int64_t b, int64_t cnt, float s, int32_t z) {
                    inBlocks(b, cnt, [&](int64_t from, int64_t to) { quantizeRange(px, py, from, to, s, z); });
                });
            };
            const bool known = type == DType::UInt8 || type == DType::Int8 || type == DType::UInt16;
            if (known && ctx.dryRun()) return ctx.zeroOutputs();
            if (type == DType::UInt8) return quantize(y.data<uint8_t>());
            if (type == DType::Int8) return quantize(y.data<int8_t>());
            // 16-bit codes: what fixed-point execution holds 16-bit activations in.
            if (type == DType::UInt16) return quantize(y.data<uint16_t>());
            throw ExecError("QuantizeLinear produces int8, uint8 or uint16");
        });
    }, OpTraits::quantization(OpTraits::Quant::Quantize));
    registerKernel("DequantizeLinear", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axis = Attrs(n).i("axis", 1);
        return gridKernel([axis](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto p = QuantParams::of(x, ctx.in(1), ctx.has(2) ? &ctx.in(2) : nullptr, axis);
            Tensor& y = ctx.out(0, DType::Float, x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            float* py = y.data<float>();
            auto dequantize = [&](const auto* px) {
                p.forEachRun(x.shape(), [&](int64_t b, int64_t cnt, float s, int32_t z) {
                    inBlocks(b, cnt, [&](int64_t from, int64_t to) { dequantizeRange(px, py, from, to, s, z); });
                });
            };
            switch (x.type()) {
                case DType::UInt8: return dequantize(x.data<uint8_t>());
                case DType::Int8: return dequantize(x.data<int8_t>());
                case DType::UInt16: return dequantize(x.data<uint16_t>());
                case DType::Int32: return dequantize(x.data<int32_t>());
                default: throw ExecError("DequantizeLinear takes int8, uint8, uint16 or int32");
            }
        });
    }, OpTraits::quantization(OpTraits::Quant::Dequantize));
    // uint8 over a range that always holds 0, fitted to each input.
    registerKernel("DynamicQuantizeLinear", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            requireFloat(x, "DynamicQuantizeLinear input");
            const float* px = x.data<float>();
            float lo = 0, hi = 0;
            for (int64_t i = 0; i < x.size(); ++i) {
                lo = std::min(lo, px[i]);
                hi = std::max(hi, px[i]);
            }
            const float scale = (hi - lo) / 255.0f;
            const uint8_t zero = scale == 0 ? 0 : saturate<uint8_t>(-lo / scale);
            uint8_t* py = ctx.out(0, DType::UInt8, x.shape()).data<uint8_t>();
            for (int64_t i = 0; i < x.size(); ++i) {
                py[i] = scale == 0 ? zero : saturate<uint8_t>(std::nearbyint(px[i] / scale) + zero);
            }
            ctx.out(1, DType::Float, {}).data<float>()[0] = scale;
            ctx.out(2, DType::UInt8, {}).data<uint8_t>()[0] = zero;
        });
    });
}

// Integer operands widened once, zero points subtracted: one for all, or
// one per index of the axis whose elements lie `inner` apart and which has `count` entries.
void widen(const Tensor& t, const Tensor* zero, int64_t inner, int64_t count, std::vector<int32_t>& out) {
    out.resize(static_cast<size_t>(t.size()));
    std::vector<int64_t> z = zero != nullptr ? zero->toInt64() : std::vector<int64_t>{0};
    if (z.empty()) z = {0};
    inner = std::max<int64_t>(inner, 1);
    count = std::max<int64_t>(count, 1);
    auto sub = [&](const auto* p) {
        for (int64_t i = 0; i < t.size(); ++i) {
            const size_t zi = z.size() == 1 ? 0 : static_cast<size_t>((i / inner) % count);
            out[static_cast<size_t>(i)] = static_cast<int32_t>(p[i]) - static_cast<int32_t>(z[zi]);
        }
    };
    switch (t.type()) {
        case DType::UInt8: return sub(t.data<uint8_t>());
        case DType::Int8: return sub(t.data<int8_t>());
        default: throw ExecError("integer products take int8 or uint8 operands");
    }
}

// Batched product of A [..., M, K] and B [..., K, N] (broadcast batches),
// zero points per tensor, per row of A or per column of B.
// Widened operands and sums, kept by the kernel across executions; a
// constant second operand (the weights) is widened once.
struct IntegerScratch {
    std::vector<int32_t> a, b, acc;
    bool bKept = false;
};

void integerMatMul(const Tensor& a, const Tensor* az, const Tensor& b, const Tensor* bz, bool bConstant, Shape& shape,
                   IntegerScratch& s) {
    Shape sa = a.shape(), sb = b.shape();
    if (sa.empty() || sb.empty()) throw ExecError("MatMul operands must have rank 1 or more");
    if (sa.size() == 1) sa.insert(sa.begin(), 1);
    if (sb.size() == 1) sb.push_back(1);
    const int64_t M = sa[sa.size() - 2], K = sa.back(), N = sb.back();
    if (sb[sb.size() - 2] != K) throw ExecError("MatMul inner dimensions differ");
    if (az != nullptr && az->size() > 1 && az->size() != M) throw ExecError("a zero point per row of A is needed");
    if (bz != nullptr && bz->size() > 1 && bz->size() != N) throw ExecError("b zero point per column of B is needed");
    std::vector<int32_t>& wa = s.a;
    std::vector<int32_t>& wb = s.b;
    std::vector<int32_t>& acc = s.acc;
    widen(a, az, K, M, wa);
    if (!s.bKept) widen(b, bz, 1, N, wb);
    s.bKept = bConstant;
    const Shape batchA(sa.begin(), sa.end() - 2), batchB(sb.begin(), sb.end() - 2);
    const Shape batch = broadcastShape(batchA, batchB);
    const auto strideA = broadcastStrides(batchA, batch), strideB = broadcastStrides(batchB, batch);
    const int64_t batches = elementCount(batch);
    acc.assign(static_cast<size_t>(batches * M * N), 0);
    std::vector<int64_t> pos(batch.size(), 0);
    for (int64_t bi = 0; bi < batches; ++bi) {
        int64_t oa = 0, ob = 0;
        for (size_t d = 0; d < batch.size(); ++d) {
            oa += pos[d] * strideA[d];
            ob += pos[d] * strideB[d];
        }
        const int32_t* pa = wa.data() + oa * M * K;
        const int32_t* pb = wb.data() + ob * K * N;
        int32_t* pc = acc.data() + bi * M * N;
        for (int64_t m = 0; m < M; ++m) {
            for (int64_t k = 0; k < K; ++k) {
                const int32_t av = pa[m * K + k];
                for (int64_t n = 0; n < N; ++n) pc[m * N + n] += av * pb[k * N + n];
            }
        }
        for (size_t d = batch.size(); d-- > 0;) {
            if (++pos[d] < batch[d]) break;
            pos[d] = 0;
        }
    }
    shape = batch;
    if (a.rank() > 1) shape.push_back(M);
    if (b.rank() > 1) shape.push_back(N);
}

// Grouped convolution of widened operands into int32 sums [N, M, out...].
void integerConv(const Tensor& x, const Tensor* xz, const Tensor& w, const Tensor* wz, bool wConstant,
                 const WindowAttrs& attrs, int64_t group, Shape& shape, IntegerScratch& s) {
    if (x.rank() < 3 || w.rank() != x.rank()) throw ExecError("convolution operands must share a rank of 3 to 5");
    std::vector<int64_t> kshape = attrs.kernel;
    if (kshape.empty()) kshape.assign(w.shape().begin() + 2, w.shape().end());
    const Window win = attrs.resolve(x.shape(), kshape);
    const int64_t N = x.dim(0), C = x.dim(1), M = w.dim(0);
    if (group <= 0 || C % group != 0 || M % group != 0 || w.dim(1) != C / group) {
        throw ExecError("weight shape " + shapeText(w.shape()) + " does not fit input " + shapeText(x.shape()));
    }
    if (wz != nullptr && wz->size() > 1 && wz->size() != M) throw ExecError("weight zero point per output channel is needed");
    if (xz != nullptr && xz->size() > 1) throw ExecError("input zero point must be a scalar");
    std::vector<int32_t>& wx = s.a;
    std::vector<int32_t>& ww = s.b;
    std::vector<int32_t>& acc = s.acc;
    widen(x, xz, 1, 1, wx);
    if (!s.bKept) widen(w, wz, w.size() / std::max<int64_t>(M, 1), M, ww);
    s.bKept = wConstant;
    const int64_t Cg = C / group, Mg = M / group, outSize = win.outSize(), kSize = win.kSize();
    shape = outputShape(x.shape(), M, win);
    acc.assign(static_cast<size_t>(N * M * outSize), 0);
    parallelFor(N * M, N * M * outSize, [&](int64_t nm) {
        const int64_t n = nm / M, m = nm % M, g = m / Mg;
        int32_t* out = acc.data() + nm * outSize;
        for (int64_t c = 0; c < Cg; ++c) {
            const int32_t* xc = wx.data() + (n * C + g * Cg + c) * win.inSize();
            const int32_t* wc = ww.data() + (m * Cg + c) * kSize;
            for (int64_t od = 0; od < win.out[0]; ++od) {
                for (int64_t oh = 0; oh < win.out[1]; ++oh) {
                    for (int64_t ow = 0; ow < win.out[2]; ++ow) {
                        int32_t sum = 0;
                        forEachTap(win, od, oh, ow, [&](int64_t at, int64_t k) { sum += xc[at] * wc[k]; });
                        out[(od * win.out[1] + oh) * win.out[2] + ow] += sum;
                    }
                }
            }
        }
    });
}

const Tensor* optional(const KernelContext& ctx, size_t i) { return ctx.has(i) ? &ctx.in(i) : nullptr; }

// int32 sums scaled by the operands' scales (per channel where given, along
// `axis` of the output) into the output's quantization.
void requantize(const std::vector<int32_t>& acc, const Shape& shape, size_t axis, const Tensor& sa, const Tensor& sb,
                const Tensor& sy, const Tensor& zy, const Tensor* bias, KernelContext& ctx) {
    requireFloat(sa, "scale");
    requireFloat(sb, "scale");
    requireFloat(sy, "scale");
    // Per tensor by definition; an empty one would be read past its end.
    if (sa.size() != 1 || sy.size() != 1 || zy.size() != 1) {
        throw ExecError("the input scale, output scale and output zero point must be single values");
    }
    const int64_t channels = shape.empty() ? 1 : shape[axis];
    const int64_t inner = elementCount(Shape(shape.begin() + static_cast<long>(std::min(axis + 1, shape.size())), shape.end()));
    if (sb.size() != 1 && sb.size() != channels) throw ExecError("weight scale per output channel is needed");
    std::vector<int64_t> b;
    if (bias != nullptr) {
        b = bias->toInt64();
        if (static_cast<int64_t>(b.size()) != channels) throw ExecError("one bias per output channel is needed");
    }
    const float yScale = sy.data<float>()[0];
    const float yZero = static_cast<float>(zy.scalarAsDouble(0));
    Tensor& y = ctx.out(0, zy.type(), shape);
    auto store = [&](auto* py) {
        using Q = std::remove_pointer_t<decltype(py)>;
        for (size_t i = 0; i < acc.size(); ++i) {
            const auto c = static_cast<size_t>((static_cast<int64_t>(i) / std::max<int64_t>(inner, 1)) % std::max<int64_t>(channels, 1));
            const float s = sa.data<float>()[0] * sb.data<float>()[sb.size() == 1 ? 0 : c] / yScale;
            const auto sum = static_cast<float>(static_cast<int64_t>(acc[i]) + (b.empty() ? 0 : b[c]));
            py[i] = saturate<Q>(std::nearbyint(sum * s) + yZero);
        }
    };
    if (zy.type() == DType::UInt8) return store(y.data<uint8_t>());
    if (zy.type() == DType::Int8) return store(y.data<int8_t>());
    throw ExecError("quantized outputs are int8 or uint8");
}

// MatMulInteger, ConvInteger, QLinearMatMul and QLinearConv: integer sums,
// requantized when the output is quantized. Inputs: the plain forms take
// (a, b, a zero, b zero), the quantized ones (a, a scale, a zero, b, b scale,
// b zero, y scale, y zero[, bias]).
class IntegerProductKernel : public Kernel {
public:
    IntegerProductKernel(const onnx::NodeProto& n, bool conv, bool quantized)
        : attrs_(Attrs(n)), group_(Attrs(n).i("group", 1)), conv_(conv), quantized_(quantized) {}
    void run(KernelContext& ctx) override {
        const size_t a = 0, az = 2, b = quantized_ ? 3 : 1, bz = quantized_ ? 5 : 3;
        // Weights stay widened while they and their zero point are constants.
        const bool bConstant = ctx.isConstant(b) && (!ctx.has(bz) || ctx.isConstant(bz));
        Shape shape;
        if (conv_) {
            integerConv(ctx.in(a), optional(ctx, az), ctx.in(b), optional(ctx, bz), bConstant, attrs_, group_, shape, s_);
        } else {
            integerMatMul(ctx.in(a), optional(ctx, az), ctx.in(b), optional(ctx, bz), bConstant, shape, s_);
        }
        if (!quantized_) {
            std::copy(s_.acc.begin(), s_.acc.end(), ctx.out(0, DType::Int32, shape).data<int32_t>());
            return;
        }
        // A product's weight scale runs along B's columns, a convolution's along its channels.
        const size_t axis = conv_ ? 1 : shape.empty() ? 0 : shape.size() - 1;
        requantize(s_.acc, shape, axis, ctx.in(1), ctx.in(4), ctx.in(6), ctx.in(7), conv_ ? optional(ctx, 8) : nullptr, ctx);
    }

private:
    WindowAttrs attrs_;
    int64_t group_;
    bool conv_, quantized_;
    IntegerScratch s_;
};

void registerIntegerProducts() {
    const std::tuple<const char*, bool, bool> ops[] = {{"MatMulInteger", false, false},
                                                       {"ConvInteger", true, false},
                                                       {"QLinearMatMul", false, true},
                                                       {"QLinearConv", true, true}};
    for (const auto& [name, conv, quantized] : ops) {
        const bool c = conv, q = quantized;
        registerKernel(name, [c, q](const onnx::NodeProto& n, int64_t) { return std::make_unique<IntegerProductKernel>(n, c, q); });
    }
}

}  // namespace

void registerQuantizedKernels() {
    registerLinearQuantization();
    registerIntegerProducts();
}

}  // namespace vexart
