// Control flow: If, Loop and Scan run their bodies as subgraphs. Values
// may change shape from one iteration to the next; a body is replanned
// only when they do.
#include <onnx/onnx_pb.h>

#include <cstdlib>

#include "core/Deadline.h"
#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "graph/Subgraph.h"
#include "passes/LoopAppend.h"

namespace vexart {
namespace {

// A Loop whose trip count and condition come from the model may never end
// on its own; past this many iterations (10 million, or
// VEXA_MAX_LOOP_ITERATIONS) it fails instead of hanging. The budget is
// shared by every Loop and Scan step of one outermost loop, nested ones
// included, so nesting cannot multiply it.
int64_t maxIterations() {
    static const int64_t most = [] {
        const char* v = std::getenv("VEXA_MAX_LOOP_ITERATIONS");
        char* end = nullptr;
        const long long n = v != nullptr ? std::strtoll(v, &end, 10) : 0;
        return v != nullptr && end != v && *end == '\0' && n > 0 ? static_cast<int64_t>(n) : int64_t{10'000'000};
    }();
    return most;
}
thread_local int64_t iterationsLeft = 0;
thread_local int loopNesting = 0;

struct IterationBudget {
    IterationBudget() {
        if (loopNesting++ == 0) iterationsLeft = maxIterations();
    }
    ~IterationBudget() { --loopNesting; }
    IterationBudget(const IterationBudget&) = delete;
    IterationBudget& operator=(const IterationBudget&) = delete;
    static void spend() {
        if (--iterationsLeft < 0) {
            throw ExecError("loops ran more than " + std::to_string(maxIterations()) + " iterations in one execution");
        }
        checkDeadline();
    }
};

const onnx::GraphProto& graphAttr(const onnx::NodeProto& n, const char* name) {
    for (const auto& a : n.attribute()) {
        if (a.name() == name && a.has_g()) return a.g();
    }
    throw ExecError(std::string("attribute '") + name + "' is missing");
}

// The node's own inputs come first; the enclosing values its bodies read follow.
class ControlFlowKernel : public Kernel {
public:
    explicit ControlFlowKernel(const onnx::NodeProto& n) : declared_(static_cast<size_t>(n.input_size())), outer_(outerScopeNames(n)) {}

protected:
    std::vector<const Tensor*> outerValues(const KernelContext& ctx) const {
        std::vector<const Tensor*> v;
        for (size_t i = 0; i < outer_.size(); ++i) v.push_back(&ctx.in(declared_ + i));
        return v;
    }
    static void copyOut(KernelContext& ctx, size_t i, const Tensor& from) {
        if (!ctx.wantsOutput(i)) return;
        castTensor(from, from.type(), ctx.out(i, from.type(), from.shape()));
    }

