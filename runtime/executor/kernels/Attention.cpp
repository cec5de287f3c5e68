#include "kernels/Attention.h"

#include <algorithm>

#include "core/Buffer.h"
#include "core/Threads.h"
#include "kernels/SoftmaxRows.h"
#include "kernels/Window.h"
#include "onednn/Dnnl.h"

namespace vexart {
namespace {

namespace dn = onednn;
using dnnl::memory;

// Scores per block: a block of rows fills about this many floats (128 KB,
// within the second-level cache of any machine with AVX2; blocks four
// times that measured the same here).
constexpr int64_t kBlockScores = 32768;

struct Geometry {
    Shape batch, out;
    int64_t rows = 0, inner = 0, cols = 0, width = 0;
    Shape q, k, v, mask;
};

// Offset of each batch entry of the output in an operand of `shape` whose
// last two dimensions are a matrix of `matrix` elements (broadcast
// dimensions, and leading ones the operand lacks, repeat it).
std::vector<int64_t> batchOffsets(const Shape& batch, const Shape& shape, int64_t matrix) {
    const size_t lead = batch.size() + 2 - std::min(shape.size(), batch.size() + 2);
    std::vector<int64_t> stride(batch.size(), 0);
    int64_t step = matrix;
    for (size_t i = batch.size(); i-- > lead;) {
        const int64_t d = shape[i - lead];
        stride[i] = d == 1 ? 0 : step;
        step *= d;
    }
    int64_t count = 1;
    for (const int64_t d : batch) count *= d;
    std::vector<int64_t> offsets(static_cast<size_t>(count), 0);
    for (int64_t b = 0; b < count; ++b) {
        int64_t rest = b, at = 0;
        for (size_t i = batch.size(); i-- > 0;) {
            at += rest % batch[i] * stride[i];
            rest /= batch[i];
        }
        offsets[static_cast<size_t>(b)] = at;
    }
    return offsets;
}

class AttentionKernel : public Kernel {
public:
    AttentionKernel(AttentionScale op, float scale, bool masked) : op_(op), scale_(scale), masked_(masked) {}

    void run(KernelContext& ctx) override {
        const Tensor& q = ctx.in(0);
        const Tensor& k = ctx.in(1);
        const Tensor& v = ctx.in(2);
        const Tensor* mask = masked_ ? &ctx.in(3) : nullptr;
        for (const Tensor* t : {&q, &k, &v, mask}) {
            if (t != nullptr) requireFloat(*t, "attention operand");
        }
        // Planned once per set of shapes (and team size): executions allocate nothing.
        const bool planned = q.shape() == planned_.q && k.shape() == planned_.k && v.shape() == planned_.v &&
                             (mask != nullptr ? mask->shape() == planned_.mask : planned_.mask.empty()) &&
                             static_cast<int>(states_.size()) >= teamSize();
        if (ctx.dryRun()) {
            ctx.out(0, DType::Float, geometryOf(q, k, v, mask).out);
            return ctx.zeroOutputs();
        }
        if (!planned) plan(geometryOf(q, k, v, mask));
        const Geometry& g = planned_;
        Tensor& y = ctx.out(0, DType::Float, g.out);
        if (y.size() == 0) return;
        const Operands o{q.data<float>(), k.data<float>(), v.data<float>(), mask != nullptr ? mask->data<float>() : nullptr,
                         y.data<float>()};
        const int64_t blocks = (g.rows + block_ - 1) / block_, units = static_cast<int64_t>(qOffsets_.size()) * blocks;
        // Nothing may leave the team's region: a failure is kept for after it.
        std::string failure;
        parallelTeam(units * block_ * g.cols * (g.inner + g.width), [&](int thread, int threads) {
            try {
                for (int64_t u = thread; u < units; u += threads) runBlock(states_[static_cast<size_t>(thread)], u, blocks, o);
                dn::threadStream().wait();
            } catch (const std::exception& e) {
#pragma omp critical(vexa_attention_failure)
                failure = e.what();
            }
        });
        if (!failure.empty()) throw ExecError("attention: " + failure);
    }

    // Named before the first execution plans the products.
    std::string implementation() const override { return "vexa:attention"; }

private:
    struct Products {
        memory q, k, s, v, y, pad;
        dn::Call scores, weighted;
    };
    struct State {
        Buffer scores, scratch;
        std::vector<float> inverse;  // 1 / each row's sum
        Products products[2];  // a whole block, the last rows
    };
    struct Operands {
        const float *q, *k, *v, *mask;
        float* y;
    };

