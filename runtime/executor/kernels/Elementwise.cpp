// Element-wise operators: arithmetic, comparison and logic with
// broadcasting, unary math, activations, Cast, Where and Clip.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <type_traits>

#include "core/Broadcast.h"
#include "core/Dispatch.h"
#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/Activation.h"
#include "kernels/GridCodes.h"
#include "kernels/VectorMath.h"

namespace vexart {

namespace {

// y[i] = op(x[i]) over the library's threads; each element on its own, so
// any thread count gives the same bits.
template <typename T, typename R, typename Op>
void mapInto(const T* x, R* y, int64_t n, Op op) {
    parallelFor(n, n, [x, y, &op](int64_t i) { y[i] = op(x[i]); });
}

template <typename T, typename R, typename Op>
void zipInto(const T* a, const T* b, R* y, int64_t n, Op op) {
    parallelFor(n, n, [a, b, y, &op](int64_t i) { y[i] = op(a[i], b[i]); });
}

// z[k] = op(x[k * step[0]], y[k * step[1]]) for k < n; operand steps of 1
// or 0 (a bias or slope per channel, a row against a column) run as vector
// loops of their own.
template <typename T, typename R, typename Op>
void binaryRow(const T* x, const T* y, R* z, int64_t n, const std::array<int64_t, 2>& step, Op& op) {
    if (step[0] == 1 && step[1] == 0) {
        const T v = y[0];
        VEXA_SIMD
        for (int64_t k = 0; k < n; ++k) z[k] = op(x[k], v);
    } else if (step[0] == 0 && step[1] == 1) {
        const T v = x[0];
        VEXA_SIMD
        for (int64_t k = 0; k < n; ++k) z[k] = op(v, y[k]);
    } else if (step[0] == 1 && step[1] == 1) {
        VEXA_SIMD
        for (int64_t k = 0; k < n; ++k) z[k] = op(x[k], y[k]);
    } else {
        for (int64_t k = 0; k < n; ++k) z[k] = op(x[k * step[0]], y[k * step[1]]);
    }
}

template <typename T, typename R, typename Op>
void binaryLoop(const Tensor& a, const Tensor& b, Tensor& out, Op op) {
    const T* pa = a.data<T>();
    const T* pb = b.data<T>();
    R* po = out.data<R>();
    if (a.shape() == b.shape()) return zipInto(pa, pb, po, out.size(), op);
    if (b.size() == 1 && out.size() == a.size()) {
        const T v = pb[0];
        return mapInto(pa, po, out.size(), [op, v](T x) { return op(x, v); });
    }
    Shape shape = out.shape();
    auto sa = broadcastStrides(a.shape(), shape);
    auto sb = broadcastStrides(b.shape(), shape);
    mergeBroadcastAxes(shape, sa, sb);
    // Rows of the last axis spread over the threads.
    auto row = [&](int64_t o, const std::array<int64_t, 2>& at, int64_t n, const std::array<int64_t, 2>& step) {
        binaryRow(pa + at[0], pb + at[1], po + o, n, step, op);
    };
    // A few shares per thread where threads will run; one where they will not
    // (each share sets up its own walk).
    const int64_t rows = broadcastRows(shape);
    const int64_t chunks = std::min<int64_t>(rows, out.size() > kParallelWork ? 4 * teamSize() : 1);
    parallelFor(chunks, out.size(), [&](int64_t c) {
        forEachBroadcastRows<2>(shape, {&sa, &sb}, rows * c / chunks, rows * (c + 1) / chunks, row);
    });
}

enum class Bin { Add, Sub, Mul, Div, Pow, Max, Min, Mod, FMod, PRelu };
enum class Cmp { Equal, Less, Greater, LessEq, GreaterEq };
enum class Logic { And, Or, Xor };

template <typename T>
T pyMod(T a, T b) {
    if constexpr (std::is_floating_point_v<T>) {
        T r = std::fmod(a, b);
        if (r != 0 && ((r < 0) != (b < 0))) r += b;
        return r;
    } else if constexpr (std::is_signed_v<T>) {
        if (b == 0 || b == T(-1)) return 0;  // x % 0 is undefined in the operator set; never trap
        T r = static_cast<T>(a % b);
        if (r != 0 && ((r < 0) != (b < 0))) r = static_cast<T>(r + b);
        return r;
    } else {
        return b == 0 ? 0 : static_cast<T>(a % b);
    }
}

template <typename T>
T applyBin(Bin op, T a, T b) {
    switch (op) {
        case Bin::Add: return wrapAdd(a, b);
        case Bin::Sub: return wrapSub(a, b);
        case Bin::Mul: return wrapMul(a, b);
        case Bin::Div:
            if constexpr (std::is_integral_v<T>) {
                if (b == 0) return 0;
                if (std::is_signed_v<T> && b == T(-1)) return wrapNeg(a);
            }
            return static_cast<T>(a / b);
        case Bin::Pow: return castValue<T>(std::pow(static_cast<double>(a), static_cast<double>(b)));
        case Bin::Max: return a > b ? a : b;
        case Bin::Min: return a < b ? a : b;
        case Bin::Mod: return pyMod(a, b);
        case Bin::FMod:
            if constexpr (std::is_floating_point_v<T>) {
                return std::fmod(a, b);
            } else {
                return b == 0 || (std::is_signed_v<T> && b == T(-1)) ? 0 : static_cast<T>(a % b);
            }
        case Bin::PRelu: return a < 0 ? wrapMul(a, b) : a;
    }
    return a;
}

bool isHalf(DType t) { return t == DType::Float16 || t == DType::BFloat16; }

class BinaryKernel : public Kernel {
public:
    // `perChannel`: a one-dimensional second operand runs along axis 1
    // (PRelu's slope before broadcasting rules reached it).
    explicit BinaryKernel(Bin op, bool perChannel = false) : op_(op), perChannel_(perChannel) {}
    // Arithmetic whose only reader is a QuantizeLinear (a gate or a sum put
    // back on a grid) writes the codes itself: one pass over the output,
    // a quarter of the bytes.
    bool fusable() const override { return op_ == Bin::Add || op_ == Bin::Sub || op_ == Bin::Mul || op_ == Bin::Div; }
    bool writesCodes() const override { return true; }
    bool appliesPosts() const override { return false; }
    void setFusion(Fusion f) override { codes_ = f.codes; }
    bool inferShapes(const KernelContext& ctx, std::vector<Shape>& out) const override {
        if (!ctx.has(0) || !ctx.has(1)) return false;
        out = {broadcastShape(ctx.in(0).shape(), ctx.in(1).shape())};
        return true;
    }
    void run(KernelContext& ctx) override {
        const Tensor* first = &ctx.in(0);
        const QuantGrid* grid = readsCodes(ctx) ? ctx.grid(0) : nullptr;
        if (grid != nullptr && codes_.on) {
            // Codes in, codes out: a gate on a grid, dequantized a span at a time.
            const Tensor& b = ctx.in(1);
            Tensor& out = ctx.out(0, codes_.type, broadcastShape(first->shape(), b.shape()));
            const bool in8 = first->type() == DType::Int8, out8 = codes_.type == DType::Int8;
            if (in8) return out8 ? codesLoop<int8_t, int8_t>(*first, b, out, grid) : codesLoop<uint8_t, int8_t>(*first, b, out, grid);
            return out8 ? codesLoop<int8_t, uint8_t>(*first, b, out, grid) : codesLoop<uint8_t, uint8_t>(*first, b, out, grid);
        }
        if (grid != nullptr) {
            dequantizeCodes(*first, *grid, dequantized_);
            first = &dequantized_;
        }
        const Tensor& a = *first;
        const Tensor* b = &ctx.in(1);
        if (b->type() != a.type()) {
            castTensor(*b, a.type(), converted_);
            b = &converted_;
        }
        if (perChannel_ && b->rank() == 1 && a.rank() > 2 && b->dim(0) == a.dim(1)) {
            Shape s(a.rank() - 1, 1);
            s[0] = b->dim(0);
            slope_.view(b->type(), s, const_cast<void*>(b->raw()));
            b = &slope_;
        }
        // The slope broadcasts one way: planning shapes the output like x.
        if (op_ == Bin::PRelu && broadcastShape(a.shape(), b->shape()) != a.shape()) {
            throw ExecError("PRelu slope " + shapeText(b->shape()) + " does not broadcast to the input " + shapeText(a.shape()));
        }
        if (codes_.on) {
            if (a.type() != DType::Float) throw ExecError("QuantizeLinear input must be float32");
            Tensor& out = ctx.out(0, codes_.type, broadcastShape(a.shape(), b->shape()));
            return codes_.type == DType::Int8 ? codesLoop<int8_t, float>(a, *b, out) : codesLoop<uint8_t, float>(a, *b, out);
        }
        if (isHalf(a.type())) {
            // Computed in float32 and rounded once.
            castTensor(a, DType::Float, wideA_);
            castTensor(*b, DType::Float, wideB_);
            wideOut_.reset(DType::Float, broadcastShape(a.shape(), b->shape()));
            const Bin op = op_;
            binaryLoop<float, float>(wideA_, wideB_, wideOut_, [op](float x, float y) { return applyBin(op, x, y); });
            castTensor(wideOut_, a.type(), ctx.out(0, a.type(), wideOut_.shape()));
            return;
        }
        Tensor& out = ctx.out(0, a.type(), broadcastShape(a.shape(), b->shape()));
        const Bin op = op_;
        if (a.type() == DType::Float) {
            // The common float operators as plain vector loops, not through the
            // operator switch per element.
            switch (op) {
                case Bin::Add: return binaryLoop<float, float>(a, *b, out, std::plus<>());
                case Bin::Sub: return binaryLoop<float, float>(a, *b, out, std::minus<>());
                case Bin::Mul: return binaryLoop<float, float>(a, *b, out, std::multiplies<>());
                case Bin::Div: return binaryLoop<float, float>(a, *b, out, std::divides<>());
                case Bin::PRelu:
                    // No product on one side of a branch: it might trap, and
                    // AVX2 (no masks) left the loop scalar, 2.5x as slow. The
                    // slope is chosen first, so an infinite or NaN one never
                    // meets a positive x; only the sign of a zero result can
                    // differ from x < 0 ? x * s : x.
                    return binaryLoop<float, float>(a, *b, out, [](float x, float s) {
                        return std::max(x, 0.0f) + (x < 0 ? s : 0.0f) * std::min(x, 0.0f);
                    });
                case Bin::Max: return binaryLoop<float, float>(a, *b, out, [](float x, float y) { return x > y ? x : y; });
                case Bin::Min: return binaryLoop<float, float>(a, *b, out, [](float x, float y) { return x < y ? x : y; });
                case Bin::Pow: {
                    if (b->size() != 1 || out.size() != a.size()) break;
                    const float e = b->data<float>()[0];
                    // Squaring (power spectra, variances): x * x is the correctly
                    // rounded square, as pow gives it.
                    if (e == 2.0f) {
                        return mapInto(a.data<float>(), out.data<float>(), a.size(), [](float x) { return x * x; });
                    }
                    if (std::isfinite(e) && e != std::nearbyint(e)) return powerInto(a.data<float>(), out.data<float>(), a.size(), e);
                    break;
                }
                default: break;
            }
        }
        VEXA_DISPATCH_NUMERIC(a.type(), binaryLoop<T, T>(a, *b, out, [op](T x, T y) { return applyBin(op, x, y); }))
    }

private:
    // Input 0 as the codes of its dequantization (a product: see
    // passes/CodesInput.h), the other operand float.
    bool readsCodes(const KernelContext& ctx) const {
        const QuantGrid* grid = ctx.grid(0);
        const DType t = ctx.in(0).type();
        return grid != nullptr && grid->perTensor() && (t == DType::UInt8 || t == DType::Int8) &&
               ctx.in(1).type() == DType::Float && fusable();
    }

