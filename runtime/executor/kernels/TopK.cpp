// TopK: the best k of every line along one axis, in order, with their indices.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <type_traits>

#include "core/Dispatch.h"
#include "core/Kernel.h"
#include "core/Threads.h"

namespace vexart {
namespace {

template <typename T>
bool isNan(T v) {
    if constexpr (std::is_floating_point_v<T>) return std::isnan(v);
    return false;
}

// The first position from j on whose value might displace `worst`: one
// that beats it, or a NaN on either side (the exact order decides those).
// Most of a long line loses to the worst of the best k, so whole blocks
// are rejected with one vector comparison each.
template <bool Contiguous, typename T>
int64_t firstContender(const T* base, int64_t stride, int64_t j, int64_t dim, T worst, bool largest) {
    auto contends = [&](T a) { return largest ? !(a <= worst) : !(a >= worst); };
    if constexpr (Contiguous) {
        constexpr int64_t kBlock = 32;
        for (; j + kBlock <= dim; j += kBlock) {
            int hits = 0;
            VEXA_SIMD
            for (int64_t t = 0; t < kBlock; ++t) hits += contends(base[j + t]) ? 1 : 0;
            if (hits != 0) break;
        }
    }
    for (; j < dim; ++j) {
        if (contends(base[j * stride])) return j;
    }
    return dim;
}

class TopKKernel : public Kernel {
public:
    explicit TopKKernel(const onnx::NodeProto& n)
        : axis_(Attrs(n).i("axis", -1)), largest_(Attrs(n).i("largest", 1) != 0), k_(Attrs(n).i("k", -1)) {}

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const auto r = static_cast<int64_t>(x.rank());
        const int64_t axis = axis_ < 0 ? axis_ + r : axis_;
        const int64_t k = ctx.has(1) ? ctx.in(1).toInt64().at(0) : k_;
        int64_t outer = 1, inner = 1;
        for (int64_t i = 0; i < r; ++i) {
            if (i < axis) outer *= x.dim(static_cast<size_t>(i));
            if (i > axis) inner *= x.dim(static_cast<size_t>(i));
        }
        const int64_t dim = x.dim(static_cast<size_t>(axis));
        if (k < 0 || k > dim) throw ExecError("TopK k out of range");
        Shape shape = x.shape();
        shape[static_cast<size_t>(axis)] = k;
        Tensor& values = ctx.out(0, x.type(), shape);
        Tensor& indices = ctx.out(1, DType::Int64, shape);
        if (ctx.dryRun()) return ctx.zeroOutputs();
        // Few of many keep only the best k: a detector's order over a
        // million scores would cost fresh pages on every execution.
        const bool few = k > 0 && k * 16 < dim;
        const size_t orderSize = static_cast<size_t>(few ? k : dim);
        order_.resize(static_cast<size_t>(teamSize()));
        for (auto& o : order_) o.resize(orderSize);
        const int64_t lines = outer * inner;
        VEXA_DISPATCH_NUMERIC(x.type(), {
            parallelTeam(lines * dim, [&](int thread, int threads) {
                std::vector<int64_t>& order = order_[static_cast<size_t>(thread)];
                for (int64_t line = lines * thread / threads; line < lines * (thread + 1) / threads; ++line) {
                    const int64_t o = line / inner, in = line % inner;
                    const T* base = x.data<T>() + o * dim * inner + in;
                    selectLine(base, inner, dim, k, few, order);
                    for (int64_t j = 0; j < k; ++j) {
                        const int64_t at = (o * k + j) * inner + in;
                        values.data<T>()[at] = base[order[static_cast<size_t>(j)] * inner];
                        indices.data<int64_t>()[at] = order[static_cast<size_t>(j)];
                    }
                }
            });
        })
    }

private:
    // The first k of `order` become the line's best k, in order.
    template <typename T>
    void selectLine(const T* base, int64_t stride, int64_t dim, int64_t k, bool few, std::vector<int64_t>& order) const {
        const bool largest = largest_;
        auto at = [base, stride](int64_t j) { return base[j * stride]; };
        std::iota(order.begin(), order.end(), 0);
        // A total order: ties go to the lower index, NaN ranks above
        // every number. Only the first k are put in order, after a
        // selection in linear time (a detector's TopK takes 1000 of a
        // million scores).
        auto before = [&](int64_t p, int64_t q) {
            const T a = at(p), b = at(q);
            const bool an = isNan(a), bn = isNan(b);
            if (an || bn) return an != bn ? an == largest : p < q;
            if (a != b) return largest ? a > b : a < b;
            return p < q;
        };
        if (few) {
            // A heap of the best k so far, its worst on top; a number no
            // better than that worst one (equal loses: its index is higher)
            // is rejected by value.
            std::make_heap(order.begin(), order.begin() + k, before);
            for (int64_t j = k;; ++j) {
                const T worst = at(order[0]);
                j = stride == 1 ? firstContender<true>(base, 1, j, dim, worst, largest)
                                : firstContender<false>(base, stride, j, dim, worst, largest);
                if (j >= dim) break;
                if (!before(j, order[0])) continue;
                std::pop_heap(order.begin(), order.begin() + k, before);
                order[static_cast<size_t>(k - 1)] = j;
                std::push_heap(order.begin(), order.begin() + k, before);
            }
        } else if (k < dim) {
            std::nth_element(order.begin(), order.begin() + k, order.end(), before);
        }
        std::sort(order.begin(), order.begin() + k, before);
    }

    int64_t axis_;
    bool largest_;
    int64_t k_;
    std::vector<std::vector<int64_t>> order_;  // one per thread, kept between executions
};

}  // namespace

void registerTopKKernels() {
    registerKernel(
        "TopK", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<TopKKernel>(n); },
        OpTraits::valueShaped(1u << 1));
}

}  // namespace vexart
