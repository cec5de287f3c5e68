// Reductions over axes, arg-min/max and cumulative sums.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <type_traits>

#include "core/Dispatch.h"
#include "core/Kernel.h"
#include "core/Threads.h"

namespace vexart {
namespace {

enum class Red { Sum, Mean, Max, Min, Prod, SumSquare, L1, L2, LogSum, LogSumExp };

class ReduceKernel : public Kernel {
public:
    ReduceKernel(const onnx::NodeProto& n, int64_t opset, Red op, bool axesAsInput) : op_(op) {
        const Attrs a(n);
        keep_ = a.i("keepdims", 1) != 0;
        noopEmpty_ = a.i("noop_with_empty_axes", 0) != 0;
        axes_ = a.ints("axes");
        axesInput_ = axesAsInput && opset >= (op == Red::Sum ? 13 : 18);
    }

    // A channels-last input whose kept axes come in the same order either
    // way (the channels reduced, or nothing but the batch and the channels
    // kept: PointNet's max over its points, a global mean) is reduced where
    // it lies, and the result is plain: no copy of the input is made.
    LayoutUse layoutUse(const KernelContext& ctx) const override {
        std::vector<bool> reduce;
        return ctx.has(0) && readsInPlace(ctx, reduce) ? LayoutUse::Spatial : LayoutUse::Plain;
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        // Axes a computed input gives may change from one execution to the next.
        if (!planned_ || x.shape() != plannedX_ || x.layout() != plannedLayout_ || (axesInput_ && ctx.has(1) && !ctx.isConstant(1))) {
            plan(ctx);
        }
        Tensor& y = ctx.out(0, x.type(), outShape_);
        y.setLayout(Layout::plain());
        if (ctx.dryRun()) return ctx.zeroOutputs();
        if (x.type() == DType::Float && reduceFloatBlock(x, reduce_, y)) return;
        VEXA_DISPATCH_NUMERIC(x.type(), reduceTyped<T>(x, reduce_, kept_, y))
    }

private:
    // Float reductions over one block of adjacent axes, [outer, R, inner]
    // once axes of length 1 are dropped and neighbours alike are merged:
    // rows combined whole (contiguous, vectorised) or runs folded in
    // sixteen lanes. False for other patterns, left to reduceTyped.
    bool reduceFloatBlock(const Tensor& x, const std::vector<bool>& reduce, Tensor& y) const {
        std::vector<std::pair<int64_t, bool>> runs;  // (length, reduced)
        for (size_t i = 0; i < x.rank(); ++i) {
            if (x.dim(i) == 1) continue;
            if (!runs.empty() && runs.back().second == reduce[i]) {
                runs.back().first *= x.dim(i);
            } else {
                runs.emplace_back(x.dim(i), reduce[i]);
            }
        }
        int64_t outer = 1, R = 1, inner = 1;
        size_t k = 0;
        if (k < runs.size() && !runs[k].second) outer = runs[k++].first;
        if (k < runs.size() && runs[k].second) R = runs[k++].first;
        if (k < runs.size() && !runs[k].second) inner = runs[k++].first;
        if (k != runs.size() || x.size() == 0) return false;
        const float* src = x.data<float>();
        float* dst = y.data<float>();
        switch (op_) {
            case Red::Sum:
            case Red::Mean:
            case Red::LogSum: foldBlock(src, dst, outer, R, inner, 0.0f, [](float v) { return v; }, std::plus<float>()); break;
            case Red::SumSquare:
            case Red::L2: foldBlock(src, dst, outer, R, inner, 0.0f, [](float v) { return v * v; }, std::plus<float>()); break;
            case Red::L1: foldBlock(src, dst, outer, R, inner, 0.0f, [](float v) { return std::fabs(v); }, std::plus<float>()); break;
            case Red::LogSumExp: foldBlock(src, dst, outer, R, inner, 0.0f, [](float v) { return std::exp(v); }, std::plus<float>()); break;
            case Red::Prod: foldBlock(src, dst, outer, R, inner, 1.0f, [](float v) { return v; }, std::multiplies<float>()); break;
            case Red::Max:
                foldBlock(src, dst, outer, R, inner, -std::numeric_limits<float>::infinity(), [](float v) { return v; },
                          [](float a, float v) { return v > a ? v : a; });
                break;
            case Red::Min:
                foldBlock(src, dst, outer, R, inner, std::numeric_limits<float>::infinity(), [](float v) { return v; },
                          [](float a, float v) { return v < a ? v : a; });
                break;
        }
        for (int64_t i = 0; i < outer * inner; ++i) {
            if (op_ == Red::Mean) dst[i] /= static_cast<float>(R);
            if (op_ == Red::L2) dst[i] = std::sqrt(dst[i]);
            if (op_ == Red::LogSum || op_ == Red::LogSumExp) dst[i] = std::log(dst[i]);
        }
        return true;
    }

