// Graph::prepare as named stages over one planning state: inputs and
// outputs fixed, liveness, constant folding, codes read in place of
// dequantizations, then per node in order pattern substitution, context
// binding, layout planning, fusion, shapes by rule or by a dry run, views
// for aliases, and early freeing; finally memory planning
// (Graph::placeInArena) and the profile's rows.
#include "graph/Graph.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <set>

#include "FailureText.h"
#include "core/Deadline.h"
#include "core/Threads.h"
#include "kernels/Attention.h"
#include "kernels/Fallbacks.h"
#include "kernels/WeightCodes.h"
#include "onednn/Dnnl.h"
#include "passes/AttentionFusion.h"
#include "passes/CodesInput.h"
#include "passes/Fusion.h"
#include "passes/Grids.h"
#include "passes/LayerNormFusion.h"
#include "passes/Layout.h"
#include "passes/ShapeInference.h"
#include "planner/Liveness.h"

namespace vexart {

namespace {

// Short element-type names for profiles.
std::string precisionName(DType t) {
    switch (t) {
        case DType::Float: return "f32";
        case DType::Float16: return "f16";
        case DType::BFloat16: return "bf16";
        case DType::Double: return "f64";
        case DType::Int8: return "i8";
        case DType::UInt8: return "u8";
        case DType::Int32: return "i32";
        case DType::Int64: return "i64";
        default: return dtypeName(t);
    }
}

// A dequantization of constant weights that only products read, as their
// weights: it folds just before its first reader, which keeps the weights
// in a form of its own. Folded with the other constants, every layer's
// float weights would be held at once beside their 8-bit codes.
bool foldsAtItsReader(const GraphState& st, const Node& n) {
    if (n.traits->quant != OpTraits::Quant::Dequantize || n.outputs.size() != 1 || n.outputs[0] < 0) return false;
    const auto& readers = st.consumers[static_cast<size_t>(n.outputs[0])];
    for (size_t c : readers) {
        const Node& r = *st.nodes[c];
        if (r.traits->weightAxis < 0 || r.inputs.size() < 2 || r.inputs[1] != n.outputs[0] || r.inputs[0] == n.outputs[0]) {
            return false;
        }
    }
    return !readers.empty();
}

// Operators whose output is their first input's bytes under another shape.
bool isAlias(const Node& n, const std::vector<int>& inputs, const std::vector<int>& outputs) {
    const bool view = n.traits->view || (n.active != nullptr && n.active->viewsInput(*n.ctx));
    if (!view || inputs.empty() || inputs[0] < 0 || outputs.empty() || outputs[0] < 0) return false;
    // Dropout's mask is a second output that would have to be written.
    return outputs.size() == 1 || outputs[1] < 0;
}

}  // namespace

// What the walk over the nodes carries from one node to the next.
struct Graph::Planning {
    GraphState st;
    std::vector<Tensor*> plainCopy;   // per value: its plain copy, once made
    std::vector<bool> copyScheduled;  // per value: a step makes that copy
    ValueRelease release;             // when each value's storage may go
    std::vector<bool> setsShapes;     // per value: some output shape follows its contents
    std::vector<bool> foldLater;      // per node: folds before its first reader (foldsAtItsReader)
    Planning(std::vector<std::unique_ptr<Node>>& n, std::vector<Tensor>& v, std::vector<bool>& c) : st(n, v, c) {}
};

// One node's plan while it is being made.
struct Graph::NodePlan {
    Step step;
    std::vector<int> inputs, outputs;  // the node's, or the substitute's
    std::vector<size_t> absorbed;
    bool allConst = true, anyLaidOut = false, outputWanted = false;
    bool fused = false;  // the kernel writes what nodes after it would have
    LayoutUse use = LayoutUse::Plain;
    bool onPhysical = false;
    Layout physicalLayout;
};

void Graph::fixInputs(const std::map<std::string, Shape>& inputShapes) {
    checkInputShapes(inputShapes);
    for (auto& in : inputs_) {
        const auto given = inputShapes.find(in.name);
        if (given != inputShapes.end()) in.dims = given->second;
        Shape shape = in.dims;
        for (auto& d : shape) d = d < 0 ? 1 : d;
        in.dims = shape;
        // Values already placed in an input of this shape and type are kept,
        // so shapes that depend on input data can be learnt from them.
        Tensor& t = values_[static_cast<size_t>(index_.at(in.name))];
        if (t.shape() != shape || t.type() != in.type) {
            t.reset(in.type, shape);
            t.zero();
        }
    }
}

std::vector<int> Graph::selectOutputs(const std::vector<std::string>& outputs) {
    outputs_.clear();
    std::set<int> wanted;
    for (const auto& name : outputs) {
        const auto it = index_.find(name);
        if (it == index_.end()) throw ExecError("requested output '" + name + "' is not a tensor of the graph");
        if (wanted.insert(it->second).second) outputs_.push_back(name);
    }
    return {wanted.begin(), wanted.end()};
}

void Graph::forgetLastPlan() {
    std::vector<bool> isInput(values_.size(), false);
    for (const auto& in : inputs_) isInput[static_cast<size_t>(index_.at(in.name))] = true;
    // Values folded by the last plan are folded again: they may follow
    // shapes that changed since.
    isConst_ = declaredConst_;
    for (size_t v = 0; v < values_.size(); ++v) {
        if (!isConst_[v] && !isInput[v]) values_[v].release();
    }
    grids_.clear();
    schedule_.clear();
    hidden_.clear();
    views_.clear();
    arena_.reset();
    arenaBytes_ = 0;
}

bool Graph::followsValues(const Node& n, const std::vector<bool>& isConst) const {
    const uint32_t mask = n.traits->shapeFromValues;
    for (size_t i = 0; i < n.inputs.size() && mask != 0; ++i) {
        const bool set = i >= 32 ? mask == OpTraits::kEveryInput : ((mask >> i) & 1u) != 0;
        if (set && n.inputs[i] >= 0 && !isConst[static_cast<size_t>(n.inputs[i])]) return true;
    }
    return false;
}

bool Graph::planWouldFollowValues(const Planning& plan, const std::vector<bool>& folded) const {
    std::vector<bool> constant = isConst_;
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (!plan.st.needed[k] || plan.st.skipped[k] || folded[k]) continue;
        const Node& n = *nodes_[k];
        bool allConst = !plan.foldLater[k], wanted = false;
        for (int i : n.inputs) allConst = allConst && (i < 0 || constant[static_cast<size_t>(i)]);
        for (int o : n.outputs) wanted = wanted || (o >= 0 && plan.st.wanted[static_cast<size_t>(o)]);
        if (plan.foldLater[k] || ((allConst || n.traits->shapeOnly) && !wanted)) {
            for (int o : n.outputs) {
                if (o >= 0) constant[static_cast<size_t>(o)] = true;
            }
        } else if (followsValues(n, constant)) {
            return true;
        }
    }
    return false;
}

