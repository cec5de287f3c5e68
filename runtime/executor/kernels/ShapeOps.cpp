// Operators that move or reshape data without arithmetic on it.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "core/Broadcast.h"
#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "kernels/Fallbacks.h"
#include "onednn/Dnnl.h"
#include "core/Threads.h"

namespace vexart {
namespace {

// A dry run leaves the copy zero: planning drops it for a view of the
// input, and touching megabytes of fresh pages per reshape cost loads.
void copyAll(const KernelContext& ctx, const Tensor& src, Tensor& dst) {
    if (src.type() == DType::String) {
        dst.strings = src.strings;
    } else if (ctx.dryRun()) {
        dst.zero();
    } else if (src.bytes() != 0 && src.raw() != dst.raw()) {
        std::memcpy(dst.raw(), src.raw(), src.bytes());
    }
}

// Element copy of `n` elements of `size` bytes.
inline void copyElems(uint8_t* dst, const uint8_t* src, int64_t n, size_t size) {
    std::memcpy(dst, src, static_cast<size_t>(n) * size);
}

template <typename T>
void moveRun(const uint8_t* src, int64_t srcStride, int64_t n, uint8_t* dst, int64_t dstStride) {
    const T* from = reinterpret_cast<const T*>(src);
    T* to = reinterpret_cast<T*>(dst);
    for (int64_t k = 0; k < n; ++k) to[k * dstStride] = from[k * srcStride];
}

// Copies the elements of `shape` from `src` with element strides `from`
// (any sign) to `dst` with element strides `to`. Unit dimensions are
// dropped and dimensions whose strides chain on both sides are merged, so
// the innermost run is as long as it can be and a contiguous one is one
// memcpy.
void copyView(const uint8_t* src, const std::vector<int64_t>& from, uint8_t* dst, const std::vector<int64_t>& to,
              const Shape& shape, size_t es) {
    Shape s;
    std::vector<int64_t> sf, st;
    int64_t total = 1;
    for (size_t i = 0; i < shape.size(); ++i) {
        total *= shape[i];
        if (shape[i] == 1) continue;
        if (!s.empty() && sf.back() == from[i] * shape[i] && st.back() == to[i] * shape[i]) {
            s.back() *= shape[i];
            sf.back() = from[i];
            st.back() = to[i];
            continue;
        }
        s.push_back(shape[i]);
        sf.push_back(from[i]);
        st.push_back(to[i]);
    }
    if (total == 0) return;
    if (s.empty()) {
        std::memcpy(dst, src, es);
        return;
    }
    // Where the output's contiguous runs are short (a pixel shuffle, a
    // transpose to a narrow last axis), the axis the input reads
    // contiguously goes innermost if it is longer: long runs of strided
    // writes cost far less than many short runs, each found by division.
    if (s.back() < 16) {
        for (size_t a = 0; a + 1 < s.size(); ++a) {
            if (sf[a] != 1 || s[a] <= s.back()) continue;
            for (auto* v : {&s, &sf, &st}) {
                const int64_t moved = (*v)[a];
                v->erase(v->begin() + static_cast<std::ptrdiff_t>(a));
                v->push_back(moved);
            }
            break;
        }
    }
    const int64_t inner = s.back(), innerFrom = sf.back(), innerTo = st.back(), outer = total / inner;
    const auto e = static_cast<int64_t>(es);
    const size_t r = s.size();
    parallelFor(outer, total, [&](int64_t o) {
        int64_t rem = o, offFrom = 0, offTo = 0;
        for (size_t d = r - 1; d-- > 0;) {
            const int64_t i = rem % s[d];
            offFrom += i * sf[d];
            offTo += i * st[d];
            rem /= s[d];
        }
        const uint8_t* a = src + offFrom * e;
        uint8_t* b = dst + offTo * e;
        if (innerFrom == 1 && innerTo == 1) {
            std::memcpy(b, a, static_cast<size_t>(inner) * es);
            return;
        }
        switch (es) {
            case 1: moveRun<uint8_t>(a, innerFrom, inner, b, innerTo); break;
            case 2: moveRun<uint16_t>(a, innerFrom, inner, b, innerTo); break;
            case 4: moveRun<uint32_t>(a, innerFrom, inner, b, innerTo); break;
            default: moveRun<uint64_t>(a, innerFrom, inner, b, innerTo); break;  // 8: the widest element
        }
    });
}

// The view of `src` with `shape` and element `strides`, into contiguous `dst`.
void copyStrided(const uint8_t* src, const Shape& shape, const std::vector<int64_t>& strides, size_t es, uint8_t* dst) {
    copyView(src, strides, dst, stridesOf(shape), shape, es);
}

void transpose(const Tensor& x, const std::vector<int64_t>& perm, Tensor& out) {
    const size_t es = elementBytes(x);
    const auto st = stridesOf(x.shape());
    std::vector<int64_t> srcStride(perm.size());
    for (size_t i = 0; i < perm.size(); ++i) srcStride[i] = st[static_cast<size_t>(perm[i])];
    copyStrided(static_cast<const uint8_t*>(x.raw()), out.shape(), srcStride, es, static_cast<uint8_t*>(out.raw()));
}

std::vector<int64_t> axesFrom(KernelContext& ctx, size_t input, const std::vector<int64_t>& attr) {
    if (ctx.has(input)) return ctx.in(input).toInt64();
    return attr;
}

class SliceKernel : public Kernel {
public:
    SliceKernel(const onnx::NodeProto& n, int64_t opset) : opset_(opset) {
        const Attrs a(n);
        starts_ = a.ints("starts");
        ends_ = a.ints("ends");
        axes_ = a.ints("axes");
    }
    // A slice that keeps everything takes its input in any layout: planning
    // makes it a view, and otherwise it copies the bytes as they lie.
    LayoutUse layoutUse(const KernelContext& ctx) const override {
        return viewsInput(ctx) ? LayoutUse::Any : LayoutUse::Plain;
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (!x.isPlain()) {
            if (!viewsInput(ctx)) throw ExecError("slice of a tensor in another layout than the plain one");
            Tensor& out = ctx.out(0, x.type(), x.shape());
            if (!ctx.mayLeavePlain()) return toPlain_.run(x, out, Layout::plain());  // asked for: plain
            out.setLayout(x.layout());
            if (!ctx.dryRun() && out.raw() != x.raw()) std::memcpy(out.raw(), x.raw(), x.bytes());
            return;
        }
        const Bounds b = boundsOf(ctx);
        Tensor& out = ctx.out(0, x.type(), b.shape);
        if (ctx.dryRun()) return ctx.zeroOutputs();
        const size_t es = elementBytes(x);
        const auto st = stridesOf(x.shape());
        int64_t base = 0;
        std::vector<int64_t> strides(x.rank());
        for (size_t d = 0; d < x.rank(); ++d) {
            base += b.begin[d] * st[d];
            strides[d] = st[d] * b.step[d];
        }
        if (out.size() == 0) return;
        copyStrided(static_cast<const uint8_t*>(x.raw()) + base * static_cast<int64_t>(es), b.shape, strides, es,
                    static_cast<uint8_t*>(out.raw()));
    }

