// Sequences and optionals: values that hold tensors (Tensor::items). The
// operators build, index, split, join and map them; SequenceMap runs its
// body on each element as a subgraph.
#include <onnx/onnx_pb.h>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "kernels/Fallbacks.h"
#include "graph/Subgraph.h"

namespace vexart {
namespace {

const Tensor& sequenceIn(const KernelContext& ctx, size_t i) {
    const Tensor& t = ctx.in(i);
    if (t.type() != DType::Sequence) throw ExecError("input " + std::to_string(i) + " is not a sequence");
    return t;
}

Tensor& sequenceOut(KernelContext& ctx, size_t i) { return ctx.out(i, DType::Sequence, {}); }

void copyTo(const Tensor& from, Tensor& to) { castTensor(from, from.type(), to); }

// A position in [-n, n) (or [-n, n] where one past the end is allowed).
size_t positionIn(const Tensor& p, size_t n, bool pastEnd) {
    if (p.size() != 1) throw ExecError("position must be a scalar");
    int64_t i = p.toInt64()[0];
    const auto size = static_cast<int64_t>(n);
    if (i < 0) i += size;
    if (i < 0 || i > size || (i == size && !pastEnd)) throw ExecError("sequence position " + std::to_string(i) + " is out of range");
    return static_cast<size_t>(i);
}

// Part [begin, begin + count) of `x` along `axis`.
void sliceAxis(const Tensor& x, size_t axis, int64_t begin, int64_t count, bool keepAxis, Tensor& out) {
    Shape shape = x.shape();
    const int64_t dim = shape[axis];
    shape[axis] = count;
    if (!keepAxis) shape.erase(shape.begin() + static_cast<long>(axis));
    out.reset(x.type(), shape);
    const int64_t outer = elementCount(Shape(x.shape().begin(), x.shape().begin() + static_cast<long>(axis)));
    const int64_t inner = elementCount(Shape(x.shape().begin() + static_cast<long>(axis) + 1, x.shape().end()));
    const size_t es = elementBytes(x), run = static_cast<size_t>(count * inner) * es;
    for (int64_t o = 0; o < outer; ++o) {
        std::memcpy(static_cast<uint8_t*>(out.raw()) + o * static_cast<int64_t>(run),
                    static_cast<const uint8_t*>(x.raw()) + ((o * dim + begin) * inner) * static_cast<int64_t>(es), run);
    }
}

void registerSequenceBasics() {
    registerKernel("SequenceEmpty", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) { sequenceOut(ctx, 0).items.clear(); });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("SequenceConstruct", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            Tensor& s = sequenceOut(ctx, 0);
            s.items.resize(ctx.inputCount());
            for (size_t i = 0; i < ctx.inputCount(); ++i) {
                if (ctx.in(i).type() != ctx.in(0).type()) throw ExecError("sequence elements differ in type");
                copyTo(ctx.in(i), s.items[i]);
            }
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("SequenceInsert", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& seq = sequenceIn(ctx, 0);
            const size_t at = ctx.has(2) ? positionIn(ctx.in(2), seq.items.size(), true) : seq.items.size();
            Tensor& s = sequenceOut(ctx, 0);
            if (&s != &seq) copyTo(seq, s);
            s.items.insert(s.items.begin() + static_cast<long>(at), Tensor());
            copyTo(ctx.in(1), s.items[at]);
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("SequenceAt", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& seq = sequenceIn(ctx, 0);
            const Tensor& item = seq.items[positionIn(ctx.in(1), seq.items.size(), false)];
            copyTo(item, ctx.out(0, item.type(), item.shape()));
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("SequenceErase", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& seq = sequenceIn(ctx, 0);
            if (seq.items.empty()) throw ExecError("erase from an empty sequence");
            const size_t at = ctx.has(1) ? positionIn(ctx.in(1), seq.items.size(), false) : seq.items.size() - 1;
            Tensor& s = sequenceOut(ctx, 0);
            copyTo(seq, s);
            s.items.erase(s.items.begin() + static_cast<long>(at));
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("SequenceLength", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            ctx.out(0, DType::Int64, {}).data<int64_t>()[0] = static_cast<int64_t>(sequenceIn(ctx, 0).items.size());
        });
    });
    registerKernel("SplitToSequence", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axisAttr = Attrs(n).i("axis", 0);
        const bool keepdims = Attrs(n).i("keepdims", 1) != 0;
        return lambdaKernel([axisAttr, keepdims](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto axis = static_cast<size_t>(normAxis(axisAttr, x.rank()));
            const int64_t dim = x.dim(axis);
            std::vector<int64_t> sizes;
            bool keep = true;
            if (!ctx.has(1)) {
                sizes.assign(static_cast<size_t>(dim), 1);
                keep = keepdims;
            } else if (ctx.in(1).rank() == 0) {
                const int64_t chunk = ctx.in(1).toInt64()[0];
                if (chunk <= 0) throw ExecError("split size must be positive");
                for (int64_t at = 0; at < dim; at += chunk) sizes.push_back(std::min(chunk, dim - at));
            } else {
                sizes = ctx.in(1).toInt64();
                int64_t total = 0;
                for (int64_t s : sizes) {
                    if (s < 0) throw ExecError("split sizes must not be negative");
                    total += s;
                }
                if (total != dim) throw ExecError("split sizes do not add up to the axis");
            }
            Tensor& s = sequenceOut(ctx, 0);
            s.items.resize(sizes.size());
            int64_t at = 0;
            for (size_t i = 0; i < sizes.size(); ++i) {
                sliceAxis(x, axis, at, sizes[i], keep, s.items[i]);
                at += sizes[i];
            }
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("ConcatFromSequence", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axisAttr = Attrs(n).i("axis", 0);
        const bool newAxis = Attrs(n).i("new_axis", 0) != 0;
        return lambdaKernel([axisAttr, newAxis](KernelContext& ctx) {
            const Tensor& seq = sequenceIn(ctx, 0);
            if (seq.items.empty()) throw ExecError("concatenation of an empty sequence");
            const size_t rank = seq.items[0].rank() + (newAxis ? 1 : 0);
            const auto axis = static_cast<size_t>(normAxis(axisAttr, rank));
            std::vector<Tensor> views(seq.items.size());
            std::vector<const Tensor*> parts;
            for (size_t i = 0; i < seq.items.size(); ++i) {
                const Tensor& item = seq.items[i];
                if (newAxis) {
                    Shape s = item.shape();
                    if (axis > s.size()) throw ExecError("axis out of range");
                    s.insert(s.begin() + static_cast<long>(axis), 1);
                    views[i].view(item.type(), s, const_cast<void*>(item.raw()));
                    parts.push_back(&views[i]);
                } else {
                    parts.push_back(&item);
                }
            }
            concatInto(parts, axis, ctx.out(0, seq.items[0].type(), {}));
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
}

void registerOptionals() {
    registerKernel("Optional", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            Tensor& o = ctx.out(0, DType::Optional, {});
            o.items.resize(ctx.has(0) ? 1 : 0);
            if (ctx.has(0)) copyTo(ctx.in(0), o.items[0]);
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    // A plain tensor counts as an optional that holds it.
    registerKernel("OptionalHasElement", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const bool has = ctx.has(0) && (ctx.in(0).type() != DType::Optional || !ctx.in(0).items.empty());
            ctx.out(0, DType::Bool, {}).data<uint8_t>()[0] = has ? 1 : 0;
        });
    });
    registerKernel("OptionalGetElement", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& o = ctx.in(0);
            if (o.type() != DType::Optional) return copyTo(o, ctx.out(0, o.type(), o.shape()));
            if (o.items.empty()) throw ExecError("optional holds no element");
            copyTo(o.items[0], ctx.out(0, o.items[0].type(), o.items[0].shape()));
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
}

// The body runs once per element of the first sequence; further inputs
// are sequences of the same length (read element by element) or tensors.
class SequenceMapKernel : public Kernel {
public:
    SequenceMapKernel(const onnx::NodeProto& n, int64_t opset)
        : declared_(static_cast<size_t>(n.input_size())), outer_(outerScopeNames(n)), body_(bodyOf(n), opset, outer_) {}
    void run(KernelContext& ctx) override {
        const size_t count = sequenceIn(ctx, 0).items.size();
        if (body_.inputCount() != declared_) throw ExecError("SequenceMap body does not match its inputs");
        std::vector<const Tensor*> outer;
        for (size_t i = 0; i < outer_.size(); ++i) outer.push_back(&ctx.in(declared_ + i));
        std::vector<Tensor*> outs;
        for (size_t k = 0; k < body_.outputCount(); ++k) {
            outs.push_back(&sequenceOut(ctx, k));
            outs.back()->items.clear();
            outs.back()->items.resize(count);
        }
        std::vector<const Tensor*> args(declared_);
        for (size_t e = 0; e < count; ++e) {
            for (size_t i = 0; i < declared_; ++i) {
                const Tensor& in = ctx.in(i);
                if (in.type() == DType::Sequence) {
                    if (in.items.size() != count) throw ExecError("SequenceMap sequences differ in length");
                    args[i] = &in.items[e];
                } else {
                    args[i] = &in;
                }
            }
            body_.run(args, outer);
            for (size_t k = 0; k < outs.size(); ++k) copyTo(body_.output(k), outs[k]->items[e]);
        }
    }

private:
    static const onnx::GraphProto& bodyOf(const onnx::NodeProto& n) {
        for (const auto& a : n.attribute()) {
            if (a.name() == "body" && a.has_g()) return a.g();
        }
        throw ExecError("attribute 'body' is missing");
    }
    size_t declared_;
    std::vector<std::string> outer_;
    Subgraph body_;
};

}  // namespace

void registerSequenceKernels() {
    registerSequenceBasics();
    registerOptionals();
    registerKernel("SequenceMap", [](const onnx::NodeProto& n, int64_t opset) { return std::make_unique<SequenceMapKernel>(n, opset); }, OpTraits::valueShaped(OpTraits::kEveryInput));
}

}  // namespace vexart