void Graph::prepare(const std::map<std::string, Shape>& inputShapes, const std::vector<std::string>& outputs,
                    bool execute) {
    planStages(inputShapes, outputs, execute, false);
}

bool Graph::prepareUnlessValuesShape(const std::map<std::string, Shape>& inputShapes,
                                     const std::vector<std::string>& outputs) {
    return planStages(inputShapes, outputs, false, true);
}

bool Graph::planStages(const std::map<std::string, Shape>& inputShapes, const std::vector<std::string>& outputs,
                 bool execute, bool stopIfValuesShape) {
    const ExecutionDeadline deadline;  // planning runs the graph once too
    std::optional<StoragePool::Scope> reuse;
    std::optional<SerialLoops> serial;
    if (execute) {
        reuse.emplace(pool_);
        pool_.beginRound();
    } else {
        serial.emplace();
    }
    forgetLastPlan();
    executing_ = execute;
    fixInputs(inputShapes);
    const std::vector<int> wanted = selectOutputs(outputs);
    Planning plan(nodes_, values_, isConst_);
    std::vector<int> inputValues;
    for (const auto& in : inputs_) inputValues.push_back(index_.at(in.name));
    computeLiveness(plan.st, wanted, inputValues);
    plan.release = ValueRelease(plan.st, inputValues);
    plan.setsShapes = valuesThatShape(plan.st);
    for (size_t v = 0; v < values_.size(); ++v) {
        if (!isConst_[v]) values_[v].setLayout(Layout::plain());
    }
    plan.plainCopy.assign(values_.size(), nullptr);
    plan.copyScheduled.assign(values_.size(), false);
    // Constants first, so that the passes below see every one of them
    // (a scale that a Constant node makes after the node it scales).
    schedule_.reserve(nodes_.size());
    std::vector<bool> folded(nodes_.size(), false);
    plan.foldLater.assign(nodes_.size(), false);
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (!plan.st.needed[k] || !foldsToConstant(plan.st, *nodes_[k])) continue;
        if (!settled_[k] && foldsAtItsReader(plan.st, *nodes_[k])) {
            plan.foldLater[k] = true;
            continue;
        }
        if (!settled_[k]) prepareNode(plan, k);
        folded[k] = true;
    }
    settleFolds(plan, folded);
    // Grids are known once their parameters are folded; a rewired node
    // changes who reads what.
    if (readCodesDirectly(nodes_, values_, isConst_)) {
        computeLiveness(plan.st, wanted, inputValues);
        plan.release = ValueRelease(plan.st, inputValues);
        plan.setsShapes = valuesThatShape(plan.st);
    }
    if (stopIfValuesShape && planWouldFollowValues(plan, folded)) {
        followsValues_ = true;
        executing_ = false;
        return false;
    }
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (plan.st.needed[k] && !plan.st.skipped[k] && !folded[k] && !plan.foldLater[k]) {
            foldWeightsOf(plan, k);
            prepareNode(plan, k);
        }
        releaseDead(plan, k);
    }
    followsValues_ = false;
    for (const Step& s : schedule_) followsValues_ = followsValues_ || followsValues(*s.node, isConst_);
    // Executed, the values stay where the nodes put them: the next
    // execution plans afresh.
    if (!executing_) placeInArena();
    // Each row copies names: a graph of many nodes pays for them only when profiled.
    if (timing_) recordTimings();
    executing_ = false;
    return true;
}