    template <class Map, class Combine>
    static void foldBlock(const float* x, float* y, int64_t outer, int64_t R, int64_t inner, float identity, Map map,
                          Combine combine) {
        parallelFor(outer, outer * R * inner, [&](int64_t o) {
            const float* src = x + o * R * inner;
            float* dst = y + o * inner;
            if (inner == 1) {
                // Four vectors of partial results: one would wait on its
                // own previous step at every element.
                constexpr int kLanes = 64;
                float lane[kLanes];
                std::fill(lane, lane + kLanes, identity);
                int64_t r = 0;
                for (; r + kLanes <= R; r += kLanes) {
                    for (int l = 0; l < kLanes; ++l) lane[l] = combine(lane[l], map(src[r + l]));
                }
                float a = identity;
                for (int l = 0; l < kLanes; ++l) a = combine(a, lane[l]);
                for (; r < R; ++r) a = combine(a, map(src[r]));
                dst[0] = a;
                return;
            }
            for (int64_t i = 0; i < inner; ++i) dst[i] = combine(identity, map(src[i]));
            for (int64_t r = 1; r < R; ++r) {
                const float* row = src + r * inner;
                for (int64_t i = 0; i < inner; ++i) dst[i] = combine(dst[i], map(row[i]));
            }
        });
    }

    template <typename T>
    void reduceTyped(const Tensor& x, const std::vector<bool>& reduce, const Shape& kept, Tensor& y) {
        const size_t r = x.rank();
        std::vector<int64_t> ys(r, 0);
        int64_t step = 1;
        for (size_t i = r; i-- > 0;) {
            ys[i] = reduce[i] ? 0 : step;
            step *= kept[i];
        }
        const int64_t outN = elementCount(kept);
        const int64_t groupN = outN == 0 ? 0 : x.size() / std::max<int64_t>(outN, 1);
        // The other reductions start from their identity, which an empty
        // group keeps; a mean of nothing is undefined.
        if (op_ == Red::Mean && groupN == 0 && outN != 0) throw ExecError("ReduceMean over an empty axis has no mean");
        std::vector<double> acc(static_cast<size_t>(outN));
        const double init = op_ == Red::Max   ? -std::numeric_limits<double>::infinity()
                            : op_ == Red::Min ? std::numeric_limits<double>::infinity()
                            : op_ == Red::Prod ? 1.0
                                               : 0.0;
        std::fill(acc.begin(), acc.end(), init);
        std::vector<int64_t> idx(r, 0);
        int64_t o = 0;
        const T* src = x.data<T>();
        for (int64_t i = 0; i < x.size(); ++i) {
            const double v = static_cast<double>(src[i]);
            double& a = acc[static_cast<size_t>(o)];
            switch (op_) {
                case Red::Sum:
                case Red::Mean:
                case Red::LogSum: a += v; break;
                case Red::Max: a = std::max(a, v); break;
                case Red::Min: a = std::min(a, v); break;
                case Red::Prod: a *= v; break;
                case Red::SumSquare:
                case Red::L2: a += v * v; break;
                case Red::L1: a += std::fabs(v); break;
                case Red::LogSumExp: a += std::exp(v); break;
            }
            for (size_t d = r; d-- > 0;) {
                o += ys[d];
                if (++idx[d] < x.dim(d)) break;
                o -= ys[d] * x.dim(d);
                idx[d] = 0;
            }
        }
        T* dst = y.data<T>();
        for (int64_t k = 0; k < outN; ++k) {
            double v = acc[static_cast<size_t>(k)];
            if (op_ == Red::Mean) v /= static_cast<double>(groupN);
            if (op_ == Red::L2) v = std::sqrt(v);
            if (op_ == Red::LogSum || op_ == Red::LogSumExp) v = std::log(v);
            dst[k] = castValue<T>(v);
        }
    }

    // The output's shape and the reduced axes as the input lies, for this
    // input's shape and layout.
    void plan(const KernelContext& ctx) {
        const Tensor& x = ctx.in(0);
        const Shape logical = x.logicalShape();
        reduce_ = reducedAxes(ctx, logical.size());
        outShape_.clear();
        for (size_t i = 0; i < logical.size(); ++i) {
            if (!reduce_[i] || keep_) outShape_.push_back(reduce_[i] ? 1 : logical[i]);
        }
        if (!x.isPlain()) {
            std::vector<bool> logicalReduce;
            if (!readsInPlace(ctx, logicalReduce)) throw ExecError("reduction of a tensor in the " + x.layout().name() + " layout");
            // Flags over the axes as they lie: channels last.
            const std::vector<size_t> order = channelsLastOrder(logical.size());
            for (size_t p = 0; p < order.size(); ++p) reduce_[p] = logicalReduce[order[p]];
        }
        kept_.clear();
        for (size_t i = 0; i < x.rank(); ++i) kept_.push_back(reduce_[i] ? 1 : x.dim(i));
        plannedX_ = x.shape();
        plannedLayout_ = x.layout();
        planned_ = true;
    }

