// Einsum (any equation, with ellipses, repeated labels and broadcasting)
// and Det. Einsum walks every combination of its labels once; the products
// that dominate a model go through MatMul, which exporters prefer.
#include <onnx/onnx_pb.h>

#include <cmath>
#include <map>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"

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
        const int64_t combos = elementCount(dims);
        if (combos > (int64_t(1) << 32)) throw ExecError("einsum is too large to evaluate");
        Tensor& y = ctx.out(0, type, shape);
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
    Equation eq_;
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
            VEXA_DISPATCH_FLOAT(x.type(), determinants<T>(x, y))
        });
    });
}

}  // namespace vexart
