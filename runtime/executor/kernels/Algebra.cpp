// Einsum (any equation, with ellipses, repeated labels and broadcasting)
// and Det. Products of float operands (each label once per operand, none
// summed away inside one operand) run as a chain of batched matrix
// products, two operands at a time, on copies only of operands out of each
// product's order; every other equation walks each combination of its
// labels once.
#include <onnx/onnx_pb.h>

#include <Eigen/Core>

#include <cmath>
#include <map>
#include <set>

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
            // As numpy: an output label once (a repeat names no element).
            for (size_t i = 0; i < out.size(); ++i) {
                if (std::find(out.begin() + static_cast<std::ptrdiff_t>(i) + 1, out.end(), out[i]) != out.end()) {
                    throw ExecError("einsum output repeats a label");
                }
            }
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
        products_ = type == DType::Float && inputs >= 2 && asProducts(ctx, ins, out, size, shape);
        if (products_) return;
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

    std::string implementation() const override { return products_ ? "vexa:products" : "vexa:walk"; }

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

    // An operand of a chain of products: its values and each label's stride.
    struct Operand {
        const float* data = nullptr;
        std::map<int, int64_t> strides;
    };

    // Labels of `a` and `b` that a product of the two keeps: those of
    // `wanted`, in its order, then the others in `later`. False where a
    // label neither keeps is in one operand only (summed inside it).
    static bool keptLabels(const Operand& a, const Operand& b, const Labels& wanted, const std::set<int>& later,
                           Labels& keep) {
        keep.clear();
        for (int l : wanted) {
            if (a.strides.count(l) != 0 || b.strides.count(l) != 0) keep.push_back(l);
        }
        for (const auto* m : {&a.strides, &b.strides}) {
            for (const auto& [l, st] : *m) {
                if (std::find(keep.begin(), keep.end(), l) != keep.end()) continue;
                if (later.count(l) != 0) {
                    keep.push_back(l);
                } else if (a.strides.count(l) == 0 || b.strides.count(l) == 0) {
                    return false;
                }
            }
        }
        return true;
    }

    // Equations of float operands whose labels each occur once per operand
    // and unbroadcast, as a chain of products taken left to right: each
    // keeps the labels the output or a later operand has and sums the
    // others. False where the chain cannot take the equation (repeats,
    // broadcasting, a label summed in one operand, a copy larger than a
    // tensor may be, an empty label).
    bool asProducts(KernelContext& ctx, const std::vector<Labels>& ins, const Labels& out,
                    const std::map<int, int64_t>& size, const Shape& shape) {
        const size_t n = ins.size();
        std::vector<Operand> ops(n);
        for (size_t i = 0; i < n; ++i) {
            const Tensor& t = ctx.in(i);
            const auto st = stridesOf(t.shape());
            ops[i].data = t.data<float>();
            for (size_t d = 0; d < ins[i].size(); ++d) {
                if (ops[i].strides.count(ins[i][d]) != 0 || t.dim(d) != size.at(ins[i][d])) return false;
                ops[i].strides[ins[i][d]] = st[d];
            }
        }
        for (const auto& [l, s] : size) {
            if (s == 0) return false;
        }
        // The labels each step keeps, planned before anything is written.
        std::vector<Labels> keeps(n);
        Operand cur = ops[0];
        for (size_t i = 1; i < n; ++i) {
            std::set<int> later(out.begin(), out.end());
            for (size_t j = i + 1; j < n; ++j) later.insert(ins[j].begin(), ins[j].end());
            if (!keptLabels(cur, ops[i], out, later, keeps[i])) return false;
            if (i + 1 == n && keeps[i] != out) return false;
            if (!fits(cur, ops[i], keeps[i], size)) return false;
            cur.strides.clear();
            for (int l : keeps[i]) cur.strides[l] = 0;  // only which labels it has matters here
        }
        Tensor& y = ctx.out(0, DType::Float, shape);
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return true;
        }
        cur = ops[0];
        for (size_t i = 1; i < n; ++i) {
            const bool last = i + 1 == n;
            std::vector<float>& into = steps_[i % 2];
            if (!last) into.resize(static_cast<size_t>(countOf(keeps[i], size)));
            float* dst = last ? y.data<float>() : into.data();
            contract(cur, ops[i], keeps[i], size, dst);
            cur.data = dst;
            cur.strides.clear();
            int64_t step = 1;
            for (size_t d = keeps[i].size(); d-- > 0;) {
                cur.strides[keeps[i][d]] = step;
                step *= size.at(keeps[i][d]);
            }
        }
        return true;
    }

    static int64_t countOf(const Labels& ls, const std::map<int, int64_t>& size) {
        int64_t c = 1;
        for (int l : ls) c *= size.at(l);
        return c;
    }

    // Batch, row, column and summed labels of a product of `a` and `b` into `keep`.
    static void roles(const Operand& a, const Operand& b, const Labels& keep, Labels& batch, Labels& rows, Labels& cols,
                      Labels& inner) {
        for (int l : keep) {
            const bool inA = a.strides.count(l) != 0, inB = b.strides.count(l) != 0;
            (inA && inB ? batch : inA ? rows : cols).push_back(l);
        }
        for (const auto& [l, st] : a.strides) {
            if (std::find(keep.begin(), keep.end(), l) == keep.end()) inner.push_back(l);
        }
    }

    // Each copy of a product within what a tensor may hold (an outer product may not be).
    static bool fits(const Operand& a, const Operand& b, const Labels& keep, const std::map<int, int64_t>& size) {
        Labels batch, rows, cols, inner;
        roles(a, b, keep, batch, rows, cols, inner);
        const double B = double(countOf(batch, size)), M = double(countOf(rows, size)), N = double(countOf(cols, size)),
                     K = double(countOf(inner, size));
        constexpr double kMost = double(int64_t{1} << 31);
        return B * M * K <= kMost && B * K * N <= kMost && B * M * N <= kMost;
    }

    // A matrix where it lies: element (r, c) at p[r * rs + c * cs].
    struct View {
        const float* p = nullptr;
        int64_t rs = 0, cs = 0;
    };

    // The stride of a group of labels taken as one axis; false unless their
    // strides nest (each the next one's times its size; axes of one element
    // skipped).
    static bool collapse(const Labels& group, const std::map<int, int64_t>& strides, const std::map<int, int64_t>& size,
                         int64_t& stride) {
        stride = 1;
        int64_t next = -1;
        for (size_t d = group.size(); d-- > 0;) {
            const int64_t n = size.at(group[d]);
            if (n == 1) continue;
            const int64_t st = strides.at(group[d]);
            if (next < 0) stride = st;
            else if (st != next) return false;
            next = st * n;
        }
        return true;
    }

    // Strides of a rows x cols view over `rows` and `cols` labels, one of
    // them 1 as a product reads it; false where the labels do not allow one.
    static bool viewOf(const Labels& rows, const Labels& cols, const std::map<int, int64_t>& strides,
                       const std::map<int, int64_t>& size, View& v) {
        if (!collapse(rows, strides, size, v.rs) || !collapse(cols, strides, size, v.cs)) return false;
        if (countOf(rows, size) == 1) v.rs = v.cs == 1 ? countOf(cols, size) : 1;
        if (countOf(cols, size) == 1) v.cs = v.rs == 1 ? countOf(rows, size) : 1;
        return v.rs == 1 || v.cs == 1;
    }

    template <typename MA, typename MB>
    static void gemm(const MA& a, const MB& b, float* c, int64_t M, int64_t N, int64_t ldc) {
        Eigen::Map<RowMat, 0, Eigen::OuterStride<>>(c, M, N, Eigen::OuterStride<>(ldc)).noalias() = a * b;
    }

    // C (M x N, rows ldc apart) = A (M x K) B (K x N), each read where it lies.
    static void product(const View& a, const View& b, float* c, int64_t ldc, int64_t M, int64_t N, int64_t K) {
        using ColMat = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor>;
        using RowMap = Eigen::Map<const RowMat, 0, Eigen::OuterStride<>>;
        using ColMap = Eigen::Map<const ColMat, 0, Eigen::OuterStride<>>;
        using Outer = Eigen::OuterStride<>;
        if (K == 1) {  // an outer product
            for (int64_t m = 0; m < M; ++m) {
                const float v = a.p[m * a.rs];
                for (int64_t n = 0; n < N; ++n) c[m * ldc + n] = v * b.p[n * b.cs];
            }
        } else if (a.cs == 1 && b.cs == 1) {
            gemm(RowMap(a.p, M, K, Outer(a.rs)), RowMap(b.p, K, N, Outer(b.rs)), c, M, N, ldc);
        } else if (a.cs == 1) {
            gemm(RowMap(a.p, M, K, Outer(a.rs)), ColMap(b.p, K, N, Outer(b.cs)), c, M, N, ldc);
        } else if (b.cs == 1) {
            gemm(ColMap(a.p, M, K, Outer(a.cs)), RowMap(b.p, K, N, Outer(b.rs)), c, M, N, ldc);
        } else {
            gemm(ColMap(a.p, M, K, Outer(a.cs)), ColMap(b.p, K, N, Outer(b.cs)), c, M, N, ldc);
        }
    }

    // Offset of batch `i` (row-major over `batch`) in an operand with `strides`.
    static int64_t batchOffset(int64_t i, const Labels& batch, const std::map<int, int64_t>& strides,
                               const std::map<int, int64_t>& size) {
        int64_t off = 0;
        for (size_t d = batch.size(); d-- > 0;) {
            const int64_t n = size.at(batch[d]);
            off += i % n * strides.at(batch[d]);
            i /= n;
        }
        return off;
    }

    // dst, laid out in the order of `keep`, = C[b][m][n] = sum over k of
    // A[b][m][k] B[b][k][n], with b the labels of both operands kept, m and
    // n those of one operand kept, k those of both summed. Operands and the
    // result are read and written where they lie when their labels make
    // matrices there; only the others are copied into the product's order.
    void contract(const Operand& a, const Operand& b, const Labels& keep, const std::map<int, int64_t>& size, float* dst) {
        Labels batch, rows, cols, inner;
        roles(a, b, keep, batch, rows, cols, inner);
        const int64_t B = countOf(batch, size), M = countOf(rows, size), N = countOf(cols, size), K = countOf(inner, size);
        auto concat = [](std::initializer_list<const Labels*> parts) {
            Labels all;
            for (const Labels* p : parts) all.insert(all.end(), p->begin(), p->end());
            return all;
        };
        auto rowMajor = [&](const Labels& order) {
            std::map<int, int64_t> st;
            int64_t step = 1;
            for (size_t d = order.size(); d-- > 0;) {
                st[order[d]] = step;
                step *= size.at(order[d]);
            }
            return st;
        };
        // Each operand where it lies, else packed as [batch][rows][cols].
        auto operand = [&](const Operand& o, const Labels& r, const Labels& c, std::vector<float>& packed,
                           std::map<int, int64_t>& strides, View& v) {
            strides = o.strides;
            v.p = o.data;
            if (viewOf(r, c, strides, size, v)) return;
            const Labels order = concat({&batch, &r, &c});
            packed.resize(static_cast<size_t>(countOf(order, size)));
            gather(o.data, o.strides, order, size, packed.data());
            strides = rowMajor(order);
            v.p = packed.data();
            viewOf(r, c, strides, size, v);
        };
        std::map<int, int64_t> sa, sb;
        View va, vb;
        operand(a, rows, inner, packedA_, sa, va);
        operand(b, inner, cols, packedB_, sb, vb);
        std::map<int, int64_t> sc = rowMajor(keep);
        View vc;
        const bool direct = viewOf(rows, cols, sc, size, vc);
        float* c = dst;
        if (!direct) {
            packedC_.resize(static_cast<size_t>(B * M * N));
            sc = rowMajor(concat({&batch, &rows, &cols}));
            viewOf(rows, cols, sc, size, vc);
            c = packedC_.data();
        }
        // One product per batch, the batches over the threads; a result
        // whose columns are not contiguous is written as its transpose.
        parallelFor(B, B * M * N * K, [&](int64_t i) {
            View ai = va, bi = vb;
            ai.p += batchOffset(i, batch, sa, size);
            bi.p += batchOffset(i, batch, sb, size);
            float* ci = c + batchOffset(i, batch, sc, size);
            if (vc.cs == 1) {
                product(ai, bi, ci, vc.rs, M, N, K);
            } else {
                product(View{bi.p, bi.cs, bi.rs}, View{ai.p, ai.cs, ai.rs}, ci, vc.cs, N, M, K);
            }
        });
        if (!direct) gather(packedC_.data(), sc, keep, size, dst);
    }

    Equation eq_;
    std::vector<float> packedA_, packedB_, packedC_;
    std::vector<float> steps_[2];  // results between the products of a chain
    bool products_ = false;         // the last run took the chain of products
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