bool Graph::foldsToConstant(const GraphState& st, const Node& n) const {
    bool constant = true;
    for (int i : n.inputs) constant = constant && (i < 0 || isConst_[static_cast<size_t>(i)]);
    for (int o : n.outputs) constant = constant && (o < 0 || !st.wanted[static_cast<size_t>(o)]);
    return constant;
}

// A node folded from declared constants alone (weights that an exporter
// quantizes, transposes or casts in the graph) folds to the same result on
// every plan: every registered operator computes the same from the same
// inputs. It is settled: its results count as declared from now on and it
// never runs again, and the operand it transformed (its first input) is
// freed once only settled nodes read it, each as that operand. Parameters
// (scales, zero points, shapes) stay for the passes that read them. Plans of one graph ask for the
// same outputs, so a value freed here is not asked for later.
void Graph::settleFolds(const Planning& plan, const std::vector<bool>& folded) {
    std::vector<size_t> newly;
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (!folded[k] || settled_[k]) continue;
        const Node& n = *nodes_[k];
        bool fromDeclared = true;
        for (int i : n.inputs) fromDeclared = fromDeclared && (i < 0 || declaredConst_[static_cast<size_t>(i)]);
        if (!fromDeclared) continue;
        settled_[k] = true;
        for (int o : n.outputs) {
            if (o >= 0) declaredConst_[static_cast<size_t>(o)] = true;
        }
        newly.push_back(k);
    }
    if (newly.empty()) return;
    // Kept: what an unsettled node reads, and any settled node's parameter
    // (a zero point that an Identity copies is still a DequantizeLinear's).
    std::vector<bool> read(values_.size(), false);
    for (size_t k = 0; k < nodes_.size(); ++k) {
        const auto& inputs = nodes_[k]->inputs;
        for (size_t j = settled_[k] ? 1 : 0; j < inputs.size(); ++j) {
            if (inputs[j] >= 0) read[static_cast<size_t>(inputs[j])] = true;
        }
    }
    for (const auto& name : declaredOutputs_) read[static_cast<size_t>(index_.at(name))] = true;
    for (size_t k : newly) {
        const int v = nodes_[k]->inputs.empty() ? -1 : nodes_[k]->inputs[0];
        if (v < 0 || read[static_cast<size_t>(v)] || plan.st.wanted[static_cast<size_t>(v)]) continue;
        if (initializerOf_[static_cast<size_t>(v)] >= 0) {
            releaseInitializer(v);
        } else {
            values_[static_cast<size_t>(v)].release();
        }
    }
}