    static void dequantizeCodes(const Tensor& codes, const QuantGrid& grid, Tensor& out) {
        out.reset(DType::Float, codes.shape());
        const float s = grid.scales[0];
        const int32_t z = grid.zeroPoints[0];
        float* y = out.data<float>();
        constexpr int64_t kBlock = 4096;
        const int64_t n = codes.size();
        parallelFor((n + kBlock - 1) / kBlock, n, [&](int64_t k) {
            const int64_t at = k * kBlock, m = std::min(kBlock, n - at);
            if (codes.type() == DType::Int8) return dequantizeSpan(codes.data<int8_t>() + at, y + at, m, s, z);
            dequantizeSpan(codes.data<uint8_t>() + at, y + at, m, s, z);
        });
    }

    template <typename Q, typename A>
    void codesLoop(const Tensor& a, const Tensor& b, Tensor& out, const QuantGrid* grid = nullptr) const {
        switch (op_) {
            case Bin::Add: return codesInto<Q, A>(a, b, out, grid, std::plus<>());
            case Bin::Sub: return codesInto<Q, A>(a, b, out, grid, std::minus<>());
            case Bin::Mul: return codesInto<Q, A>(a, b, out, grid, std::multiplies<>());
            case Bin::Div: return codesInto<Q, A>(a, b, out, grid, std::divides<>());
            default: throw ExecError("no fused quantization for this operator");
        }
    }