    // Bounds known at build that keep every element (a slice up to an
    // axis's full length, as exporters write for x[:, :n]).
    bool viewsInput(const KernelContext& ctx) const override {
        for (size_t i = 1; opset_ >= 10 && i <= 4; ++i) {
            if ((i <= 2 || ctx.has(i)) && !ctx.isConstant(i)) return false;
        }
        Bounds b;
        try {
            b = boundsOf(ctx);
        } catch (const ExecError&) {
            return false;  // run reports it
        }
        const Shape xs = ctx.in(0).logicalShape();
        for (size_t d = 0; d < xs.size(); ++d) {
            if (b.begin[d] != 0 || b.step[d] != 1 || b.shape[d] != xs[d]) return false;
        }
        return true;
    }

private:
    struct Bounds {
        std::vector<int64_t> begin, step;  // per axis of the input
        Shape shape;                       // of the output
    };

    // Over the input's logical shape.
    Bounds boundsOf(const KernelContext& ctx) const {
        const Tensor& x = ctx.in(0);
        const Shape xs = x.logicalShape();
        std::vector<int64_t> starts = starts_, ends = ends_, axes = axes_, steps;
        if (opset_ >= 10) {
            starts = ctx.in(1).toInt64();
            ends = ctx.in(2).toInt64();
            axes = ctx.has(3) ? ctx.in(3).toInt64() : std::vector<int64_t>{};
            if (ctx.has(4)) steps = ctx.in(4).toInt64();
        }
        const size_t r = xs.size();
        if (axes.empty()) {
            axes.resize(starts.size());
            std::iota(axes.begin(), axes.end(), 0);
        }
        if (steps.empty()) steps.assign(starts.size(), 1);
        if (ends.size() != starts.size() || axes.size() != starts.size() || steps.size() != starts.size()) {
            throw ExecError("slice starts, ends, axes and steps differ in length");
        }
        Bounds out{std::vector<int64_t>(r, 0), std::vector<int64_t>(r, 1), xs};
        std::vector<bool> seen(r, false);
        for (size_t k = 0; k < axes.size(); ++k) {
            const auto ax = static_cast<size_t>(normAxis(axes[k], r));
            const int64_t dim = xs[ax];
            if (seen[ax]) throw ExecError("slice names an axis twice");
            seen[ax] = true;
            const int64_t s = steps[k];
            if (s == 0) throw ExecError("slice step 0");
            int64_t b = starts[k] < 0 ? starts[k] + dim : starts[k];
            int64_t e = ends[k] < 0 ? ends[k] + dim : ends[k];
            if (s > 0) {
                b = std::clamp<int64_t>(b, 0, dim);
                e = std::clamp<int64_t>(e, 0, dim);
                out.shape[ax] = e > b ? (e - b - 1) / s + 1 : 0;
            } else {
                b = std::clamp<int64_t>(b, 0, dim - 1);
                e = std::clamp<int64_t>(e, -1, dim - 1);
                const int64_t magnitude = s == INT64_MIN ? INT64_MAX : -s;
                out.shape[ax] = b > e ? (b - e - 1) / magnitude + 1 : 0;
            }
            out.begin[ax] = b;
            out.step[ax] = s;
        }
        return out;
    }