bool Graph::setsShapes(const Planning& plan, const NodePlan& np) {
    for (int o : np.outputs) {
        if (o >= 0 && plan.setsShapes[static_cast<size_t>(o)]) return true;
    }
    return false;
}

void Graph::foldWeightsOf(Planning& plan, size_t k) {
    for (int i : nodes_[k]->inputs) {
        const int p = i >= 0 ? plan.st.producer[static_cast<size_t>(i)] : -1;
        if (p < 0 || !plan.foldLater[static_cast<size_t>(p)]) continue;
        const auto at = static_cast<size_t>(p);
        plan.foldLater[at] = false;
        if (!foldToCodes(plan, at)) prepareNode(plan, at);
        std::vector<bool> folded(nodes_.size(), false);
        folded[at] = true;
        settleFolds(plan, folded);
    }
}

// A dequantization of constant codes whose every reader takes weight
// codes (OpTraits::takesWeightCodes) folds to those codes: the readers
// pack them as they are or dequantize what they compute in floats, and
// the weights never exist as floats (four times the bytes, written only
// to be rounded back).
bool Graph::foldToCodes(Planning& plan, size_t dq) {
    const Node& n = *nodes_[dq];
    if (n.inputs.empty() || n.inputs[0] < 0) return false;
    for (int i : n.inputs) {
        if (i >= 0 && !declaredConst_[static_cast<size_t>(i)]) return false;  // folds again on another plan
    }
    const auto in = static_cast<size_t>(n.inputs[0]), out = static_cast<size_t>(n.outputs[0]);
    Tensor& codes = values_[in];
    if ((codes.type() != DType::Int8 && codes.type() != DType::UInt8) || codes.raw() == nullptr) return false;
    for (size_t c : plan.st.consumers[out]) {
        if (!nodes_[c]->traits->takesWeightCodes) return false;
    }
    // The grid is judged against the output's shape: the codes' own.
    Tensor& folded = values_[out];
    folded.view(codes.type(), codes.shape(), codes.raw());
    QuantGrid grid;
    // A grid that does not fit the codes is the dequantization's to refuse.
    if (!dequantizedGrid(plan.st, static_cast<int>(out), grid) || !holdsWeightCodes(folded, &grid)) {
        folded.release();
        return false;
    }
    if (codes.ownsStorage() && plan.st.consumers[in].size() == 1 && !plan.st.wanted[in]) {
        folded.adopt(codes);
    } else {
        // An initializer's bytes (or codes someone else reads): copied, a
        // quarter of what the floats would take.
        folded.release();  // the view above, which reset() would keep
        folded.reset(codes.type(), codes.shape());
        if (folded.bytes() != 0) std::memcpy(folded.raw(), codes.raw(), folded.bytes());
    }
    folded.setLayout(Layout::plain());
    plan.st.ready[out] = true;
    isConst_[out] = true;
    return true;
}

void Graph::releaseDead(Planning& plan, size_t k) {
    for (int v : plan.release.due(k, isConst_)) {
        values_[static_cast<size_t>(v)].release();
        if (plan.plainCopy[static_cast<size_t>(v)] != nullptr) plan.plainCopy[static_cast<size_t>(v)]->release();
    }
}