    // binaryLoop's rows computed into a span that stays in the first cache
    // level and is put on the grid from there. Consecutive rows lie end to
    // end in the output, so short rows (16 channels of a blocked layout)
    // share a span. Codes of A read through `grid` are dequantized as
    // DequantizeLinear does, a span at a time.
    template <typename Q, typename A, typename Op>
    void codesInto(const Tensor& a, const Tensor& b, Tensor& out, const QuantGrid* grid, Op op) const {
        const A* pa = a.data<A>();
        const float* pb = b.data<float>();
        Q* po = out.data<Q>();
        const float scale = codes_.scale, zero = static_cast<float>(codes_.zero);
        const float inScale = grid != nullptr ? grid->scales[0] : 1.0f;
        const int32_t inZero = grid != nullptr ? grid->zeroPoints[0] : 0;
        constexpr int64_t kSpan = 256;
        // Where b is one row repeated along rows of a that lie end to end
        // (a gate per channel in a channels-last or blocked layout: rows of
        // 16), the rows run as one and b's row is repeated into the span:
        // rows that short would cost more to walk than to compute.
        int64_t cycle = 0;
        Shape shape = out.shape();
        std::vector<int64_t> sa, sb;
        if (a.shape() != b.shape()) {
            sa = broadcastStrides(a.shape(), shape);
            sb = broadcastStrides(b.shape(), shape);
            mergeBroadcastAxes(shape, sa, sb);
            const size_t r = shape.size();
            if (r >= 2 && shape[r - 1] < kSpan / 4 && sa[r - 1] == 1 && sb[r - 1] == 1 && sa[r - 2] == shape[r - 1] &&
                sb[r - 2] == 0) {
                cycle = shape[r - 1];
                shape[r - 2] *= cycle;
                sa[r - 2] = 1;
                shape.pop_back();
                sa.pop_back();
                sb.pop_back();
            }
        }
        // Part [k, k + m) of a row into `to`.
        auto part = [&](const A* x, const float* y, float* to, int64_t m, std::array<int64_t, 2> step, int64_t k) {
            float repeated[kSpan];
            if (cycle > 0) {
                for (int64_t j = 0, p = k % cycle; j < m; p = 0) {
                    const int64_t c = std::min(cycle - p, m - j);
                    std::copy(y + p, y + p + c, repeated + j);
                    j += c;
                }
                y = repeated;
                step[1] = 1;
            }
            if constexpr (std::is_same_v<A, float>) {
                binaryRow(x, y, to, m, step, op);
            } else {
                float values[kSpan];
                if (step[0] <= 1) {
                    dequantizeSpan(x, values, step[0] == 0 ? 1 : m, inScale, inZero);
                } else {
                    for (int64_t j = 0; j < m; ++j) values[j] = static_cast<float>(int32_t{x[j * step[0]]} - inZero) * inScale;
                }
                binaryRow(values, y, to, m, {step[0] == 0 ? 0 : 1, step[1]}, op);
            }
        };
        auto share = [&](auto walk) {
            float span[kSpan];
            int64_t filled = 0, start = 0;
            walk([&](int64_t o, const std::array<int64_t, 2>& at, int64_t n, const std::array<int64_t, 2>& step) {
                for (int64_t k = 0; k < n;) {
                    if (filled == 0) start = o + k;
                    const int64_t m = std::min(kSpan - filled, n - k);
                    part(pa + at[0] + k * step[0], pb + at[1] + k * step[1], span + filled, m, step, k);
                    filled += m;
                    k += m;
                    if (filled == kSpan) {
                        quantizeSpan(span, po + start, filled, scale, zero);
                        filled = 0;
                    }
                }
            });
            if (filled > 0) quantizeSpan(span, po + start, filled, scale, zero);
        };
        if (a.shape() == b.shape()) {
            // One row in blocks the threads share.
            constexpr int64_t kBlock = 4096;
            const int64_t n = out.size();
            return parallelFor((n + kBlock - 1) / kBlock, n, [&](int64_t c) {
                share([&](auto row) { row(c * kBlock, {c * kBlock, c * kBlock}, std::min(kBlock, n - c * kBlock), {1, 1}); });
            });
        }
        const int64_t rows = broadcastRows(shape);
        const int64_t chunks = std::min<int64_t>(rows, out.size() > kParallelWork ? 4 * teamSize() : 1);
        parallelFor(chunks, out.size(), [&](int64_t c) {
            share([&](auto row) {
                forEachBroadcastRows<2>(shape, {&sa, &sb}, rows * c / chunks, rows * (c + 1) / chunks, row);
            });
        });
    }