    // Unit u: block u % blocks of rows of batch entry u / blocks.
    void runBlock(State& st, int64_t u, int64_t blocks, const Operands& o) const {
        const Geometry& g = planned_;
        const int64_t N = g.cols;
        const auto b = static_cast<size_t>(u / blocks);
        const int64_t r0 = u % blocks * block_, rows = std::min(block_, g.rows - r0);
        auto& s = dn::threadStream();
        Products& p = st.products[rows == block_ ? 0 : 1];
        p.q.set_data_handle(const_cast<float*>(o.q + qOffsets_[b] + r0 * g.inner));
        p.k.set_data_handle(const_cast<float*>(o.k + kOffsets_[b]));
        p.v.set_data_handle(const_cast<float*>(o.v + vOffsets_[b]));
        p.y.set_data_handle(o.y + (static_cast<int64_t>(b) * g.rows + r0) * g.width);
        p.scores.run(s);
        float* sc = reinterpret_cast<float*>(st.scores.get());
        const bool wide = softmaxRowsHaveAvx512();
        // The product takes the numerators; each of its rows is then divided
        // by its sum (P values instead of N).
        for (int64_t r = 0; r < rows; ++r) {
            float* row = sc + r * N;
            scaleAndMask(row, o.mask != nullptr ? o.mask + mOffsets_[b] + (r0 + r) * maskRowStride_ : nullptr, N);
            const float sum = wide ? softmaxNumeratorsAvx512(row, row, N) : softmaxNumeratorsAvx2(row, row, N);
            st.inverse[static_cast<size_t>(r)] = 1.0f / sum;
        }
        p.weighted.run(s);
        float* y = o.y + (static_cast<int64_t>(b) * g.rows + r0) * g.width;
        for (int64_t r = 0; r < rows; ++r) {
            const float inv = st.inverse[static_cast<size_t>(r)];
            for (int64_t j = 0; j < g.width; ++j) y[r * g.width + j] *= inv;
        }
    }

    Geometry geometryOf(const Tensor& q, const Tensor& k, const Tensor& v, const Tensor* mask) const {
        Geometry g;
        g.q = q.shape();
        g.k = k.shape();
        g.v = v.shape();
        if (mask != nullptr) g.mask = mask->shape();
        const size_t r = g.q.size();
        if (r < 2 || g.k.size() != r || g.v.size() != r) throw ExecError("attention operands must share a rank of 2 or more");
        g.rows = g.q[r - 2];
        g.inner = g.q[r - 1];
        g.cols = g.k[r - 1];
        g.width = g.v[r - 1];
        // Planning fuses only operands without an empty dimension; shapes met later must keep to that.
        if (g.inner == 0 || g.cols == 0) throw ExecError("attention over an empty key or feature axis");
        if (g.k[r - 2] != g.inner || g.v[r - 2] != g.cols) {
            throw ExecError("attention operands " + shapeText(g.q) + ", " + shapeText(g.k) + " and " + shapeText(g.v) + " do not chain");
        }
        for (size_t i = 0; i + 2 < r; ++i) {
            const int64_t d = std::max({g.q[i], g.k[i], g.v[i]});
            for (const int64_t e : {g.q[i], g.k[i], g.v[i]}) {
                if (e != d && e != 1) throw ExecError("attention batch dimensions do not broadcast");
            }
            g.batch.push_back(d);
        }
        if (mask != nullptr) {
            if (g.mask.size() > r) throw ExecError("attention mask has more dimensions than the scores");
            Shape scores = g.batch;
            scores.push_back(g.rows);
            scores.push_back(g.cols);
            const size_t lead = r - g.mask.size();
            for (size_t i = 0; i < g.mask.size(); ++i) {
                if (g.mask[i] != 1 && g.mask[i] != scores[lead + i]) throw ExecError("attention mask does not broadcast to the scores");
            }
        }
        g.out = g.batch;
        g.out.push_back(g.rows);
        g.out.push_back(g.width);
        return g;
    }

    void scaleAndMask(float* row, const float* m, int64_t n) const {
        const float c = scale_;
        switch (op_) {
            case AttentionScale::Mul: for (int64_t j = 0; j < n; ++j) row[j] *= c; break;
            case AttentionScale::Div: for (int64_t j = 0; j < n; ++j) row[j] /= c; break;
            case AttentionScale::None: break;
        }
        if (m == nullptr) return;
        if (maskCols_ == 1) {
            const float add = m[0];
            for (int64_t j = 0; j < n; ++j) row[j] += add;
        } else {
            for (int64_t j = 0; j < n; ++j) row[j] += m[j];
        }
    }