    // The reduced axes of a rank-r input (logical axes).
    std::vector<bool> reducedAxes(const KernelContext& ctx, size_t r) const {
        std::vector<int64_t> axes = axes_;
        if (axesInput_) axes = ctx.has(1) ? ctx.in(1).toInt64() : std::vector<int64_t>{};
        std::vector<bool> reduce(r, axes.empty() && !noopEmpty_);
        for (int64_t a : axes) {
            const int64_t ax = a < 0 ? a + static_cast<int64_t>(r) : a;
            if (ax < 0 || ax >= static_cast<int64_t>(r)) throw ExecError("reduction axis out of range");
            reduce[static_cast<size_t>(ax)] = true;
        }
        return reduce;
    }

    // Logical axis of each physical one, channels last: [0, 2, ..., r-1, 1].
    static std::vector<size_t> channelsLastOrder(size_t r) {
        std::vector<size_t> order = {0};
        for (size_t i = 2; i < r; ++i) order.push_back(i);
        if (r > 1) order.push_back(1);
        return order;
    }

    // Whether input 0, channels last, reduces where it lies (see layoutUse),
    // with `reduce` its logical flags.
    bool readsInPlace(const KernelContext& ctx, std::vector<bool>& reduce) const {
        const Tensor& x = ctx.in(0);
        if (!x.layout().isChannelsLast() || (axesInput_ && ctx.has(1) && !ctx.isConstant(1))) return false;
        const Shape logical = x.logicalShape();
        if (logical.size() < 3 || logical.size() > 5) return false;
        try {
            reduce = reducedAxes(ctx, logical.size());
        } catch (const ExecError&) {
            return false;  // run() reports it on the plain copy
        }
        std::vector<size_t> keptLogical, keptPhysical;
        for (size_t i = 0; i < logical.size(); ++i) {
            if (!reduce[i] && logical[i] != 1) keptLogical.push_back(i);
        }
        for (size_t i : channelsLastOrder(logical.size())) {
            if (!reduce[i] && logical[i] != 1) keptPhysical.push_back(i);
        }
        return keptLogical == keptPhysical;
    }