    Bin op_;
    bool perChannel_;
    Fusion::Codes codes_;
    Tensor converted_, slope_, wideA_, wideB_, wideOut_, dequantized_;
};

// The comparison chosen once, outside the loop, so that the loop vectorises.
template <typename T>
void compareLoop(Cmp op, const Tensor& a, const Tensor& b, Tensor& out) {
    switch (op) {
        case Cmp::Equal: return binaryLoop<T, uint8_t>(a, b, out, [](T x, T y) -> uint8_t { return x == y; });
        case Cmp::Less: return binaryLoop<T, uint8_t>(a, b, out, [](T x, T y) -> uint8_t { return x < y; });
        case Cmp::Greater: return binaryLoop<T, uint8_t>(a, b, out, [](T x, T y) -> uint8_t { return x > y; });
        case Cmp::LessEq: return binaryLoop<T, uint8_t>(a, b, out, [](T x, T y) -> uint8_t { return x <= y; });
        case Cmp::GreaterEq: return binaryLoop<T, uint8_t>(a, b, out, [](T x, T y) -> uint8_t { return x >= y; });
    }
}

class CompareKernel : public Kernel {
public:
    explicit CompareKernel(Cmp op) : op_(op) {}
    void run(KernelContext& ctx) override {
        const Tensor& a = ctx.in(0);
        const Tensor& b = ctx.in(1);
        if (a.type() != b.type()) throw ExecError("comparison of different element types");
        Tensor& out = ctx.out(0, DType::Bool, broadcastShape(a.shape(), b.shape()));
        if (a.type() == DType::Bool) return compareLoop<uint8_t>(op_, a, b, out);
        VEXA_DISPATCH_NUMERIC(a.type(), compareLoop<T>(op_, a, b, out))
    }

private:
    Cmp op_;
};

std::unique_ptr<Kernel> logicKernel(Logic op) {
    return lambdaKernel([op](KernelContext& ctx) {
        const Tensor& a = ctx.in(0);
        const Tensor& b = ctx.in(1);
        Tensor& out = ctx.out(0, DType::Bool, broadcastShape(a.shape(), b.shape()));
        binaryLoop<uint8_t, uint8_t>(a, b, out, [op](uint8_t x, uint8_t y) -> uint8_t {
            const bool p = x != 0, q = y != 0;
            return op == Logic::And ? (p && q) : op == Logic::Or ? (p || q) : (p != q);
        });
    });
}

// Sum, Mean, Max, Min over any number of inputs.
std::unique_ptr<Kernel> variadicKernel(Bin op, bool mean) {
    struct K : Kernel {
        Bin op;
        bool mean;
        Tensor acc;
        Tensor tmp;
        K(Bin o, bool m) : op(o), mean(m) {}
        std::vector<Tensor> wide;  // half-precision inputs, in float32
        void run(KernelContext& ctx) override {
            const DType type = ctx.in(0).type();
            const bool half = isHalf(type);
            if (half) {
                wide.resize(ctx.inputCount());
                for (size_t i = 0; i < ctx.inputCount(); ++i) castTensor(ctx.in(i), DType::Float, wide[i]);
            }
            auto input = [&](size_t i) -> const Tensor& { return half ? wide[i] : ctx.in(i); };
            const Tensor& first = input(0);
            Shape shape = first.shape();
            for (size_t i = 1; i < ctx.inputCount(); ++i) shape = broadcastShape(shape, input(i).shape());
            Tensor& out = ctx.out(0, type, shape);
            Tensor& sum = half ? tmpOut : out;
            sum.reset(first.type(), shape);
            VEXA_DISPATCH_NUMERIC(first.type(), {
                acc.reset(first.type(), first.shape());
                std::memcpy(acc.raw(), first.raw(), first.bytes());
                for (size_t i = 1; i < ctx.inputCount(); ++i) {
                    tmp.reset(first.type(), broadcastShape(acc.shape(), input(i).shape()));
                    const Bin o = op;
                    binaryLoop<T, T>(acc, input(i), tmp, [o](T x, T y) { return applyBin(o, x, y); });
                    std::swap(acc, tmp);
                }
                T* po = sum.data<T>();
                const T* pa = acc.data<T>();
                const auto n = static_cast<T>(ctx.inputCount());
                for (int64_t k = 0; k < sum.size(); ++k) po[k] = mean ? static_cast<T>(pa[k] / n) : pa[k];
            })
            if (half) castTensor(tmpOut, type, out);
        }
        Tensor tmpOut;
    };
    return std::make_unique<K>(op, mean);
}

// Traits of element-wise operators: layout-free; `computes` when a
// fixed-point runtime quantizes their result.
OpTraits elementwise(bool computes = false) {
    OpTraits t;
    t.layoutFree = true;
    t.computesFloat = computes;
    return t;
}

using Rule = OpTraits::ShapeRule::Kind;

// An activation that may run as a post-op, with its attribute defaults.
OpTraits activation(Fusion::Act act, float alpha = std::nanf(""), float beta = std::nanf("")) {
    OpTraits t = elementwise(true);
    t.fusesAs = act;
    t.alpha = alpha;
    t.beta = beta;
    return t;
}

// Unary float functions of x and the node's alpha and beta (defaults from
// `traits`). Float tensors run on oneDNN where it has the function: the
// activations a convolution fuses (their post-op steps), or `algorithm`.
template <typename F>
void registerUnaryFloat(const char* name, F f, OpTraits traits = {},
                        dnnl::algorithm algorithm = dnnl::algorithm::undef) {
    registerKernel(name, [f, traits, algorithm](const onnx::NodeProto& node, int64_t) {
        const Attrs attrs(node);
        const float alpha = traits.alphaOr(attrs.f("alpha", std::nanf("")));
        const float beta = traits.betaOr(attrs.f("beta", std::nanf("")));
        auto loop = lambdaKernel([f, alpha, beta](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, x.type(), x.shape());
            VEXA_DISPATCH_FLOAT(x.type(), {
                mapInto(x.data<T>(), out.data<T>(), x.size(),
                        [&](T v) { return static_cast<T>(f(v, alpha, beta)); });
            })
        });
        std::vector<onednn::Eltwise> steps;
        if (traits.fusesAs) {
            Fusion::Post p;
            p.act = *traits.fusesAs;
            p.alpha = std::isnan(alpha) ? 0.0f : alpha;
            p.beta = std::isnan(beta) ? 0.0f : beta;
            steps = onednn::eltwisesOf(p);
        } else if (algorithm != dnnl::algorithm::undef) {
            steps = {{algorithm, 0.0f, 0.0f}};
        }
        return steps.empty() ? std::move(loop) : eltwiseKernel(std::move(steps), std::move(loop));
    }, traits.shapedLike(Rule::LikeInput));
}

// A float function with a vectorised float32 loop `v` (kernels/VectorMath.h);
// `f` serves the other float types.
template <typename F>
void registerUnaryVectorised(const char* name, F f, void (*v)(const float*, float*, int64_t), OpTraits traits = {}) {
    registerKernel(name, [f, v](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([f, v](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, x.type(), x.shape());
            if (x.type() == DType::Float) return v(x.data<float>(), out.data<float>(), x.size());
            VEXA_DISPATCH_FLOAT(x.type(), {
                mapInto(x.data<T>(), out.data<T>(), x.size(), [&](T t) { return static_cast<T>(f(static_cast<double>(t))); });
            })
        });
    }, traits.shapedLike(Rule::LikeInput));
}