void Graph::prepareNode(Planning& plan, size_t k) {
    Node& n = *nodes_[k];
    NodePlan np;
    np.step.node = &n;
    np.inputs = n.inputs;
    np.outputs = n.outputs;
    substitutePattern(plan, k, np);
    bindContext(plan, n, np);
    Kernel* kernel = n.active;
    try {
        // Constant work is folded plain; layouts only matter per execution.
        np.use = np.allConst ? LayoutUse::Plain : n.traits->layoutFree ? LayoutUse::Elementwise : kernel->layoutUse(*n.ctx);
        planLayout(plan, n, np);
        n.ctx->allowLeavingPlain((np.use == LayoutUse::Spatial || np.use == LayoutUse::Any) && !np.outputWanted);
        planFusion(plan, k, n, np);
        // Planning computes only what later planning needs: constants and
        // what shapes follow. Elsewhere an operator with a shape rule does
        // not run, and the others run dry (passes/ShapeInference.h): a
        // kernel that can sets its outputs' shapes and skips the work.
        // Executing, every node computes.
        const bool planning = !np.allConst && !executing_;
        const bool shapesFollow = planning && setsShapes(plan, np);
        const auto start = std::chrono::steady_clock::now();
        // The shape rule types the output as an input; a kernel that reads
        // codes for floats, or writes codes for a QuantizeLinear after it,
        // knows better.
        const bool typesItself = np.fused || (n.codesFrom >= 0 && n.traits->takesCodes);
        if (!planning || kernel != n.kernel.get() || shapesFollow || typesItself || !inferOutputs(*n.traits, *n.ctx)) {
            n.ctx->setDryRun(planning && !shapesFollow);
            kernel->run(*n.ctx);
            n.ctx->setDryRun(false);
        }
        np.step.executedMicroseconds =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        makeAlias(plan, n, np);
        for (Tensor* out : n.ctx->outputs()) {
            if (out != nullptr && np.use != LayoutUse::Spatial && np.use != LayoutUse::Any) {
                out->setLayout(np.onPhysical ? np.physicalLayout : Layout::plain());
            }
        }
    } catch (const std::exception& e) {
        throw ExecError(n.opType + " node '" + n.name + "': " + vexart::failureText(e));
    }
    for (Tensor* out : n.ctx->outputs()) {
        if (out != nullptr) plan.st.ready[static_cast<size_t>(out - values_.data())] = true;
    }
    releaseCopiedWeights(plan, *kernel, np.inputs);
    // Shape only looks at the (now fixed) shape of its input.
    if ((np.allConst || n.traits->shapeOnly) && !np.outputWanted) {
        for (Tensor* out : n.ctx->outputs()) {
            if (out != nullptr) isConst_[static_cast<size_t>(out - values_.data())] = true;
        }
        return;
    }
    for (const auto& c : np.step.toPlain) plan.copyScheduled[static_cast<size_t>(c.from - values_.data())] = true;
    np.step.absorbed = std::move(np.absorbed);
    schedule_.push_back(std::move(np.step));
}

void Graph::substitutePattern(Planning& plan, size_t k, NodePlan& np) {
    Node& n = *nodes_[k];
    // A recognised subgraph runs as one kernel from its first node.
    n.active = n.kernel.get();
    std::vector<size_t> spanned;
    if (LayerNormMatch m; matchLayerNorm(plan.st, k, m)) {
        if (!n.substitute) n.substitute = makeLayerNorm(m.epsilon);
        np.inputs = {m.x, m.scale, m.bias};
        np.outputs = {m.output};
        spanned = std::move(m.spanned);
    } else if (AttentionMatch a; matchAttention(plan.st, k, a)) {
        if (!n.substitute) {
            const AttentionScale op = a.scaleOp == AttentionMatch::Scale::Mul   ? AttentionScale::Mul
                                      : a.scaleOp == AttentionMatch::Scale::Div ? AttentionScale::Div
                                                                                : AttentionScale::None;
            n.substitute = makeAttention(op, a.scale, a.mask >= 0);
        }
        np.inputs = {a.q, a.k, a.v};
        if (a.mask >= 0) np.inputs.push_back(a.mask);
        np.outputs = {a.output};
        spanned = std::move(a.spanned);
    } else {
        return;
    }
    n.active = n.substitute.get();
    for (size_t s : spanned) plan.st.skipped[s] = true;
    for (size_t s : spanned) {
        if (s != k) np.absorbed.push_back(s);
    }
}

void Graph::bindContext(Planning& plan, Node& n, NodePlan& np) {
    std::vector<const Tensor*> ins;
    std::vector<bool> constant;
    std::vector<const QuantGrid*> grids;
    for (size_t j = 0; j < np.inputs.size(); ++j) {
        const int i = np.inputs[j];
        ins.push_back(i >= 0 ? &values_[static_cast<size_t>(i)] : nullptr);
        constant.push_back(i >= 0 && isConst_[static_cast<size_t>(i)]);
        if (i >= 0 && !isConst_[static_cast<size_t>(i)]) np.allConst = false;
        if (i >= 0 && !values_[static_cast<size_t>(i)].isPlain()) np.anyLaidOut = true;
        QuantGrid grid;
        // Codes read in place of their dequantization lie on its grid.
        const int gridOf = j == 0 && n.codesFrom >= 0 ? nodes_[static_cast<size_t>(n.codesFrom)]->outputs[0] : i;
        if (i >= 0 && dequantizedGrid(plan.st, gridOf, grid)) {
            grids_.push_back(std::make_unique<QuantGrid>(std::move(grid)));
            grids.push_back(grids_.back().get());
        } else {
            grids.push_back(nullptr);
        }
    }
    std::vector<Tensor*> outs;
    for (int o : np.outputs) {
        outs.push_back(o >= 0 ? &values_[static_cast<size_t>(o)] : nullptr);
        np.outputWanted = np.outputWanted || (o >= 0 && plan.st.wanted[static_cast<size_t>(o)]);
    }
    n.ctx = std::make_unique<KernelContext>(std::move(ins), std::move(outs));
    n.ctx->setConstant(std::move(constant));
    n.ctx->setGrids(std::move(grids));
}

