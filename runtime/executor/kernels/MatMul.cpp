// MatMul and Gemm on oneDNN's matmul: constant weights are packed once
// into the layout it runs fastest on, a leading batch on the left operand folds
// into its rows, activations and residual adds run as post-ops. Shapes
// it does not take (batches that broadcast, Gemm with alpha or beta other
// than 1) go to the reference kernel.
#include <onnx/onnx_pb.h>

#include <unordered_map>

#include <omp.h>

#include "core/Broadcast.h"
#include "core/Threads.h"
#include "kernels/Fallbacks.h"
#include "onednn/Dnnl.h"
#include "onednn/PostOps.h"
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

memory::desc matrixDesc(int64_t batch, int64_t r, int64_t c, bool transposed) {
    const auto f32 = memory::data_type::f32;
    if (transposed) return memory::desc({batch, r, c}, f32, memory::dims{r * c, 1, r});
    return memory::desc({batch, r, c}, f32, memory::dims{r * c, c, 1});
}

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
    bool keepsCopyOf(size_t i) const override { return i == 1 && packed_ && weightsConst_; }
    std::string implementation() const override { return built_ ? call_.implementation() : std::string(); }

    void run(KernelContext& ctx) override {
        if (!planned(ctx) && !plan(ctx)) return;
        Tensor& y = ctx.out(0, DType::Float, outShape_);
        fusion_.checkAddends(y);
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        try {
            auto& s = dn::threadStream();
            src_.set_data_handle(const_cast<void*>(ctx.in(0).raw()));
            if (!weightsConst_) weights_.set_data_handle(const_cast<void*>(ctx.in(1).raw()));
            if (hasBias_) {
                bias_.set_data_handle(const_cast<void*>(biasAddend_ != nullptr ? biasAddend_->raw() : ctx.in(2).raw()));
            }
            dst_.set_data_handle(y.raw());
            size_t k = 0;
            for (const auto& post : fusion_.post) {
                if (post.isAdd) addends_[k++].set_data_handle(const_cast<void*>(post.addend->raw()));
            }
            const ThreadScope scope(serial_ ? 1 : omp_get_max_threads());
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
               ctx.isConstant(1) == weightsConst_ && (!weightsConst_ || packed_) &&
               (!ctx.has(2) || ctx.in(2).shape() == builtC_);
    }

    // Makes the primitive for these inputs; false when the reference kernel
    // ran instead or there is nothing to compute.
    bool plan(KernelContext& ctx) {
        Problem p;
        if (!problem(ctx, p)) {
            if (!fusion_.empty()) throw ExecError("fused work without a oneDNN product");
            reference_->run(ctx);
            return false;
        }
        if (biasAddend_ != nullptr) p.bias = {1, p.cols};
        Tensor& y = ctx.out(0, DType::Float, p.out);
        if (y.size() == 0) return false;
        if (p.inner == 0) {
            // An empty sum: zeros (plus C), which the reference does.
            reference_->run(ctx);
            return false;
        }
        const Tensor& b = ctx.in(1);
        try {
            const bool weightsConst = ctx.isConstant(1);
            if (weightsConst != weightsConst_) packed_ = false;
            weightsConst_ = weightsConst;
            if (!built_ || !(p == built_problem_)) build(p);
            if (weightsConst_ && !packed_) {
                if (b.raw() == nullptr) throw ExecError("weights were released");
                auto user = dn::wrap(userWeights_, b.raw());
                dnnl::reorder(user, weights_).execute(dn::threadStream(), user, weights_);
                dn::threadStream().wait();
                packed_ = true;
            }
        } catch (const dnnl::error& e) {
            dn::rethrow(e, isGemm_ ? "Gemm" : "MatMul");
        }
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
        if (a.type() != DType::Float || b.type() != DType::Float || !a.isPlain() || !b.isPlain()) return false;
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

    void build(const Problem& p) {
        auto& eng = dn::cpuEngine();
        serial_ = p.batch * p.rows * p.inner * p.cols < kSerialProduct;
        const ThreadScope scope(serial_ ? 1 : omp_get_max_threads());
        const int64_t wb = p.weightsBatched ? p.batch : 1;
        const memory::desc src = matrixDesc(p.batch, p.rows, p.inner, p.transA);
        const memory::desc dst = matrixDesc(p.batch, p.rows, p.cols, false);
        userWeights_ = matrixDesc(wb, p.inner, p.cols, p.transB);
        // Constant weights are stored transposed: oneDNN's GEMM runs up to
        // twice as fast on them as on the row-major layout it picks itself.
        const memory::desc weights =
            weightsConst_ ? memory::desc({wb, p.inner, p.cols}, memory::data_type::f32, memory::format_tag::acb)
                          : userWeights_;
        memory::desc bias;
        if (!p.bias.empty()) bias = matrixDesc(1, p.bias[0], p.bias[1], false);
        dnnl::matmul::desc d = p.bias.empty() ? dnnl::matmul::desc(src, weights, dst)
                                              : dnnl::matmul::desc(src, weights, bias, dst);
        // Adds up to the first activation run inside the product; the rest
        // after it, as jit primitives over the result.
        Fusion inside, after;
        for (const auto& post : fusion_.post) {
            (post.isAdd && after.post.empty() ? inside : after).post.push_back(post);
        }
        dnnl::primitive_attr attr;
        const memory::desc perColumn({1, 1, p.cols}, memory::data_type::f32, memory::format_tag::abc);
        attr.set_post_ops(dn::postOpsOf(inside, dst, perColumn));
        const dnnl::matmul::primitive_desc pd(d, attr, eng);
        const bool keep = packed_ && weightsConst_ && weights_.get_desc() == pd.weights_desc();
        if (packed_ && weightsConst_ && !keep) {
            // Packed for another shape: move them to this one's layout.
            Buffer bytes;
            memory moved = dn::ownedMemory(pd.weights_desc(), bytes);
            dnnl::reorder(weights_, moved).execute(dn::threadStream(), weights_, moved);
            dn::threadStream().wait();
            weights_ = moved;
            weightBytes_ = std::move(bytes);
        } else if (!keep) {
            weights_ = weightsConst_ ? dn::ownedMemory(pd.weights_desc(), weightBytes_) : memory(userWeights_, eng, nullptr);
            packed_ = false;
        }
        src_ = memory(src, eng, nullptr);
        dst_ = memory(dst, eng, nullptr);
        args_ = {{DNNL_ARG_SRC, src_}, {DNNL_ARG_WEIGHTS, weights_}, {DNNL_ARG_DST, dst_}};
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
        call_ = dn::Call(dnnl::matmul(pd), args_);
        built_problem_ = p;
        built_ = true;
    }

    bool isGemm_;
    mutable bool columnsLast_ = true;  // from the latest shape inference
    float alpha_ = 1.0f, beta_ = 1.0f;
    bool transA_ = false, transB_ = false;
    std::unique_ptr<Kernel> reference_;
    Fusion fusion_;
    const Tensor* biasAddend_ = nullptr;

    bool built_ = false, packed_ = false, weightsConst_ = false;
    Problem built_problem_;
    // The inputs the plan was made for, and the output it gives.
    Shape builtA_, builtB_, builtC_, outShape_;
    bool hasBias_ = false;
    bool serial_ = false;
    memory::desc userWeights_;
    dn::Call call_;
    memory src_, weights_, bias_, dst_;
    Buffer weightBytes_;  // what constant weights_ points at
    std::vector<memory> addends_;
    std::unordered_map<int, memory> args_;
    std::vector<dn::Call> after_;
};

}  // namespace

void registerMatMulKernels() {
    registerKernel("MatMul", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<MatMulKernel>(n, false); }, OpTraits::product(1));
    registerKernel("Gemm", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<MatMulKernel>(n, true); }, OpTraits::product(1));
}

}  // namespace vexart