    Red op_;
    bool keep_ = true;
    bool noopEmpty_ = false;
    bool planned_ = false;
    Shape plannedX_, outShape_, kept_;
    Layout plannedLayout_;
    std::vector<bool> reduce_;
    bool axesInput_ = false;
    std::vector<int64_t> axes_;
};

constexpr int64_t kArgBlock = 256;

// The index of the best of `dim` candidates `inner` apart, for `n` <=
// kArgBlock neighbouring outputs at once. The choice is fixed at compile
// time so that the loop over the block vectorises: with it read at run
// time the loop stayed scalar (21 x 320 x 320 at 2 GB/s).
template <typename T, bool IsMax, bool Last>
void argBlock(const T* base, int64_t inner, int64_t dim, int64_t n, int32_t* best) {
    T bestValue[kArgBlock];
    for (int64_t j = 0; j < n; ++j) bestValue[j] = base[j], best[j] = 0;
    for (int32_t k = 1; k < dim; ++k) {
        const T* row = base + k * inner;
        for (int64_t j = 0; j < n; ++j) {
            const T v = row[j], b = bestValue[j];
            const bool better = IsMax ? (Last ? v >= b : v > b) : (Last ? v <= b : v < b);
            bestValue[j] = better ? v : b;
            best[j] = better ? k : best[j];
        }
    }
}

std::unique_ptr<Kernel> argKernel(const onnx::NodeProto& n, bool isMax) {
    const Attrs a(n);
    const int64_t axisAttr = a.i("axis", 0);
    const bool keep = a.i("keepdims", 1) != 0;
    const bool last = a.i("select_last_index", 0) != 0;
    return lambdaKernel([=](KernelContext& ctx) {
        const Tensor& x = ctx.in(0);
        const auto r = static_cast<int64_t>(x.rank());
        const int64_t axis = axisAttr < 0 ? axisAttr + r : axisAttr;
        int64_t outer = 1, inner = 1;
        for (int64_t i = 0; i < r; ++i) (i < axis ? outer : i > axis ? inner : outer) *= i == axis ? 1 : x.dim(static_cast<size_t>(i));
        const int64_t dim = x.dim(static_cast<size_t>(axis));
        Shape shape = x.shape();
        if (keep) {
            shape[static_cast<size_t>(axis)] = 1;
        } else {
            shape.erase(shape.begin() + axis);
        }
        Tensor& y = ctx.out(0, DType::Int64, shape);
        if (ctx.dryRun()) return ctx.zeroOutputs();
        int64_t* py = y.data<int64_t>();
        if (dim == 0 && y.size() != 0) throw ExecError("ArgMax or ArgMin over an empty axis has no index to give");
        // An output's candidates lie `inner` apart: a block of neighbouring
        // outputs walks the axis together, each keeping its best value and
        // index (the choice vectorises across the block), and the blocks
        // spread over the threads. Indices are counted in 32 bits, as wide
        // as a float.
        if (dim > std::numeric_limits<int32_t>::max()) throw ExecError("ArgMax or ArgMin over more than 2^31 values");
        const int64_t blocks = (inner + kArgBlock - 1) / kArgBlock;
        VEXA_DISPATCH_NUMERIC(x.type(), {
            const T* src = x.data<T>();
            parallelFor(outer * blocks, outer * inner * dim, [&](int64_t task) {
                const int64_t o = task / blocks, from = task % blocks * kArgBlock, n = std::min(kArgBlock, inner - from);
                const T* base = src + o * dim * inner + from;
                int32_t best[kArgBlock];
                if (isMax) {
                    last ? argBlock<T, true, true>(base, inner, dim, n, best) : argBlock<T, true, false>(base, inner, dim, n, best);
                } else {
                    last ? argBlock<T, false, true>(base, inner, dim, n, best) : argBlock<T, false, false>(base, inner, dim, n, best);
                }
                std::copy_n(best, n, py + o * inner + from);
            });
        })
    });
}

}  // namespace

void registerReductionKernels() {
    const std::pair<const char*, Red> reductions[] = {
        {"ReduceSum", Red::Sum},   {"ReduceMean", Red::Mean},           {"ReduceMax", Red::Max},
        {"ReduceMin", Red::Min},   {"ReduceProd", Red::Prod},           {"ReduceSumSquare", Red::SumSquare},
        {"ReduceL1", Red::L1},     {"ReduceL2", Red::L2},               {"ReduceLogSum", Red::LogSum},
        {"ReduceLogSumExp", Red::LogSumExp},
    };
    for (const auto& [name, op] : reductions) {
        const Red o = op;
        OpTraits traits = OpTraits::valueShaped(1u << 1);  // axes as an input
        traits.reduces = true;
        registerKernel(name, [o](const onnx::NodeProto& n, int64_t opset) {
            return std::make_unique<ReduceKernel>(n, opset, o, true);
        }, traits);
    }
    registerKernel("ArgMax", [](const onnx::NodeProto& n, int64_t) { return argKernel(n, true); });
    registerKernel("ArgMin", [](const onnx::NodeProto& n, int64_t) { return argKernel(n, false); });
    registerKernel("CumSum", [](const onnx::NodeProto& n, int64_t) {
        const bool exclusive = Attrs(n).i("exclusive", 0) != 0;
        const bool reverse = Attrs(n).i("reverse", 0) != 0;
        return lambdaKernel([=](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto r = static_cast<int64_t>(x.rank());
            int64_t axis = ctx.in(1).toInt64().at(0);
            if (axis < 0) axis += r;
            int64_t outer = 1, inner = 1;
            for (int64_t i = 0; i < r; ++i) {
                if (i < axis) outer *= x.dim(static_cast<size_t>(i));
                if (i > axis) inner *= x.dim(static_cast<size_t>(i));
            }
            const int64_t dim = x.dim(static_cast<size_t>(axis));
            Tensor& y = ctx.out(0, x.type(), x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            VEXA_DISPATCH_NUMERIC(x.type(), {
                for (int64_t o = 0; o < outer; ++o) {
                    for (int64_t in = 0; in < inner; ++in) {
                        T sum = 0;
                        for (int64_t s = 0; s < dim; ++s) {
                            const int64_t k = reverse ? dim - 1 - s : s;
                            const int64_t at = (o * dim + k) * inner + in;
                            if (exclusive) {
                                y.data<T>()[at] = sum;
                                sum = wrapAdd(sum, x.data<T>()[at]);
                            } else {
                                sum = wrapAdd(sum, x.data<T>()[at]);
                                y.data<T>()[at] = sum;
                            }
                        }
                    }
                }
            })
        });
    });
}

}  // namespace vexart