    size_t declared_;
    std::vector<std::string> outer_;
};

class IfKernel : public ControlFlowKernel {
public:
    IfKernel(const onnx::NodeProto& n, int64_t opset)
        : ControlFlowKernel(n), then_(graphAttr(n, "then_branch"), opset, outer_), else_(graphAttr(n, "else_branch"), opset, outer_) {}
    void run(KernelContext& ctx) override {
        const Tensor& cond = ctx.in(0);
        if (cond.size() != 1) throw ExecError("If condition must hold one value");
        Subgraph& branch = cond.scalarAsDouble(0) != 0 ? then_ : else_;
        branch.run({}, outerValues(ctx), ctx.dryRun());
        if (branch.outputCount() != ctx.outputCount()) throw ExecError("If branch yields the wrong number of outputs");
        for (size_t i = 0; i < branch.outputCount(); ++i) copyOut(ctx, i, branch.output(i));
    }

private:
    Subgraph then_, else_;
};

// The slices a body yields for one scan output, one per iteration, kept
// as bytes: an iteration costs its slice's size and nothing more.
class SliceStack {
public:
    void clear() {
        bytes_.clear();
        count_ = 0;
    }
    void add(const Tensor& s) {
        if (count_ == 0) {
            type_ = s.type();
            shape_ = s.shape();
            sliceBytes_ = static_cast<size_t>(s.size()) * elementBytes(s);
        } else if (s.shape() != shape_ || s.type() != type_) {
            throw ExecError("scan outputs differ in shape between iterations");
        }
        if (sliceBytes_ > 0) bytes_.insert(bytes_.end(), static_cast<const uint8_t*>(s.raw()),
                                           static_cast<const uint8_t*>(s.raw()) + sliceBytes_);
        ++count_;
    }
    // Stacks the slices along a new axis (in reverse order when asked).
    void stack(int64_t axisAttr, bool reverse, Tensor& out, DType emptyType) const {
        if (count_ == 0) {
            out.reset(emptyType, {0});
            return;
        }
        const auto axis = static_cast<size_t>(normAxis(axisAttr, static_cast<int64_t>(shape_.size()) + 1));
        Shape shape = shape_;
        shape.insert(shape.begin() + static_cast<long>(axis), count_);
        out.reset(type_, shape);
        const int64_t outer = elementCount(Shape(shape_.begin(), shape_.begin() + static_cast<long>(axis)));
        const size_t run = sliceBytes_ / static_cast<size_t>(std::max<int64_t>(outer, 1));
        auto* dst = static_cast<uint8_t*>(out.raw());
        for (int64_t t = 0; t < count_; ++t) {
            const uint8_t* slice = bytes_.data() + static_cast<size_t>(reverse ? count_ - 1 - t : t) * sliceBytes_;
            for (int64_t o = 0; o < outer; ++o) {
                std::memcpy(dst + static_cast<size_t>(o * count_ + t) * run, slice + static_cast<size_t>(o) * run, run);
            }
        }
    }

private:
    std::vector<uint8_t> bytes_;
    DType type_ = DType::Float;
    Shape shape_;
    size_t sliceBytes_ = 0;
    int64_t count_ = 0;
};

// A carried value that the body appends to (see passes/LoopAppend): its
// storage grows geometrically and each iteration copies only its part.
class AppendedValue {
public:
    // False where appending bytes would not give the Concat's result: the
    // axis has a larger extent before it, or the elements are not plain.
    bool start(const Tensor& initial, int64_t axisAttr) {
        const DType t = initial.type();
        if (t == DType::String || holdsTensors(t) || initial.rank() == 0 || !initial.isPlain()) return false;
        const int64_t rank = static_cast<int64_t>(initial.rank());
        axis_ = static_cast<size_t>(axisAttr < 0 ? axisAttr + rank : axisAttr);
        if (axisAttr < -rank || axisAttr >= rank) return false;
        if (elementCount(Shape(initial.shape().begin(), initial.shape().begin() + static_cast<long>(axis_))) != 1) return false;
        type_ = t;
        shape_ = initial.shape();
        const auto* p = static_cast<const uint8_t*>(initial.raw());
        bytes_.assign(p, p + initial.bytes());
        return true;
    }
    void add(const Tensor& part) {
        if (part.type() != type_) throw ExecError("Concat inputs differ in type");
        bool fits = part.rank() == shape_.size() && part.isPlain();
        for (size_t d = 0; fits && d < shape_.size(); ++d) fits = d == axis_ || part.dim(d) == shape_[d];
        if (!fits) throw ExecError("Concat inputs " + shapeText(shape_) + " and " + shapeText(part.shape()) + " do not join");
        Shape grown = shape_;
        grown[axis_] += part.dim(axis_);
        requireAllocatable(grown);
        const auto* p = static_cast<const uint8_t*>(part.raw());
        bytes_.insert(bytes_.end(), p, p + part.bytes());
        shape_ = std::move(grown);
    }
    // An empty value of the type, for the body's unread input.
    void placeholder(Tensor& t) const {
        Shape none = shape_;
        none[axis_] = 0;
        t.reset(type_, none);
    }
    void copyTo(Tensor& out) const {
        out.reset(type_, shape_);
        if (!bytes_.empty()) std::memcpy(out.raw(), bytes_.data(), bytes_.size());
    }

private:
    DType type_ = DType::Float;
    Shape shape_;
    size_t axis_ = 0;
    std::vector<uint8_t> bytes_;
};

class LoopKernel : public ControlFlowKernel {
public:
    LoopKernel(const onnx::NodeProto& n, int64_t opset) : ControlFlowKernel(n), body_(graphAttr(n, "body"), opset, outer_) {
        onnx::GraphProto appending(graphAttr(n, "body"));
        appends_ = yieldAppendedParts(appending);
        if (!appends_.empty()) appendingBody_ = std::make_unique<Subgraph>(appending, opset, outer_);
    }
    void run(KernelContext& ctx) override {
        const size_t carried = declared_ < 2 ? 0 : declared_ - 2;
        if (body_.inputCount() != carried + 2 || body_.outputCount() < carried + 1) {
            throw ExecError("Loop body does not match the loop's carried values");
        }
        const size_t scans = body_.outputCount() - 1 - carried;
        int64_t trips = std::numeric_limits<int64_t>::max();
        if (ctx.has(0) && ctx.in(0).size() != 0) trips = ctx.in(0).toInt64().at(0);
        bool going = !(ctx.has(1) && ctx.in(1).size() != 0) || ctx.in(1).scalarAsDouble(0) != 0;
        state_.resize(carried);
        appended_.resize(carried);
        std::vector<bool> appending(carried, false);
        bool anyAppending = appendingBody_ != nullptr;
        for (const auto& a : appends_) {
            appending[a.carried] = true;
            anyAppending = anyAppending && appended_[a.carried].start(ctx.in(2 + a.carried), a.axis);
        }
        if (!anyAppending) appending.assign(carried, false);
        Subgraph& body = anyAppending ? *appendingBody_ : body_;
        for (size_t k = 0; k < carried; ++k) {
            if (appending[k]) {
                appended_[k].placeholder(state_[k]);
            } else {
                castTensor(ctx.in(2 + k), ctx.in(2 + k).type(), state_[k]);
            }
        }
        partial_.resize(scans);
        for (auto& p : partial_) p.clear();
        const auto outer = outerValues(ctx);
        Tensor iteration(DType::Int64, {}), cond(DType::Bool, {});
        std::vector<const Tensor*> inputs{&iteration, &cond};
        // The carried values move into the body and back out of it where
        // they can, instead of being copied in and out on each iteration.
        std::vector<Tensor*> handOver{nullptr, nullptr};
        for (size_t k = 0; k < carried; ++k) {
            inputs.push_back(&state_[k]);
            handOver.push_back(appending[k] ? nullptr : &state_[k]);
        }
        const IterationBudget budget;
        for (int64_t i = 0; i < trips && going; ++i) {
            IterationBudget::spend();
            iteration.data<int64_t>()[0] = i;
            cond.data<uint8_t>()[0] = 1;
            body.run(inputs, outer, false, handOver);
            going = body.output(0).size() == 1 && body.output(0).scalarAsDouble(0) != 0;
            for (size_t k = 0; k < scans; ++k) partial_[k].add(body.output(1 + carried + k));
            for (size_t k = 0; k < carried; ++k) {
                if (appending[k]) {
                    appended_[k].add(body.output(1 + k));
                } else {
                    body.takeOutput(1 + k, state_[k]);
                }
            }
        }
        for (size_t k = 0; k < carried; ++k) {
            if (!appending[k]) {
                copyOut(ctx, k, state_[k]);
            } else if (ctx.wantsOutput(k)) {
                appended_[k].copyTo(ctx.out(k, DType::Float, {}));
            }
        }
        for (size_t k = 0; k < scans; ++k) {
            if (!ctx.wantsOutput(carried + k)) continue;
            partial_[k].stack(0, false, stacked_, DType::Float);
            copyOut(ctx, carried + k, stacked_);
        }
    }

private:
    Subgraph body_;
    std::vector<CarriedAppend> appends_;
    std::unique_ptr<Subgraph> appendingBody_;  // the body yielding only the appended parts
    std::vector<Tensor> state_;
    std::vector<AppendedValue> appended_;
    std::vector<SliceStack> partial_;
    Tensor stacked_;
};

// Scan (from opset 9): states carried across the steps of the scanned
// inputs, each sliced along its own axis and direction.
class ScanKernel : public ControlFlowKernel {
public:
    ScanKernel(const onnx::NodeProto& n, int64_t opset) : ControlFlowKernel(n), body_(graphAttr(n, "body"), opset, outer_) {
        const Attrs a(n);
        scanInputs_ = static_cast<size_t>(a.i("num_scan_inputs", 0));
        inAxes_ = a.ints("scan_input_axes");
        inDirs_ = a.ints("scan_input_directions");
        outAxes_ = a.ints("scan_output_axes");
        outDirs_ = a.ints("scan_output_directions");
        if (opset < 9) throw ExecError("Scan before opset 9 (with a batch axis) is not supported");
        if (scanInputs_ == 0 || scanInputs_ > declared_) throw ExecError("num_scan_inputs is out of range");
    }
    void run(KernelContext& ctx) override {
        const size_t states = declared_ - scanInputs_;
        if (body_.inputCount() != declared_ || body_.outputCount() < states) throw ExecError("Scan body does not match its inputs");
        const size_t scans = body_.outputCount() - states;
        int64_t steps = -1;
        std::vector<size_t> axes(scanInputs_);
        for (size_t j = 0; j < scanInputs_; ++j) {
            const Tensor& x = ctx.in(states + j);
            axes[j] = static_cast<size_t>(normAxis(j < inAxes_.size() ? inAxes_[j] : 0, x.rank()));
            if (steps >= 0 && x.dim(axes[j]) != steps) throw ExecError("scanned inputs differ in length");
            steps = x.dim(axes[j]);
        }
        state_.resize(states);
        for (size_t k = 0; k < states; ++k) castTensor(ctx.in(k), ctx.in(k).type(), state_[k]);
        slices_.resize(scanInputs_);
        partial_.resize(scans);
        for (auto& p : partial_) p.clear();
        std::vector<const Tensor*> inputs;
        std::vector<Tensor*> handOver;  // the states move in and out, as a Loop's carried values
        for (auto& s : state_) {
            inputs.push_back(&s);
            handOver.push_back(&s);
        }
        for (auto& s : slices_) inputs.push_back(&s);
        const auto outer = outerValues(ctx);
        const IterationBudget budget;
        for (int64_t t = 0; t < steps; ++t) {
            IterationBudget::spend();
            for (size_t j = 0; j < scanInputs_; ++j) {
                const bool reverse = j < inDirs_.size() && inDirs_[j] != 0;
                slice(ctx.in(states + j), axes[j], reverse ? steps - 1 - t : t, slices_[j]);
            }
            body_.run(inputs, outer, false, handOver);
            for (size_t k = 0; k < scans; ++k) partial_[k].add(body_.output(states + k));
            for (size_t k = 0; k < states; ++k) body_.takeOutput(k, state_[k]);
        }
        for (size_t k = 0; k < states; ++k) copyOut(ctx, k, state_[k]);
        for (size_t k = 0; k < scans; ++k) {
            if (!ctx.wantsOutput(states + k)) continue;
            partial_[k].stack(k < outAxes_.size() ? outAxes_[k] : 0, k < outDirs_.size() && outDirs_[k] != 0, stacked_,
                              DType::Float);
            copyOut(ctx, states + k, stacked_);
        }
    }

private:
    // Element `index` of `x` along `axis`, without that axis.
    static void slice(const Tensor& x, size_t axis, int64_t index, Tensor& out) {
        Shape shape = x.shape();
        const int64_t dim = shape[axis];
        shape.erase(shape.begin() + static_cast<long>(axis));
        out.reset(x.type(), shape);
        const int64_t outer = elementCount(Shape(x.shape().begin(), x.shape().begin() + static_cast<long>(axis)));
        const size_t es = elementBytes(x);
        const size_t run = static_cast<size_t>(out.size() / std::max<int64_t>(outer, 1)) * es;
        for (int64_t o = 0; o < outer; ++o) {
            std::memcpy(static_cast<uint8_t*>(out.raw()) + o * static_cast<int64_t>(run),
                        static_cast<const uint8_t*>(x.raw()) + (o * dim + index) * static_cast<int64_t>(run), run);
        }
    }

    Subgraph body_;
    size_t scanInputs_ = 0;
    std::vector<int64_t> inAxes_, inDirs_, outAxes_, outDirs_;
    std::vector<Tensor> state_, slices_;
    std::vector<SliceStack> partial_;
    Tensor stacked_;
};

}  // namespace

void registerControlFlowKernels() {
    registerKernel("If", [](const onnx::NodeProto& n, int64_t opset) { return std::make_unique<IfKernel>(n, opset); }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("Loop", [](const onnx::NodeProto& n, int64_t opset) { return std::make_unique<LoopKernel>(n, opset); }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("Scan", [](const onnx::NodeProto& n, int64_t opset) { return std::make_unique<ScanKernel>(n, opset); }, OpTraits::valueShaped(OpTraits::kEveryInput));
}

}  // namespace vexart