    // Primitives for a block of `rows` rows, made for one thread each (the
    // team splits the blocks), and the memory they run on.
    static void makeProducts(const Geometry& g, int64_t rows, Products& p, size_t& scratch) {
        auto& eng = dn::cpuEngine();
        const auto f32 = memory::data_type::f32;
        const int64_t K = g.inner, N = g.cols, P = g.width;
        const memory::desc qd({rows, K}, f32, {K, 1}), kd({K, N}, f32, {N, 1}), sd({rows, N}, f32, {N, 1}),
            vd({N, P}, f32, {P, 1}), yd({rows, P}, f32, {P, 1});
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        const dnnl::matmul::primitive_desc scores(dnnl::matmul::desc(qd, kd, sd), attr, eng);
        const dnnl::matmul::primitive_desc weighted(dnnl::matmul::desc(sd, vd, yd), attr, eng);
        scratch = std::max({scratch, scores.scratchpad_desc().get_size(), weighted.scratchpad_desc().get_size()});
        p.q = memory(qd, eng, nullptr);
        p.k = memory(kd, eng, nullptr);
        p.s = memory(sd, eng, nullptr);
        p.v = memory(vd, eng, nullptr);
        p.y = memory(yd, eng, nullptr);
        p.pad = memory({{static_cast<int64_t>(std::max<size_t>(scratch, 1))}, memory::data_type::u8, memory::format_tag::a}, eng, nullptr);
        p.scores = dn::Call(dnnl::matmul(scores), {{DNNL_ARG_SRC, p.q}, {DNNL_ARG_WEIGHTS, p.k}, {DNNL_ARG_DST, p.s},
                                                   {DNNL_ARG_SCRATCHPAD, p.pad}});
        p.weighted = dn::Call(dnnl::matmul(weighted), {{DNNL_ARG_SRC, p.s}, {DNNL_ARG_WEIGHTS, p.v}, {DNNL_ARG_DST, p.y},
                                                       {DNNL_ARG_SCRATCHPAD, p.pad}});
    }

    void plan(const Geometry& g) {
        planned_ = Geometry{};
        block_ = std::clamp<int64_t>(kBlockScores / g.cols, 8, 128);
        block_ = std::min(block_, g.rows);
        qOffsets_ = batchOffsets(g.batch, g.q, g.rows * g.inner);
        kOffsets_ = batchOffsets(g.batch, g.k, g.inner * g.cols);
        vOffsets_ = batchOffsets(g.batch, g.v, g.cols * g.width);
        if (masked_) {
            const size_t mr = g.mask.size();
            maskCols_ = mr >= 1 ? g.mask[mr - 1] : 1;
            maskRowStride_ = mr >= 2 && g.mask[mr - 2] != 1 ? maskCols_ : 0;
            mOffsets_ = batchOffsets(g.batch, g.mask, (mr >= 2 ? g.mask[mr - 2] : 1) * maskCols_);
        }
        const int team = std::max(teamSize(), 1);
        const ThreadScope one(1);  // each block runs on one thread
        try {
            states_.clear();
            states_.resize(static_cast<size_t>(team));
            const int64_t tail = g.rows % block_;
            for (State& st : states_) {
                size_t scratch = 0;
                makeProducts(g, block_, st.products[0], scratch);
                if (tail != 0) makeProducts(g, tail, st.products[1], scratch);
                st.inverse.resize(static_cast<size_t>(block_));
                st.scores = allocateBuffer(static_cast<size_t>(block_ * g.cols) * sizeof(float), false);
                st.scratch = allocateBuffer(std::max<size_t>(scratch, 64), false);
                for (Products& p : st.products) {
                    if (!p.scores) continue;
                    p.s.set_data_handle(st.scores.get());
                    p.pad.set_data_handle(st.scratch.get());
                }
            }
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "attention");
        }
        planned_ = g;
    }

    AttentionScale op_;
    float scale_;
    bool masked_;
    Geometry planned_;
    int64_t block_ = 0, maskCols_ = 1, maskRowStride_ = 0;
    std::vector<int64_t> qOffsets_, kOffsets_, vOffsets_, mOffsets_;
    std::vector<State> states_;
};

}  // namespace

std::unique_ptr<Kernel> makeAttention(AttentionScale op, float scale, bool masked) {
    return std::make_unique<AttentionKernel>(op, scale, masked);
}

}  // namespace vexart