template <typename F>
void registerUnaryNumeric(const char* name, F f, OpTraits traits = {}) {
    registerKernel(name, [f](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([f](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, x.type(), x.shape());
            VEXA_DISPATCH_NUMERIC(x.type(), {
                mapInto(x.data<T>(), out.data<T>(), x.size(), [&](T v) { return static_cast<T>(f(v)); });
            })
        });
    }, traits.shapedLike(Rule::LikeInput));
}

}  // namespace

void registerElementwiseKernels() {
    using A = OpTraits::Arith;
    const std::tuple<const char*, Bin, A> binaries[] = {{"Add", Bin::Add, A::Add}, {"Sub", Bin::Sub, A::Sub},
                                                        {"Mul", Bin::Mul, A::Mul}, {"Div", Bin::Div, A::Div},
                                                        {"Pow", Bin::Pow, A::Pow}, {"PRelu", Bin::PRelu, A::None}};
    for (const auto& [name, op, arith] : binaries) {
        const Bin o = op;
        // PRelu's slope broadcasts to the input (along axis 1 before opset
        // 7): the output is shaped like the input either way.
        OpTraits traits = elementwise(o == Bin::PRelu);
        traits = traits.shapedLike(o == Bin::PRelu ? Rule::LikeInput : Rule::Broadcast);
        traits.arith = arith;
        // A gate times a tensor on a grid reads the tensor's codes.
        traits.takesCodes = o == Bin::Mul;
        registerKernel(name, [o](const onnx::NodeProto&, int64_t opset) {
            return std::make_unique<BinaryKernel>(o, o == Bin::PRelu && opset < 7);
        }, traits);
    }
    registerKernel("BitShift", [](const onnx::NodeProto& n, int64_t) {
        const std::string dir = Attrs(n).s("direction", "");
        if (dir != "LEFT" && dir != "RIGHT") throw ExecError("BitShift direction must be LEFT or RIGHT");
        const bool left = dir == "LEFT";
        return lambdaKernel([left](KernelContext& ctx) {
            const Tensor& a = ctx.in(0);
            const Tensor& b = ctx.in(1);
            if (b.type() != a.type()) throw ExecError("BitShift operands differ in type");
            Tensor& out = ctx.out(0, a.type(), broadcastShape(a.shape(), b.shape()));
            auto shift = [left](auto x, auto by) -> decltype(x) {
                using U = decltype(x);
                // Shifting by the width or more leaves nothing.
                if (by >= sizeof(U) * 8) return 0;
                return static_cast<U>(left ? x << by : x >> by);
            };
            switch (a.type()) {
                case DType::UInt8: return binaryLoop<uint8_t, uint8_t>(a, b, out, shift);
                case DType::UInt16: return binaryLoop<uint16_t, uint16_t>(a, b, out, shift);
                case DType::UInt32: return binaryLoop<uint32_t, uint32_t>(a, b, out, shift);
                case DType::UInt64: return binaryLoop<uint64_t, uint64_t>(a, b, out, shift);
                default: throw ExecError("BitShift takes unsigned integers");
            }
        });
    });
    registerKernel("Mod", [](const onnx::NodeProto& n, int64_t) {
        return std::make_unique<BinaryKernel>(Attrs(n).i("fmod", 0) != 0 ? Bin::FMod : Bin::Mod);
    }, OpTraits{}.shapedLike(Rule::Broadcast));
    const std::pair<const char*, Cmp> comparisons[] = {{"Equal", Cmp::Equal},
                                                       {"Less", Cmp::Less},
                                                       {"Greater", Cmp::Greater},
                                                       {"LessOrEqual", Cmp::LessEq},
                                                       {"GreaterOrEqual", Cmp::GreaterEq}};
    for (const auto& [name, op] : comparisons) {
        const Cmp o = op;
        registerKernel(name, [o](const onnx::NodeProto&, int64_t) { return std::make_unique<CompareKernel>(o); },
                       OpTraits{}.shapedLike(Rule::Broadcast, 0, true));
    }
    const OpTraits toBool = OpTraits{}.shapedLike(Rule::Broadcast, 0, true);
    registerKernel("And", [](const onnx::NodeProto&, int64_t) { return logicKernel(Logic::And); }, toBool);
    registerKernel("Or", [](const onnx::NodeProto&, int64_t) { return logicKernel(Logic::Or); }, toBool);
    registerKernel("Xor", [](const onnx::NodeProto&, int64_t) { return logicKernel(Logic::Xor); }, toBool);
    registerKernel("Sum", [](const onnx::NodeProto&, int64_t) { return variadicKernel(Bin::Add, false); },
                   elementwise().shapedLike(Rule::Broadcast));
    registerKernel("Mean", [](const onnx::NodeProto&, int64_t) { return variadicKernel(Bin::Add, true); },
                   elementwise().shapedLike(Rule::Broadcast));
    registerKernel("Max", [](const onnx::NodeProto&, int64_t) { return variadicKernel(Bin::Max, false); },
                   elementwise().shapedLike(Rule::Broadcast));
    registerKernel("Min", [](const onnx::NodeProto&, int64_t) { return variadicKernel(Bin::Min, false); },
                   elementwise().shapedLike(Rule::Broadcast));

    registerKernel("Not", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, DType::Bool, x.shape());
            mapInto(x.data<uint8_t>(), out.data<uint8_t>(), x.size(), [](uint8_t v) -> uint8_t { return v == 0; });
        });
    }, OpTraits{}.shapedLike(Rule::LikeInput));

    using F = float;
    registerUnaryFloat("Relu", [](double x, F, F) { return x > 0 ? x : 0.0; }, activation(Fusion::Act::Relu));
    registerUnaryFloat("Sigmoid", [](double x, F, F) { return 1.0 / (1.0 + std::exp(-x)); }, activation(Fusion::Act::Sigmoid));
    registerUnaryFloat("Tanh", [](double x, F, F) { return std::tanh(x); }, activation(Fusion::Act::Tanh));
    registerUnaryVectorised("Exp", [](double x) { return std::exp(x); }, expInto, elementwise());
    registerUnaryVectorised("Log", [](double x) { return std::log(x); }, logInto, elementwise());
    registerUnaryFloat("Sqrt", [](double x, F, F) { return std::sqrt(x); }, elementwise(), dnnl::algorithm::eltwise_sqrt);
    registerUnaryFloat("Reciprocal", [](double x, F, F) { return 1.0 / x; }, elementwise());
    registerUnaryFloat("Floor", [](double x, F, F) { return std::floor(x); }, elementwise());
    registerUnaryFloat("Ceil", [](double x, F, F) { return std::ceil(x); }, elementwise());
    registerUnaryFloat("Round", [](double x, F, F) { return std::nearbyint(x); }, elementwise());
    registerUnaryFloat("Tan", [](double x, F, F) { return std::tan(x); });
    registerUnaryFloat("Asin", [](double x, F, F) { return std::asin(x); });
    registerUnaryFloat("Acos", [](double x, F, F) { return std::acos(x); });
    registerUnaryFloat("Atan", [](double x, F, F) { return std::atan(x); });
    registerUnaryFloat("Sinh", [](double x, F, F) { return std::sinh(x); });
    registerUnaryFloat("Cosh", [](double x, F, F) { return std::cosh(x); });
    registerUnaryFloat("Asinh", [](double x, F, F) { return std::asinh(x); });
    registerUnaryFloat("Acosh", [](double x, F, F) { return std::acosh(x); });
    registerUnaryFloat("Atanh", [](double x, F, F) { return std::atanh(x); });
    // Vectorised for float32: GELU written out, positional encodings.
    registerUnaryVectorised("Erf", [](double x) { return std::erf(x); }, erfInto, elementwise(true));
    registerUnaryVectorised("Sin", [](double x) { return std::sin(x); }, sinInto);
    registerUnaryVectorised("Cos", [](double x) { return std::cos(x); }, cosInto);
    registerUnaryFloat("Softplus", [](double x, F, F) { return std::log1p(std::exp(x)); }, elementwise(),
                       dnnl::algorithm::eltwise_soft_relu);
    registerUnaryFloat("Softsign", [](double x, F, F) { return x / (1.0 + std::fabs(x)); }, elementwise());
    registerUnaryFloat("LeakyRelu", [](double x, F a, F) { return x < 0 ? x * a : x; },
                       activation(Fusion::Act::LeakyRelu, 0.01f));
    registerUnaryFloat("Elu", [](double x, F a, F) { return x < 0 ? a * std::expm1(x) : x; },
                       activation(Fusion::Act::Elu, 1.0f));
    OpTraits celu;
    celu.alpha = 1.0f;
    registerUnaryFloat("Celu", [](double x, F a, F) {
        const double al = a;
        return std::max(0.0, x) + std::min(0.0, al * std::expm1(x / al));
    }, celu);
    OpTraits thresholded;
    thresholded.alpha = 1.0f;
    registerUnaryFloat("ThresholdedRelu", [](double x, F a, F) { return x > a ? x : 0.0; }, thresholded);
    registerUnaryFloat("HardSigmoid", [](double x, F a, F b) {
        const double v = static_cast<double>(a) * x + b;
        return std::max(0.0, std::min(1.0, v));
    }, activation(Fusion::Act::HardSigmoid, 0.2f, 0.5f));
    registerUnaryFloat("HardSwish", [](double x, F, F) { return x * std::max(0.0, std::min(1.0, x / 6 + 0.5)); }, activation(Fusion::Act::HardSwish));
    registerKernel("Selu", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        const double alpha = a.f("alpha", 1.67326319217681884765625f);
        const double gamma = a.f("gamma", 1.05070102214813232421875f);
        return lambdaKernel([alpha, gamma](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, x.type(), x.shape());
            VEXA_DISPATCH_FLOAT(x.type(), {
                mapInto(x.data<T>(), out.data<T>(), x.size(), [&](T t) {
                    const double v = t;
                    return static_cast<T>(gamma * (v > 0 ? v : alpha * std::expm1(v)));
                });
            })
        });
    }, elementwise().shapedLike(Rule::LikeInput));
    registerKernel("Shrink", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        const double bias = a.f("bias", 0.0f);
        const double lambd = a.f("lambd", 0.5f);
        return lambdaKernel([bias, lambd](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, x.type(), x.shape());
            VEXA_DISPATCH_NUMERIC(x.type(), {
                mapInto(x.data<T>(), out.data<T>(), x.size(), [&](T t) {
                    const auto v = static_cast<double>(t);
                    return static_cast<T>(v < -lambd ? v + bias : v > lambd ? v - bias : 0.0);
                });
            })
        });
    }, OpTraits{}.shapedLike(Rule::LikeInput));
    registerUnaryNumeric("Abs", [](auto x) { return x < 0 ? wrapNeg(x) : x; }, elementwise());
    registerUnaryNumeric("Neg", [](auto x) { return wrapNeg(x); }, elementwise());
    // Without branches: a sign of random data mispredicts half of them.
    registerUnaryNumeric("Sign", [](auto x) { return static_cast<int>(x > 0) - static_cast<int>(x < 0); }, elementwise());
    for (const char* name : {"IsNaN", "IsInf"}) {
        const bool nan = std::string(name) == "IsNaN";
        registerKernel(name, [nan](const onnx::NodeProto& n, int64_t) {
            const bool pos = Attrs(n).i("detect_positive", 1) != 0;
            const bool neg = Attrs(n).i("detect_negative", 1) != 0;
            return lambdaKernel([nan, pos, neg](KernelContext& ctx) {
                const Tensor& x = ctx.in(0);
                Tensor& out = ctx.out(0, DType::Bool, x.shape());
                VEXA_DISPATCH_FLOAT(x.type(), {
                    mapInto(x.data<T>(), out.data<uint8_t>(), x.size(), [&](T v) -> uint8_t {
                        return nan ? std::isnan(v) : std::isinf(v) && ((v > 0 && pos) || (v < 0 && neg));
                    });
                })
            });
        }, OpTraits{}.shapedLike(Rule::LikeInput, 0, true));
    }

    registerKernel("Clip", [](const onnx::NodeProto& n, int64_t opset) {
        const Attrs a(n);
        const float lo = a.f("min", -std::numeric_limits<float>::infinity());
        const float hi = a.f("max", std::numeric_limits<float>::infinity());
        return lambdaKernel([lo, hi, opset](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& out = ctx.out(0, x.type(), x.shape());
            VEXA_DISPATCH_NUMERIC(x.type(), {
                T mn = opset < 11 ? castValue<T>(lo) : std::numeric_limits<T>::lowest();
                T mx = opset < 11 ? castValue<T>(hi) : std::numeric_limits<T>::max();
                if (ctx.has(1) && ctx.in(1).size() != 0) mn = ctx.in(1).data<T>()[0];
                if (ctx.has(2) && ctx.in(2).size() != 0) mx = ctx.in(2).data<T>()[0];
                mapInto(x.data<T>(), out.data<T>(), x.size(), [mn, mx](T v) { return v < mn ? mn : v > mx ? mx : v; });
            })
        });
    }, activation(Fusion::Act::Clip).shapedLike(Rule::LikeInput));

    registerKernel("Cast", [](const onnx::NodeProto& n, int64_t) {
        const auto to = static_cast<DType>(Attrs(n).i("to", 1));
        return lambdaKernel([to](KernelContext& ctx) {
            Tensor& out = ctx.out(0, to, ctx.in(0).shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            castTensor(ctx.in(0), to, out);
        });
    });
    registerKernel("CastLike", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            Tensor& out = ctx.out(0, ctx.in(1).type(), ctx.in(0).shape());
            castTensor(ctx.in(0), ctx.in(1).type(), out);
        });
    }, OpTraits{}.shapedLike(Rule::LikeInput, 1));
    // Copies of their input: views where the plan allows.
    OpTraits identity;
    identity.view = true;
    identity.keepsGrid = true;
    for (const char* name : {"Identity", "Dropout"}) {
        // Identity has one output, so it may also stay in its input's layout.
        identity.layoutFree = std::string(name) == "Identity";
        registerKernel(name, [](const onnx::NodeProto&, int64_t) {
            return lambdaKernel([](KernelContext& ctx) {
                const Tensor& x = ctx.in(0);
                Tensor& out = ctx.out(0, x.type(), x.shape());
                castTensor(x, x.type(), out);
                if (ctx.wantsOutput(1)) {
                    Tensor& mask = ctx.out(1, DType::Bool, x.shape());
                    std::memset(mask.raw(), 1, mask.bytes());
                }
            });
        }, identity);
    }

    registerKernel("Where", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& c = ctx.in(0);
            const Tensor& x = ctx.in(1);
            const Tensor& y = ctx.in(2);
            const Shape shape = broadcastShape(broadcastShape(c.shape(), x.shape()), y.shape());
            Tensor& out = ctx.out(0, x.type(), shape);
            const auto sc = broadcastStrides(c.shape(), shape);
            const auto sx = broadcastStrides(x.shape(), shape);
            const auto sy = broadcastStrides(y.shape(), shape);
            const uint8_t* pc = c.data<uint8_t>();
            VEXA_DISPATCH_ALL(x.type(), {
                const T* px = x.data<T>();
                const T* py = y.data<T>();
                T* po = out.data<T>();
                // Both candidates are read before the choice, which then
                // compiles to a blend instead of a branch that a random
                // mask mispredicts half the time. Operands whole or single
                // (a mask and a fill value) take one index each.
                auto whole = [&shape](const Tensor& t) { return t.shape() == shape ? int64_t{1} : t.size() == 1 ? int64_t{0} : -1; };
                const int64_t wc = whole(c), wx = whole(x), wy = whole(y);
                if (wc >= 0 && wx >= 0 && wy >= 0) {
                    parallelFor(out.size(), out.size(), [=](int64_t i) {
                        const T a = px[i * wx], b = py[i * wy];
                        po[i] = pc[i * wc] ? a : b;
                    });
                } else {
                    forEachBroadcastRun<3>(shape, {&sc, &sx, &sy}, [=](int64_t o, const std::array<int64_t, 3>& at, int64_t n,
                                                                     const std::array<int64_t, 3>& step) {
                        for (int64_t k = 0; k < n; ++k) {
                            const T a = px[at[1] + k * step[1]], b = py[at[2] + k * step[2]];
                            po[o + k] = pc[at[0] + k * step[0]] ? a : b;
                        }
                    });
                }
            })
        });
    }, elementwise().shapedLike(Rule::Broadcast, 1));
}

}  // namespace vexart