    int64_t opset_;
    std::vector<int64_t> starts_, ends_, axes_;
    onednn::LayoutConversion toPlain_;
};

void gather(const Tensor& x, const Tensor& indices, int64_t axisAttr, Tensor& out, bool copy) {
    if (x.rank() == 0) throw ExecError("gather from a scalar");
    const auto axis = static_cast<size_t>(normAxis(axisAttr, x.rank()));
    const auto idx = indices.toInt64();
    Shape shape(x.shape().begin(), x.shape().begin() + static_cast<long>(axis));
    shape.insert(shape.end(), indices.shape().begin(), indices.shape().end());
    shape.insert(shape.end(), x.shape().begin() + static_cast<long>(axis) + 1, x.shape().end());
    out.reset(x.type(), shape);
    if (!copy) return;
    const int64_t outer = elementCount(Shape(x.shape().begin(), x.shape().begin() + static_cast<long>(axis)));
    const int64_t dim = x.dim(axis);
    const int64_t inner = elementCount(Shape(x.shape().begin() + static_cast<long>(axis) + 1, x.shape().end()));
    const size_t es = elementBytes(x);
    const auto* src = static_cast<const uint8_t*>(x.raw());
    auto* dst = static_cast<uint8_t*>(out.raw());
    size_t o = 0;
    for (int64_t a = 0; a < outer; ++a) {
        for (int64_t i : idx) {
            const int64_t j = i < 0 ? i + dim : i;
            if (j < 0 || j >= dim) throw ExecError("gather index " + std::to_string(i) + " out of range");
            copyElems(dst + o, src + static_cast<size_t>((a * dim + j) * inner) * es, inner, es);
            o += static_cast<size_t>(inner) * es;
        }
    }
}

}  // namespace

void concatInto(const std::vector<const Tensor*>& ins, size_t axis, Tensor& out, bool copy) {
    const Tensor& first = *ins.at(0);
    if (axis >= first.rank()) throw ExecError("concat axis out of range");
    Shape shape = first.shape();
    shape[axis] = 0;
    for (const Tensor* t : ins) {
        if (t->rank() != first.rank() || t->type() != first.type()) throw ExecError("concat inputs differ in rank or type");
        for (size_t d = 0; d < t->rank(); ++d) {
            if (d != axis && t->dim(d) != first.dim(d)) throw ExecError("concat inputs differ off the axis");
        }
        shape[axis] += t->dim(axis);
    }
    out.reset(first.type(), shape);
    if (!copy) return;
    const int64_t outer = elementCount(Shape(shape.begin(), shape.begin() + static_cast<long>(axis)));
    if (outer == 0) return;
    const size_t es = elementBytes(first);
    auto* dst = static_cast<uint8_t*>(out.raw());
    const auto rowBytes = static_cast<size_t>(out.size() / outer) * es;
    // The threads split the rows (or, with one row, each input) in the
    // order the producers' threads wrote them: each copies what lies in
    // its own core's cache. Copied by one thread, half of every input came
    // from the other core (a channels-last squeezenet's concats took three
    // times as long on two threads as on one).
    if (outer > 1) {
        parallelFor(outer, out.size(), [&](int64_t o) {
            uint8_t* to = dst + static_cast<size_t>(o) * rowBytes;
            for (const Tensor* t : ins) {
                const int64_t chunk = t->size() / outer;
                copyElems(to, static_cast<const uint8_t*>(t->raw()) + static_cast<size_t>(o * chunk) * es, chunk, es);
                to += static_cast<size_t>(chunk) * es;
            }
        });
        return;
    }
    constexpr int64_t kBlock = 16384;
    for (const Tensor* t : ins) {
        const auto* from = static_cast<const uint8_t*>(t->raw());
        parallelFor((t->size() + kBlock - 1) / kBlock, t->size(), [&](int64_t b) {
            const int64_t at = b * kBlock;
            copyElems(dst + static_cast<size_t>(at) * es, from + static_cast<size_t>(at) * es, std::min(kBlock, t->size() - at), es);
        });
        dst += static_cast<size_t>(t->size()) * es;
    }
}

namespace {

// Traits of the shape operators: `view` when the output is the input's
// bytes unchanged, and every one of them keeps its input's values.
OpTraits rearranges(bool view) {
    OpTraits t;
    t.view = view;
    t.keepsGrid = true;
    return t;
}

OpTraits fromShapeAlone() {
    OpTraits t;
    t.shapeOnly = true;
    return t;
}

}  // namespace

void registerShapeKernels() {
    registerKernel("Constant", [](const onnx::NodeProto& n, int64_t) {
        auto value = std::make_shared<Tensor>();
        const Attrs a(n);
        if (const auto* t = a.tensor("value")) {
            tensorFromProto(*t, *value);
        } else if (a.has("value_float")) {
            value->reset(DType::Float, {});
            value->data<float>()[0] = a.f("value_float", 0);
        } else if (a.has("value_int")) {
            value->reset(DType::Int64, {});
            value->data<int64_t>()[0] = a.i("value_int", 0);
        } else if (a.has("value_floats")) {
            const auto v = a.floats("value_floats");
            value->reset(DType::Float, {static_cast<int64_t>(v.size())});
            std::copy(v.begin(), v.end(), value->data<float>());
        } else if (a.has("value_ints")) {
            const auto v = a.ints("value_ints");
            value->reset(DType::Int64, {static_cast<int64_t>(v.size())});
            std::copy(v.begin(), v.end(), value->data<int64_t>());
        } else {
            throw ExecError("Constant without a supported value attribute");
        }
        return lambdaKernel([value](KernelContext& ctx) {
            Tensor& out = ctx.out(0, value->type(), value->shape());
            copyAll(ctx, *value, out);
        });
    });
    registerKernel("Shape", [](const onnx::NodeProto& n, int64_t) {
        const int64_t startAttr = Attrs(n).i("start", 0);
        const int64_t endAttr = Attrs(n).i("end", INT64_MAX);
        return lambdaKernel([startAttr, endAttr](KernelContext& ctx) {
            const Shape& s = ctx.in(0).shape();
            const auto r = static_cast<int64_t>(s.size());
            int64_t b = startAttr < 0 ? startAttr + r : startAttr;
            int64_t e = endAttr < 0 ? endAttr + r : std::min(endAttr, r);
            b = std::clamp<int64_t>(b, 0, r);
            e = std::clamp<int64_t>(e, b, r);
            Tensor& out = ctx.out(0, DType::Int64, {e - b});
            for (int64_t i = b; i < e; ++i) out.data<int64_t>()[i - b] = s[static_cast<size_t>(i)];
        });
    }, fromShapeAlone());
    registerKernel("Size", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            ctx.out(0, DType::Int64, {}).data<int64_t>()[0] = ctx.in(0).size();
        });
    }, fromShapeAlone());
    registerKernel("Reshape", [](const onnx::NodeProto& n, int64_t opset) {
        const bool allowZero = Attrs(n).i("allowzero", 0) != 0;
        const auto attrShape = Attrs(n).ints("shape");
        return lambdaKernel([allowZero, attrShape, opset](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Shape shape = opset >= 5 ? ctx.in(1).toInt64() : attrShape;
            int64_t known = 1;
            int minus = -1;
            for (size_t i = 0; i < shape.size(); ++i) {
                if (shape[i] == 0 && !allowZero) {
                    if (i >= x.rank()) throw ExecError("reshape copies a dimension the input lacks");
                    shape[i] = x.dim(i);
                }
                if (shape[i] == -1) {
                    if (minus >= 0) throw ExecError("reshape with two -1 dimensions");
                    minus = static_cast<int>(i);
                } else if (shape[i] < 0 || __builtin_mul_overflow(known, shape[i], &known)) {
                    throw ExecError("cannot reshape " + shapeText(x.shape()) + " to " + shapeText(shape));
                }
            }
            if (minus >= 0) shape[static_cast<size_t>(minus)] = known == 0 ? 0 : x.size() / known;
            if (elementCount(shape) != x.size()) {
                throw ExecError("cannot reshape " + shapeText(x.shape()) + " to " + shapeText(shape));
            }
            Tensor& out = ctx.out(0, x.type(), shape);
            copyAll(ctx, x, out);
        });
    }, rearranges(true).shapedBy(1u << 1));
    registerKernel("Flatten", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axisAttr = Attrs(n).i("axis", 1);
        return lambdaKernel([axisAttr](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto r = static_cast<int64_t>(x.rank());
            const int64_t axis = axisAttr < 0 ? axisAttr + r : axisAttr;
            if (axis < 0 || axis > r) throw ExecError("flatten axis out of range");
            // Both from the dimensions: an empty input still has its lengths ([0, 1, 4] is [0, 4]).
            int64_t outer = 1, inner = 1;
            for (int64_t i = 0; i < r; ++i) (i < axis ? outer : inner) *= x.dim(static_cast<size_t>(i));
            Tensor& out = ctx.out(0, x.type(), {outer, inner});
            copyAll(ctx, x, out);
        });
    }, rearranges(true));
    registerKernel("Transpose", [](const onnx::NodeProto& n, int64_t) {
        const auto permAttr = Attrs(n).ints("perm");
        return lambdaKernel([permAttr](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            std::vector<int64_t> perm = permAttr;
            if (perm.empty()) {
                perm.resize(x.rank());
                std::iota(perm.rbegin(), perm.rend(), 0);
            }
            if (perm.size() != x.rank()) throw ExecError("perm does not match the input rank");
            std::vector<int64_t> sorted = perm;
            std::sort(sorted.begin(), sorted.end());
            for (size_t i = 0; i < sorted.size(); ++i) {
                if (sorted[i] != static_cast<int64_t>(i)) throw ExecError("perm is not a permutation of the axes");
            }
            Shape shape(x.rank());
            for (size_t i = 0; i < perm.size(); ++i) shape[i] = x.dim(static_cast<size_t>(perm[i]));
            Tensor& out = ctx.out(0, x.type(), shape);
            if (ctx.dryRun()) return ctx.zeroOutputs();
            transpose(x, perm, out);
        });
    }, rearranges(false));
    registerKernel("Squeeze", [](const onnx::NodeProto& n, int64_t) {
        const auto attrAxes = Attrs(n).ints("axes");
        return lambdaKernel([attrAxes](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            auto axes = axesFrom(ctx, 1, attrAxes);
            for (auto& a : axes) a = normAxis(a, x.rank());
            Shape shape;
            for (size_t i = 0; i < x.rank(); ++i) {
                const bool listed = std::find(axes.begin(), axes.end(), static_cast<int64_t>(i)) != axes.end();
                if (listed && x.dim(i) != 1) throw ExecError("cannot squeeze a dimension that is not 1");
                if (!(listed || (axes.empty() && x.dim(i) == 1))) shape.push_back(x.dim(i));
            }
            Tensor& out = ctx.out(0, x.type(), shape);
            copyAll(ctx, x, out);
        });
    }, rearranges(true).shapedBy(1u << 1));
    registerKernel("Unsqueeze", [](const onnx::NodeProto& n, int64_t) {
        const auto attrAxes = Attrs(n).ints("axes");
        return lambdaKernel([attrAxes](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            auto axes = axesFrom(ctx, 1, attrAxes);
            const size_t r = x.rank() + axes.size();
            for (auto& a : axes) a = normAxis(a, r);
            std::sort(axes.begin(), axes.end());
            Shape shape;
            size_t k = 0;
            for (size_t i = 0; i < r; ++i) {
                if (std::binary_search(axes.begin(), axes.end(), static_cast<int64_t>(i))) {
                    shape.push_back(1);
                } else {
                    shape.push_back(x.dim(k++));
                }
            }
            Tensor& out = ctx.out(0, x.type(), shape);
            copyAll(ctx, x, out);
        });
    }, rearranges(true).shapedBy(1u << 1));
    registerKernel("Slice", [](const onnx::NodeProto& n, int64_t opset) {
        return std::make_unique<SliceKernel>(n, opset);
    }, rearranges(false).shapedBy(0b11110u));
    registerKernel("Gather", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axis = Attrs(n).i("axis", 0);
        return lambdaKernel([axis](KernelContext& ctx) {
            Tensor& out = ctx.out(0, ctx.in(0).type(), {});
            gather(ctx.in(0), ctx.in(1), axis, out, !ctx.dryRun());
            if (ctx.dryRun()) ctx.zeroOutputs();
        });
    }, rearranges(false));
    registerKernel("GatherElements", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axisAttr = Attrs(n).i("axis", 0);
        return lambdaKernel([axisAttr](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const Tensor& ind = ctx.in(1);
            const auto axis = static_cast<size_t>(normAxis(axisAttr, x.rank()));
            if (ind.rank() != x.rank()) throw ExecError("GatherElements indices differ in rank from the data");
            for (size_t d = 0; d < x.rank(); ++d) {
                if (d != axis && ind.dim(d) > x.dim(d)) throw ExecError("GatherElements indices exceed the data");
            }
            Tensor& out = ctx.out(0, x.type(), ind.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            const auto idx = ind.toInt64();
            const auto xs = stridesOf(x.shape());
            const size_t es = elementBytes(x);
            std::vector<int64_t> pos(ind.rank(), 0);
            for (int64_t o = 0; o < out.size(); ++o) {
                int64_t off = 0;
                for (size_t d = 0; d < ind.rank(); ++d) {
                    int64_t p = pos[d];
                    if (d == axis) {
                        p = idx[static_cast<size_t>(o)];
                        if (p < 0) p += x.dim(d);
                        if (p < 0 || p >= x.dim(d)) throw ExecError("gather index out of range");
                    }
                    off += p * xs[d];
                }
                std::memcpy(static_cast<uint8_t*>(out.raw()) + static_cast<size_t>(o) * es,
                            static_cast<const uint8_t*>(x.raw()) + static_cast<size_t>(off) * es, es);
                for (size_t d = ind.rank(); d-- > 0;) {
                    if (++pos[d] < ind.dim(d)) break;
                    pos[d] = 0;
                }
            }
        });
    });
    registerKernel("Split", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axisAttr = Attrs(n).i("axis", 0);
        const auto splitAttr = Attrs(n).ints("split");
        const int64_t numOutputs = Attrs(n).i("num_outputs", 0);
        return lambdaKernel([axisAttr, splitAttr, numOutputs](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto axis = static_cast<size_t>(normAxis(axisAttr, x.rank()));
            std::vector<int64_t> split = ctx.has(1) ? ctx.in(1).toInt64() : splitAttr;
            const auto outs = static_cast<int64_t>(ctx.outputCount());
            if (split.empty()) {
                const int64_t parts = numOutputs > 0 ? numOutputs : outs;
                if (parts <= 0) throw ExecError("split into no parts");
                const int64_t each = (x.dim(axis) + parts - 1) / parts;
                for (int64_t i = 0; i < parts; ++i) {
                    split.push_back(std::max<int64_t>(0, std::min(each, x.dim(axis) - i * each)));
                }
            }
            int64_t total = 0;
            for (int64_t part : split) {
                if (part < 0 || __builtin_add_overflow(total, part, &total)) throw ExecError("negative split");
            }
            if (total != x.dim(axis)) throw ExecError("split sizes do not add up to the axis");
            const int64_t outer = elementCount(Shape(x.shape().begin(), x.shape().begin() + static_cast<long>(axis)));
            const int64_t inner =
                elementCount(Shape(x.shape().begin() + static_cast<long>(axis) + 1, x.shape().end()));
            const size_t es = elementBytes(x);
            int64_t start = 0;
            for (size_t i = 0; i < split.size() && i < ctx.outputCount(); ++i) {
                Shape shape = x.shape();
                shape[axis] = split[i];
                Tensor& out = ctx.out(i, x.type(), shape);
                if (ctx.dryRun()) {
                    if (out.bytes() != 0) std::memset(out.raw(), 0, out.bytes());
                    start += split[i];
                    continue;
                }
                for (int64_t o = 0; o < outer; ++o) {
                    copyElems(static_cast<uint8_t*>(out.raw()) + static_cast<size_t>(o * split[i] * inner) * es,
                              static_cast<const uint8_t*>(x.raw()) +
                                  static_cast<size_t>((o * x.dim(axis) + start) * inner) * es,
                              split[i] * inner, es);
                }
                start += split[i];
            }
        });
    }, rearranges(false).shapedBy(1u << 1));
    registerKernel("Expand", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const Shape shape = broadcastShape(x.shape(), ctx.in(1).toInt64());
            Tensor& out = ctx.out(0, x.type(), shape);
            if (ctx.dryRun()) return ctx.zeroOutputs();
            // A strided copy that reads broadcast axes at stride 0 moves whole rows at once.
            copyView(static_cast<const uint8_t*>(x.raw()), broadcastStrides(x.shape(), shape), static_cast<uint8_t*>(out.raw()),
                     stridesOf(shape), shape, elementBytes(x));
        });
    }, OpTraits::valueShaped(1u << 1));
    registerKernel("Tile", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto reps = ctx.in(1).toInt64();
            if (reps.size() != x.rank()) throw ExecError("repeats do not match the input rank");
            Shape shape(x.rank());
            for (size_t i = 0; i < x.rank(); ++i) {
                if (reps[i] < 0 || __builtin_mul_overflow(x.dim(i), reps[i], &shape[i])) {
                    throw ExecError("repeats out of range");
                }
            }
            Tensor& out = ctx.out(0, x.type(), shape);
            if (ctx.dryRun()) return ctx.zeroOutputs();
            if (out.size() == 0) return;
            // The output is [reps0, dim0, reps1, dim1, ...] in order: a copy
            // of the input that reads each repetition axis at stride 0, so
            // whole rows go across at once.
            const auto xs = stridesOf(x.shape());
            Shape paired;
            std::vector<int64_t> from;
            for (size_t d = 0; d < x.rank(); ++d) {
                paired.insert(paired.end(), {reps[d], x.dim(d)});
                from.insert(from.end(), {0, xs[d]});
            }
            copyView(static_cast<const uint8_t*>(x.raw()), from, static_cast<uint8_t*>(out.raw()), stridesOf(paired),
                     paired, elementBytes(x));
        });
    }, OpTraits::valueShaped(1u << 1));
    registerKernel("ConstantOfShape", [](const onnx::NodeProto& n, int64_t) {
        auto value = std::make_shared<Tensor>(DType::Float, Shape{1});
        value->data<float>()[0] = 0;
        if (const auto* t = Attrs(n).tensor("value")) tensorFromProto(*t, *value);
        return lambdaKernel([value](KernelContext& ctx) {
            Tensor& out = ctx.out(0, value->type(), ctx.in(0).toInt64());
            const size_t es = elementBytes(*value);
            for (int64_t i = 0; i < out.size(); ++i) {
                std::memcpy(static_cast<uint8_t*>(out.raw()) + static_cast<size_t>(i) * es, value->raw(), es);
            }
        });
    }, OpTraits::valueShaped(1u << 0));
    registerKernel("Range", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            for (size_t i = 0; i < 3; ++i) {
                if (ctx.in(i).size() != 1) throw ExecError("Range takes scalars, not " + shapeText(ctx.in(i).shape()));
            }
            const double start = ctx.in(0).scalarAsDouble();
            const double limit = ctx.in(1).scalarAsDouble();
            const double delta = ctx.in(2).scalarAsDouble();
            if (delta == 0) throw ExecError("Range with delta 0");
            const double steps = std::max(0.0, std::ceil((limit - start) / delta));
            if (!(steps < 1e15)) throw ExecError("Range of too many values");
            const auto count = static_cast<int64_t>(steps);
            Tensor& out = ctx.out(0, ctx.in(0).type(), {count});
            VEXA_DISPATCH_NUMERIC(out.type(), {
                const T s = ctx.in(0).data<T>()[0];
                const T d = ctx.in(2).data<T>()[0];
                for (int64_t i = 0; i < count; ++i) out.data<T>()[i] = wrapAdd(s, wrapMul(static_cast<T>(i), d));
            })
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("Pad", [](const onnx::NodeProto& n, int64_t opset) {
        const Attrs a(n);
        const std::string mode = a.s("mode", "constant");
        const auto padsAttr = a.ints(opset < 11 ? "paddings" : "pads");
        const auto padsAttr2 = a.ints("pads");
        const float valueAttr = a.f("value", 0);
        return lambdaKernel([=](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const size_t r = x.rank();
            std::vector<int64_t> pads = opset >= 11 ? ctx.in(1).toInt64() : (padsAttr.empty() ? padsAttr2 : padsAttr);
            if (opset >= 18 && ctx.has(3)) {
                const auto axes = ctx.in(3).toInt64();
                if (pads.size() != 2 * axes.size()) throw ExecError("pads do not match the axes");
                std::vector<int64_t> full(2 * r, 0);
                for (size_t k = 0; k < axes.size(); ++k) {
                    const auto ax = static_cast<size_t>(normAxis(axes[k], r));
                    full[ax] = pads[k];
                    full[ax + r] = pads[k + axes.size()];
                }
                pads = full;
            }
            if (pads.size() != 2 * r) throw ExecError("pads do not match the input rank");
            Shape shape(r);
            for (size_t i = 0; i < r; ++i) {
                if (__builtin_add_overflow(x.dim(i), pads[i], &shape[i]) ||
                    __builtin_add_overflow(shape[i], pads[i + r], &shape[i])) {
                    throw ExecError("pads out of range");
                }
            }
            Tensor& out = ctx.out(0, x.type(), shape);
            if (ctx.dryRun()) return ctx.zeroOutputs();
            const auto xs = stridesOf(x.shape());
            std::vector<int64_t> pos(r, 0);
            VEXA_DISPATCH_NUMERIC(x.type(), {
                T fill = castValue<T>(valueAttr);
                if (opset >= 11 && ctx.has(2) && ctx.in(2).size() != 0) fill = ctx.in(2).data<T>()[0];
                // Constant padding that only grows: fill, then place the input.
                if (mode == "constant" && std::all_of(pads.begin(), pads.end(), [](int64_t p) { return p >= 0; })) {
                    std::fill(out.data<T>(), out.data<T>() + out.size(), fill);
                    const auto os = stridesOf(shape);
                    int64_t base = 0;
                    for (size_t d = 0; d < r; ++d) base += pads[d] * os[d];
                    copyView(static_cast<const uint8_t*>(x.raw()), xs, reinterpret_cast<uint8_t*>(out.data<T>() + base),
                             os, x.shape(), sizeof(T));
                    return;
                }
                // Per axis, the source index of every output index (-1: the
                // fill value); then whole rows through the last axis's table.
                // Scratch kept per thread: an execution allocates nothing anew.
                thread_local std::vector<std::vector<int64_t>> from;
                if (from.size() < r) from.resize(r);
                for (size_t d = 0; d < r; ++d) {
                    const int64_t dim = x.dim(d);
                    from[d].resize(static_cast<size_t>(shape[d]));
                    for (int64_t q = 0; q < shape[d]; ++q) {
                        int64_t p = q - pads[d];
                        if (p < 0 || p >= dim) {
                            if (mode == "constant" || dim == 0) {
                                p = -1;
                            } else if (mode == "edge") {
                                p = std::clamp<int64_t>(p, 0, dim - 1);
                            } else if (mode == "reflect") {
                                const int64_t period = std::max<int64_t>(2 * (dim - 1), 1);
                                p = ((p % period) + period) % period;
                                if (p >= dim) p = period - p;
                            } else if (mode == "wrap") {
                                p = ((p % dim) + dim) % dim;
                            } else {
                                throw ExecError("pad mode " + mode + " is not supported");
                            }
                        }
                        from[d][static_cast<size_t>(q)] = p;
                    }
                }
                T* dst = out.data<T>();
                const T* src = x.data<T>();
                if (r == 0) {
                    if (out.size() == 1) dst[0] = src[0];
                    return;
                }
                const int64_t row = shape[r - 1], rows = row == 0 ? 0 : out.size() / row;
                const auto& last = from[r - 1];
                for (int64_t k = 0; k < rows; ++k, dst += row) {
                    int64_t base = 0;
                    bool inside = true;
                    for (size_t d = 0; d + 1 < r; ++d) {
                        const int64_t p = from[d][static_cast<size_t>(pos[d])];
                        inside = inside && p >= 0;
                        base += p * xs[d];
                    }
                    for (int64_t q = 0; q < row; ++q) {
                        const int64_t p = last[static_cast<size_t>(q)];
                        dst[q] = inside && p >= 0 ? src[base + p * xs[r - 1]] : fill;
                    }
                    for (size_t d = r - 1; d-- > 0;) {
                        if (++pos[d] < shape[d]) break;
                        pos[d] = 0;
                    }
                }
            })
        });
    }, [] {
        OpTraits t = rearranges(false).shapedBy(0b1010u);
        t.fillInput = 2;
        return t;
    }());
    for (const char* name : {"DepthToSpace", "SpaceToDepth"}) {
        const bool toSpace = std::string(name) == "DepthToSpace";
        registerKernel(name, [toSpace](const onnx::NodeProto& n, int64_t) {
            const int64_t b = Attrs(n).i("blocksize", 1);
            const bool crd = Attrs(n).s("mode", "DCR") == "CRD";
            return lambdaKernel([=](KernelContext& ctx) {
                const Tensor& x = ctx.in(0);
                if (x.rank() != 4) throw ExecError("expects a 4-D input");
                const int64_t N = x.dim(0), C = x.dim(1), H = x.dim(2), W = x.dim(3);
                if (b <= 0 || b > 4096 || (toSpace ? C % (b * b) != 0 : H % b != 0 || W % b != 0)) {
                    throw ExecError("blocksize does not divide the input");
                }
                // One transpose between views of the input and the output.
                Tensor reshaped, transposed;
                std::vector<int64_t> perm;
                Shape mid;
                if (toSpace) {
                    mid = crd ? Shape{N, C / (b * b), b, b, H, W} : Shape{N, b, b, C / (b * b), H, W};
                    perm = crd ? std::vector<int64_t>{0, 1, 4, 2, 5, 3} : std::vector<int64_t>{0, 3, 4, 1, 5, 2};
                } else {
                    mid = {N, C, H / b, b, W / b, b};
                    perm = {0, 3, 5, 1, 2, 4};
                }
                const Shape outShape =
                    toSpace ? Shape{N, C / (b * b), H * b, W * b} : Shape{N, C * b * b, H / b, W / b};
                Tensor& out = ctx.out(0, x.type(), outShape);
                if (ctx.dryRun()) return ctx.zeroOutputs();
                Shape tshape(6);
                for (size_t i = 0; i < 6; ++i) tshape[i] = mid[static_cast<size_t>(perm[i])];
                reshaped.view(x.type(), mid, const_cast<void*>(x.raw()));
                transposed.view(x.type(), tshape, out.raw());
                transpose(reshaped, perm, transposed);
            });
        });
    }
    registerKernel("Trilu", [](const onnx::NodeProto& n, int64_t) {
        const bool upper = Attrs(n).i("upper", 1) != 0;
        return lambdaKernel([upper](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            if (ctx.has(1) && ctx.in(1).size() != 1) throw ExecError("Trilu k must be one value");
            const int64_t k = ctx.has(1) ? ctx.in(1).toInt64()[0] : 0;
            Tensor& out = ctx.out(0, x.type(), x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            copyAll(ctx, x, out);
            const int64_t R = x.dim(x.rank() - 2), C = x.dim(x.rank() - 1);
            const size_t es = elementBytes(x);
            auto* p = static_cast<uint8_t*>(out.raw());
            for (int64_t m = 0; m < (R * C == 0 ? 0 : x.size() / (R * C)); ++m) {
                for (int64_t i = 0; i < R; ++i) {
                    for (int64_t j = 0; j < C; ++j) {
                        const bool keep = upper ? j - i >= k : j - i <= k;
                        if (!keep) std::memset(p + static_cast<size_t>((m * R + i) * C + j) * es, 0, es);
                    }
                }
            }
        });
    });
}

}  // namespace vexart
