// Classification losses, so that graphs exported with their loss attached
// (evaluation heads, training exports) build: NegativeLogLikelihoodLoss
// and SoftmaxCrossEntropyLoss with class weights, an ignored class and
// every reduction.
#include <onnx/onnx_pb.h>

#include <cmath>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"

namespace vexart {
namespace {

enum class Reduction { None, Sum, Mean };

Reduction reductionOf(const onnx::NodeProto& n) {
    const std::string r = Attrs(n).s("reduction", "mean");
    if (r == "none") return Reduction::None;
    if (r == "sum") return Reduction::Sum;
    if (r == "mean") return Reduction::Mean;
    throw ExecError("unknown reduction '" + r + "'");
}

struct LossSpec {
    Reduction reduction = Reduction::Mean;
    bool hasIgnore = false;
    int64_t ignoreIndex = 0;
};

// Loss of log-probabilities `logp` [N, C, d...] against class labels
// [N, d...], weighted per class; ignored labels weigh nothing (and may lie
// outside [0, C)).
template <typename T>
void nll(const LossSpec& spec, const T* logp, const Shape& shape, const Tensor& target, const Tensor* weight,
         KernelContext& ctx, DType type) {
    if (shape.size() < 2) throw ExecError("loss input must have rank 2 or more");
    const int64_t N = shape[0], C = shape[1];
    int64_t D = 1;
    Shape lossShape{N};
    for (size_t i = 2; i < shape.size(); ++i) {
        D *= shape[i];
        lossShape.push_back(shape[i]);
    }
    if (target.shape() != lossShape) {
        throw ExecError("labels of shape " + shapeText(target.shape()) + " do not fit scores " + shapeText(shape));
    }
    if (weight != nullptr && (weight->rank() != 1 || weight->dim(0) != C || weight->type() != type)) {
        throw ExecError("class weights must be a vector of " + std::to_string(C));
    }
    const std::vector<int64_t> labels = target.toInt64();
    const T* w = weight != nullptr ? weight->data<T>() : nullptr;
    Tensor& out = ctx.out(0, type, spec.reduction == Reduction::None ? lossShape : Shape{});
    T* po = out.data<T>();
    double sum = 0, weights = 0;
    for (int64_t n = 0; n < N; ++n) {
        for (int64_t d = 0; d < D; ++d) {
            const int64_t i = n * D + d;
            const int64_t label = labels[static_cast<size_t>(i)];
            T loss = 0;
            T wt = 0;
            if (!(spec.hasIgnore && label == spec.ignoreIndex)) {
                if (label < 0 || label >= C) throw ExecError("label " + std::to_string(label) + " is not a class");
                wt = w != nullptr ? w[label] : T(1);
                loss = -logp[(n * C + label) * D + d] * wt;
            }
            if (spec.reduction == Reduction::None) po[i] = loss;
            sum += static_cast<double>(loss);
            weights += static_cast<double>(wt);
        }
    }
    if (spec.reduction == Reduction::Sum) po[0] = static_cast<T>(sum);
    if (spec.reduction == Reduction::Mean) po[0] = static_cast<T>(sum / weights);
}

LossSpec specOf(const onnx::NodeProto& n) {
    LossSpec s;
    s.reduction = reductionOf(n);
    s.hasIgnore = Attrs(n).has("ignore_index");
    s.ignoreIndex = Attrs(n).i("ignore_index", 0);
    return s;
}

// NegativeLogLikelihoodLoss on log-probabilities, or SoftmaxCrossEntropyLoss
// on scores: log-softmax over the class axis first, its result the optional
// second output.
class LossKernel : public Kernel {
public:
    LossKernel(LossSpec spec, bool softmax) : spec_(spec), softmax_(softmax) {}
    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (x.rank() < 2) throw ExecError("loss input must have rank 2 or more");
        const Tensor* w = ctx.has(2) ? &ctx.in(2) : nullptr;
        VEXA_DISPATCH_FLOAT(x.type(), {
            const T* logp = x.data<T>();
            if (softmax_) {
                Tensor& lp = ctx.out(1, x.type(), x.shape());
                logSoftmax(x.data<T>(), x.shape(), lp.data<T>());
                logp = lp.data<T>();
            }
            nll<T>(spec_, logp, x.shape(), ctx.in(1), w, ctx, x.type());
        })
    }

private:
    template <typename T>
    static void logSoftmax(const T* x, const Shape& shape, T* y) {
        const int64_t N = shape[0], C = shape[1];
        const int64_t D = elementCount(shape) / std::max<int64_t>(N * C, 1);
        for (int64_t n = 0; n < N; ++n) {
            for (int64_t d = 0; d < D; ++d) {
                const T* xs = x + n * C * D + d;
                T* ys = y + n * C * D + d;
                T top = xs[0];
                for (int64_t c = 1; c < C; ++c) top = std::max(top, xs[c * D]);
                double s = 0;
                for (int64_t c = 0; c < C; ++c) s += std::exp(static_cast<double>(xs[c * D] - top));
                const auto logSum = static_cast<T>(std::log(s));
                for (int64_t c = 0; c < C; ++c) ys[c * D] = xs[c * D] - top - logSum;
            }
        }
    }
    LossSpec spec_;
    bool softmax_;
};

}  // namespace

void registerLossKernels() {
    registerKernel("NegativeLogLikelihoodLoss", [](const onnx::NodeProto& n, int64_t) {
        return std::make_unique<LossKernel>(specOf(n), false);
    });
    registerKernel("SoftmaxCrossEntropyLoss", [](const onnx::NodeProto& n, int64_t) {
        return std::make_unique<LossKernel>(specOf(n), true);
    });
}

}  // namespace vexart