void Graph::planLayout(Planning& plan, Node& n, NodePlan& np) {
    if (!np.anyLaidOut) return;
    const auto& inputs = np.inputs;
    if (np.use == LayoutUse::Elementwise && !np.outputWanted) {
        // Every operand in one layout over the same channels, or plain and
        // the same bytes in that layout.
        std::vector<Shape> views(inputs.size());
        int64_t channels = -1;
        size_t rank = 0;
        np.onPhysical = true;
        for (const Tensor* t : n.ctx->inputs()) {
            if (t == nullptr || t->isPlain()) continue;
            if (!np.physicalLayout.isPlain() && t->layout() != np.physicalLayout) np.onPhysical = false;
            np.physicalLayout = t->layout();
            const Shape logical = t->logicalShape();
            if (rank != 0 && logical.size() != rank) np.onPhysical = false;
            rank = logical.size();
            channels = std::max(channels, logical[1]);
        }
        for (size_t i = 0; i < inputs.size(); ++i) {
            const Tensor* t = n.ctx->inputs()[i];
            if (t != nullptr && t->isPlain()) {
                np.onPhysical = np.onPhysical && layoutView(t->shape(), np.physicalLayout, rank, channels, views[i]);
            }
        }
        for (size_t i = 0; np.onPhysical && i < inputs.size(); ++i) {
            const Tensor* t = n.ctx->inputs()[i];
            if (t == nullptr || !t->isPlain()) continue;
            hidden_.push_back(std::make_unique<Tensor>());
            hidden_.back()->view(t->type(), views[i], const_cast<void*>(t->raw()));
            n.ctx->setInput(i, hidden_.back().get());
            views_.emplace_back(t, hidden_.back().get());
            np.step.plannedShapes.emplace_back(t, t->shape());
        }
    }
    for (size_t i = 0; !np.onPhysical && np.use != LayoutUse::Any && i < inputs.size(); ++i) {
        const int v = inputs[i];
        if (v < 0 || values_[static_cast<size_t>(v)].isPlain()) continue;
        if (np.use == LayoutUse::Spatial && i == 0) continue;
        Tensor*& copy = plan.plainCopy[static_cast<size_t>(v)];
        if (copy == nullptr) {
            hidden_.push_back(std::make_unique<Tensor>());
            copy = hidden_.back().get();
            onednn::convertLayout(values_[static_cast<size_t>(v)], *copy, Layout::plain());
        }
        if (!plan.copyScheduled[static_cast<size_t>(v)]) {
            np.step.toPlain.push_back({&values_[static_cast<size_t>(v)], copy, std::make_unique<onednn::LayoutConversion>()});
        }
        n.ctx->setInput(i, copy);
    }
}

void Graph::planFusion(Planning& plan, size_t k, Node& n, NodePlan& np) {
    Kernel* kernel = n.active;
    if (!kernel->fusable()) return;
    std::vector<Shape> shapes;
    if (np.allConst || !kernel->inferShapes(*n.ctx, shapes) || shapes.empty()) {
        kernel->setFusion({});
        return;
    }
    const size_t rank = shapes[0].size();
    const Layout layout = rank >= 3 && rank <= 5 ? kernel->outputLayout(*n.ctx) : Layout::plain();
    const FusedChain chain =
        fuseAfter(plan.st, k, shapes[0], layout, kernel->foldsNormalization(), kernel->channelAxis(shapes[0].size()),
                  kernel->writesCodes(), kernel->appliesPosts());
    for (const auto& p : chain.fusion.post) {
        if (p.addend != nullptr) np.step.alsoReads.push_back(p.addend);
    }
    kernel->setFusion(chain.fusion);
    np.absorbed.insert(np.absorbed.end(), chain.absorbed.begin(), chain.absorbed.end());
    np.fused = !chain.absorbed.empty() || (chain.output >= 0 && !np.outputs.empty() && chain.output != np.outputs[0]);
    if (chain.output >= 0) n.ctx->setOutput(0, &values_[static_cast<size_t>(chain.output)]);
}

