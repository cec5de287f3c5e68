// Einsum (any equation, with ellipses, repeated labels and broadcasting)
// and Det. A product of two float operands (each label once per operand,
// none summed away inside one operand) runs as batched matrix products,
// on copies only of operands out of the product's order; every other
// equation walks each combination of its labels once.
#include <onnx/onnx_pb.h>

#include <Eigen/Core>

#include <cmath>
#include <map>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "core/Threads.h"

namespace vexart {
namespace {

// Labels of one operand: letters, and 256 + k for the k-th axis an
// ellipsis stands for (counted so that the ellipses of all operands align right).
using Labels = std::vector<int>;

struct Equation {
    std::vector<std::string> terms;
    std::string output;
    bool explicitOutput = false;
};

Equation parseEquation(std::string eq) {
    std::string clean;
    for (char c : eq) {
        if (c != ' ') clean += c;
    }
    Equation e;
    const auto arrow = clean.find("->");
    std::string lhs = clean.substr(0, arrow);
    if (arrow != std::string::npos) {
        e.explicitOutput = true;
        e.output = clean.substr(arrow + 2);
    }
    size_t start = 0;
    while (true) {
        const auto comma = lhs.find(',', start);
        e.terms.push_back(lhs.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return e;
}

Labels labelsOf(const std::string& term, size_t rank, size_t ellipsisRank, bool isOutput) {
    Labels labels;
    const auto dots = term.find("...");
    const size_t letters = term.size() - (dots == std::string::npos ? 0 : 3);
    if (!isOutput && (dots == std::string::npos ? letters != rank : letters > rank)) {
        throw ExecError("einsum term '" + term + "' does not match an operand of rank " + std::to_string(rank));
    }
    const size_t mine = isOutput ? ellipsisRank : rank - letters;
    for (size_t i = 0; i < term.size(); ++i) {
        if (i == dots) {
            for (size_t k = 0; k < mine; ++k) labels.push_back(256 + static_cast<int>(ellipsisRank - mine + k));
            i += 2;
            continue;
        }
        const char c = term[i];
        if (!std::isalpha(static_cast<unsigned char>(c))) throw ExecError(std::string("einsum label '") + c + "' is not a letter");
        labels.push_back(c);
    }
    return labels;
}

class EinsumKernel : public Kernel {
public:
    explicit EinsumKernel(const std::string& equation) : eq_(parseEquation(equation)) {}
    void run(KernelContext& ctx) override {
        const size_t inputs = ctx.inputCount();
        if (inputs != eq_.terms.size()) throw ExecError("einsum equation names " + std::to_string(eq_.terms.size()) + " operands");
        const DType type = ctx.in(0).type();
        size_t ellipsis = 0;
        for (size_t i = 0; i < inputs; ++i) {
            const auto& term = eq_.terms[i];
            if (term.find("...") != std::string::npos) ellipsis = std::max(ellipsis, ctx.in(i).rank() - (term.size() - 3));
            if (ctx.in(i).type() != type) throw ExecError("einsum operands differ in type");
        }
        std::vector<Labels> ins;
        std::map<int, int64_t> size;
        std::map<int, int> count;
        for (size_t i = 0; i < inputs; ++i) {
            ins.push_back(labelsOf(eq_.terms[i], ctx.in(i).rank(), ellipsis, false));
            for (size_t d = 0; d < ins.back().size(); ++d) {
                const int l = ins.back()[d];
                const int64_t s = ctx.in(i).dim(d);
                auto it = size.find(l);
                if (it == size.end() || it->second == 1) {
                    size[l] = s;
                } else if (s != 1 && s != it->second) {
                    throw ExecError("einsum label sizes disagree");
                }
                ++count[l];
            }
        }
        Labels out;
        if (eq_.explicitOutput) {
            out = labelsOf(eq_.output, 0, ellipsis, true);
        } else {
            for (size_t k = 0; k < ellipsis; ++k) out.push_back(256 + static_cast<int>(k));
            for (const auto& [l, c] : count) {
                if (l < 256 && c == 1) out.push_back(l);
            }
        }
        Labels all = out;
        for (const auto& [l, s] : size) {
            if (std::find(out.begin(), out.end(), l) == out.end()) all.push_back(l);
        }
        Shape shape;
        for (int l : out) {
            if (size.count(l) == 0) throw ExecError("einsum output label is in no operand");
            shape.push_back(size[l]);
        }
        // Per label, its stride in each operand (summed over repeats; 0 where broadcast).
        std::vector<std::vector<int64_t>> strides(inputs, std::vector<int64_t>(all.size(), 0));
        for (size_t i = 0; i < inputs; ++i) {
            const auto st = stridesOf(ctx.in(i).shape());
            for (size_t d = 0; d < ins[i].size(); ++d) {
                const size_t a = static_cast<size_t>(std::find(all.begin(), all.end(), ins[i][d]) - all.begin());
                if (ctx.in(i).dim(d) != 1) strides[i][a] += st[d];
            }
        }
        Shape dims;
        for (int l : all) dims.push_back(size[l]);
        if (type == DType::Float && inputs == 2 && asProduct(ctx, ins, out, size, shape)) return;
        const int64_t combos = elementCount(dims);
        if (combos > (int64_t(1) << 32)) throw ExecError("einsum is too large to evaluate");
        Tensor& y = ctx.out(0, type, shape);
        if (ctx.dryRun()) return ctx.zeroOutputs();
        VEXA_DISPATCH_NUMERIC(type, {
            std::vector<double> acc(static_cast<size_t>(y.size()), 0.0);
            std::vector<const T*> ptr(inputs);
            for (size_t i = 0; i < inputs; ++i) ptr[i] = ctx.in(i).data<T>();
            std::vector<int64_t> pos(all.size(), 0), offset(inputs, 0);
            const auto outStrides = stridesOf(shape);
            int64_t o = 0;
            for (int64_t c = 0; c < combos; ++c) {
                double p = 1;
                for (size_t i = 0; i < inputs; ++i) p *= static_cast<double>(ptr[i][offset[i]]);
                acc[static_cast<size_t>(o)] += p;
                for (size_t d = all.size(); d-- > 0;) {
                    ++pos[d];
                    for (size_t i = 0; i < inputs; ++i) offset[i] += strides[i][d];
                    if (d < out.size()) o += outStrides[d];
                    if (pos[d] < dims[d]) break;
                    for (size_t i = 0; i < inputs; ++i) offset[i] -= strides[i][d] * dims[d];
                    if (d < out.size()) o -= outStrides[d] * dims[d];
                    pos[d] = 0;
                }
            }
            T* py = y.data<T>();
            for (int64_t k = 0; k < y.size(); ++k) py[k] = castValue<T>(acc[static_cast<size_t>(k)]);
        })
    }

private:
    using RowMat = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    // Copies `src` (strides per label in `strides`) into `dst`, laid out in
    // the order of `order`.
    static void gather(const float* src, const std::map<int, int64_t>& strides, const Labels& order,
                       const std::map<int, int64_t>& size, float* dst) {
        const size_t r = order.size();
        std::vector<int64_t> st(r), n(r), pos(r, 0);
        int64_t total = 1;
        for (size_t d = 0; d < r; ++d) {
            st[d] = strides.at(order[d]);
            n[d] = size.at(order[d]);
            total *= n[d];
        }
        int64_t off = 0;
        for (int64_t e = 0; e < total; ++e) {
            dst[e] = src[off];
            for (size_t d = r; d-- > 0;) {
                off += st[d];
                if (++pos[d] < n[d]) break;
                off -= st[d] * n[d];
                pos[d] = 0;
            }
        }
    }

    // C[b][m][n] = sum over k of A[b][m][k] B[b][k][n], with b the labels of
    // both operands and the output, m and n those of one operand and the
    // output, k those of both operands only. False where the equation is
    // not such a product (repeats, broadcasting, a label summed in one operand).
    bool asProduct(KernelContext& ctx, const std::vector<Labels>& ins, const Labels& out,
                   const std::map<int, int64_t>& size, const Shape& shape) {
        const Tensor& a = ctx.in(0);
        const Tensor& b = ctx.in(1);
        std::map<int, int64_t> sa, sb;
        for (size_t i = 0; i < 2; ++i) {
            const Tensor& t = ctx.in(i);
            const auto st = stridesOf(t.shape());
            auto& m = i == 0 ? sa : sb;
            for (size_t d = 0; d < ins[i].size(); ++d) {
                if (m.count(ins[i][d]) != 0 || t.dim(d) != size.at(ins[i][d])) return false;  // repeat or broadcast
                m[ins[i][d]] = st[d];
            }
        }
        Labels batch, rows, cols, inner;
        for (int l : out) {
            const bool inA = sa.count(l) != 0, inB = sb.count(l) != 0;
            (inA && inB ? batch : inA ? rows : cols).push_back(l);
        }
        for (const auto& [l, st] : sa) {
            if (std::find(out.begin(), out.end(), l) != out.end()) continue;
            if (sb.count(l) == 0) return false;
            inner.push_back(l);
        }
        for (const auto& [l, st] : sb) {
            if (std::find(out.begin(), out.end(), l) == out.end() && sa.count(l) == 0) return false;
        }
        auto count = [&](const Labels& ls) {
            int64_t n = 1;
            for (int l : ls) n *= size.at(l);
            return n;
        };
        const int64_t B = count(batch), M = count(rows), N = count(cols), K = count(inner);
        // Each copy within what a tensor may hold (an outer product may not be).
        constexpr double kMost = double(int64_t{1} << 31);
        if (double(B) * M * K > kMost || double(B) * K * N > kMost || double(B) * M * N > kMost) return false;
        if (ctx.dryRun()) {
            ctx.out(0, DType::Float, shape);
            ctx.zeroOutputs();
            return true;
        }
        Labels orderA = batch, orderB = batch, orderC = batch;
        orderA.insert(orderA.end(), rows.begin(), rows.end());
        orderA.insert(orderA.end(), inner.begin(), inner.end());
        orderB.insert(orderB.end(), inner.begin(), inner.end());
        orderB.insert(orderB.end(), cols.begin(), cols.end());
        orderC.insert(orderC.end(), rows.begin(), rows.end());
        orderC.insert(orderC.end(), cols.begin(), cols.end());
        // Operands already laid out in the product's order are read where
        // they lie, and a result in the output's order is written there.
        const float* pa = a.data<float>();
        if (!inOrder(sa, orderA, size)) {
            packedA_.resize(static_cast<size_t>(B * M * K));
            gather(pa, sa, orderA, size, packedA_.data());
            pa = packedA_.data();
        }
        const float* pb = b.data<float>();
        if (!inOrder(sb, orderB, size)) {
            packedB_.resize(static_cast<size_t>(B * K * N));
            gather(pb, sb, orderB, size, packedB_.data());
            pb = packedB_.data();
        }
        Tensor& y = ctx.out(0, DType::Float, shape);
        if (y.size() == 0) return true;
        const bool direct = orderC == out;
        if (!direct) packedC_.resize(static_cast<size_t>(B * M * N));
        float* pc = direct ? y.data<float>() : packedC_.data();
        // One product per batch, the batches over the threads; a product
        // over no shared label is an outer product, written row by row.
        parallelFor(B, B * M * N * K, [&](int64_t i) {
            const float* ai = pa + i * M * K;
            const float* bi = pb + i * K * N;
            float* ci = pc + i * M * N;
            if (K == 1) {
                for (int64_t m = 0; m < M; ++m) {
                    const float v = ai[m];
                    for (int64_t n = 0; n < N; ++n) ci[m * N + n] = v * bi[n];
                }
                return;
            }
            Eigen::Map<RowMat>(ci, M, N).noalias() = Eigen::Map<const RowMat>(ai, M, K) * Eigen::Map<const RowMat>(bi, K, N);
        });
        if (direct) return true;
        // The product's [batch, rows, cols] into the output's label order.
        std::map<int, int64_t> sc;
        const auto stC = stridesOf(Shape([&] {
            Shape s;
            for (int l : orderC) s.push_back(size.at(l));
            return s;
        }()));
        for (size_t d = 0; d < orderC.size(); ++d) sc[orderC[d]] = stC[d];
        gather(packedC_.data(), sc, out, size, y.data<float>());
        return true;
    }

    // Whether an operand whose labels have `strides` is laid out row-major
    // in `order` (labels of one element skipped: any stride serves).
    static bool inOrder(const std::map<int, int64_t>& strides, const Labels& order, const std::map<int, int64_t>& size) {
        int64_t step = 1;
        for (size_t d = order.size(); d-- > 0;) {
            const int64_t n = size.at(order[d]);
            if (n != 1 && strides.at(order[d]) != step) return false;
            step *= n;
        }
        return true;
    }

    Equation eq_;
    std::vector<float> packedA_, packedB_, packedC_;
};

// Determinants of the trailing square matrices, by LU with partial pivoting.
template <typename T>
void determinants(const Tensor& x, Tensor& y) {
    const int64_t n = x.dim(x.rank() - 1);
    const T* px = x.data<T>();
    T* py = y.data<T>();
    std::vector<double> a(static_cast<size_t>(n * n));
    for (int64_t m = 0; m < y.size(); ++m) {
        for (int64_t k = 0; k < n * n; ++k) a[static_cast<size_t>(k)] = static_cast<double>(px[m * n * n + k]);
        double det = 1;
        for (int64_t c = 0; c < n && det != 0; ++c) {
            int64_t pivot = c;
            for (int64_t r = c + 1; r < n; ++r) {
                if (std::fabs(a[static_cast<size_t>(r * n + c)]) > std::fabs(a[static_cast<size_t>(pivot * n + c)])) pivot = r;
            }
            if (a[static_cast<size_t>(pivot * n + c)] == 0) {
                det = 0;
                break;
            }
            if (pivot != c) {
                for (int64_t k = 0; k < n; ++k) std::swap(a[static_cast<size_t>(c * n + k)], a[static_cast<size_t>(pivot * n + k)]);
                det = -det;
            }
            const double d = a[static_cast<size_t>(c * n + c)];
            det *= d;
            for (int64_t r = c + 1; r < n; ++r) {
                const double f = a[static_cast<size_t>(r * n + c)] / d;
                for (int64_t k = c; k < n; ++k) a[static_cast<size_t>(r * n + k)] -= f * a[static_cast<size_t>(c * n + k)];
            }
        }
        py[m] = static_cast<T>(det);
    }
}

}  // namespace

void registerAlgebraKernels() {
    registerKernel("Einsum", [](const onnx::NodeProto& n, int64_t) {
        return std::make_unique<EinsumKernel>(Attrs(n).s("equation", ""));
    });
    registerKernel("Det", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            if (x.rank() < 2 || x.dim(x.rank() - 1) != x.dim(x.rank() - 2)) throw ExecError("Det takes square matrices");
            Tensor& y = ctx.out(0, x.type(), Shape(x.shape().begin(), x.shape().end() - 2));
            if (ctx.dryRun()) return ctx.zeroOutputs();
            VEXA_DISPATCH_FLOAT(x.type(), determinants<T>(x, y))
        });
    });
}

}  // namespace vexart