void Graph::makeAlias(Planning& plan, Node& n, NodePlan& np) {
    // Reshape and its kin only rename bytes: the output views the input
    // instead of being copied on each execution.
    const auto& inputs = np.inputs;
    const auto& outputs = np.outputs;
    if (np.allConst || !isAlias(n, inputs, outputs) || n.ctx->inputs()[0] != &values_[static_cast<size_t>(inputs[0])]) {
        return;
    }
    const Tensor& from = values_[static_cast<size_t>(inputs[0])];
    // Bytes in another layout are viewed only by a node that keeps them
    // all as they lie (a slice of everything), in that layout.
    const bool keepsLayout =
        !from.isPlain() && np.use == LayoutUse::Any && n.ctx->mayLeavePlain() && n.active->viewsInput(*n.ctx);
    if (!from.isPlain() && !keepsLayout) return;
    Tensor& out = values_[static_cast<size_t>(outputs[0])];
    if (out.type() != from.type() || out.size() != from.size() || dtypeSize(from.type()) == 0) return;
    out.view(out.type(), keepsLayout ? from.shape() : out.shape(), const_cast<void*>(from.raw()));
    if (keepsLayout) out.setLayout(from.layout());
    np.step.aliasOf = &from;
    np.step.plannedShapes.emplace_back(&from, from.shape());
    plan.release.alias(outputs[0], inputs[0]);
}

void Graph::releaseCopiedWeights(Planning& plan, const Kernel& kernel, const std::vector<int>& inputs) {
    // Weights the kernel now keeps in its own layout are not held twice.
    for (size_t i = 0; i < inputs.size(); ++i) {
        const int v = inputs[i];
        if (v < 0 || !kernel.keepsCopyOf(i) || plan.st.wanted[static_cast<size_t>(v)] ||
            plan.st.consumers[static_cast<size_t>(v)].size() != 1) {
            continue;
        }
        // The same tensor may feed this node twice (as data and as weights).
        bool copied = true;
        for (size_t j = 0; j < inputs.size(); ++j) copied = copied && (inputs[j] != v || kernel.keepsCopyOf(j));
        if (!copied) continue;
        if (initializerOf_[static_cast<size_t>(v)] >= 0) {
            releaseInitializer(v);
        } else {
            // Folded (dequantized weights): a later plan folds it again or,
            // settled, never reads it.
            values_[static_cast<size_t>(v)].release();
        }
    }
}

void Graph::enableTiming(bool on) {
    if (on && !timing_) recordTimings();
    timing_ = on;
}

void Graph::recordTimings() {
    timings_.assign(schedule_.size(), {});
    for (size_t k = 0; k < schedule_.size(); ++k) {
        const Step& s = schedule_[k];
        NodeTiming& t = timings_[k];
        t.name = s.node->name;
        t.opType = s.node->opType;
        for (size_t a : s.absorbed) t.fused.push_back(nodes_[a]->name);
        if (executing_) t.lastMicroseconds = t.totalMicroseconds = s.executedMicroseconds;
        describeStep(k);
    }
    // Kernels that planning did not run choose their implementation on
    // their first run: the next run names them again.
    described_ = executing_;
}

void Graph::describeStep(size_t k) {
    const Step& s = schedule_[k];
    NodeTiming& t = timings_[k];
    const std::string impl = s.aliasOf != nullptr ? "view" : s.node->active->implementation();
    t.kernel = impl.empty() ? "vexa" : s.aliasOf != nullptr || impl.rfind("vexa", 0) == 0 ? impl : "onednn:" + impl;
    const Tensor* out = s.node->ctx->outputs().empty() ? nullptr : s.node->ctx->outputs()[0];
    t.precision = s.aliasOf == nullptr && s.node->active->runsOnIntegers() ? "int8"
                  : out != nullptr                                          ? precisionName(out->type())
                                                                            : "-";
}

}  // namespace vexart
