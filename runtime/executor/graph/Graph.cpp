#include "graph/Graph.h"
#include "kernels/Fallbacks.h"
#include "graph/Subgraph.h"
#include "core/Deadline.h"

#include <onnx/onnx_pb.h>

#include <chrono>
#include <set>
#include <unordered_map>

#include "onednn/Dnnl.h"
#include "passes/Fusion.h"
#include "passes/Grids.h"
#include "passes/LayerNormFusion.h"
#include "passes/Layout.h"
#include "planner/Arena.h"
#include "FailureText.h"

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

int64_t opsetOf(const onnx::ModelProto& model) {
    for (const auto& o : model.opset_import()) {
        if (o.domain().empty() || o.domain() == "ai.onnx") return o.version();
    }
    return 1;
}

// Operators whose output is their first input's bytes under another shape.
bool isAlias(const Node& n, const std::vector<int>& inputs, const std::vector<int>& outputs) {
    if (!n.traits->view || inputs.empty() || inputs[0] < 0 || outputs.empty() || outputs[0] < 0) return false;
    // Dropout's mask is a second output that would have to be written.
    return outputs.size() == 1 || outputs[1] < 0;
}

NodeAttrs attrsOf(const onnx::NodeProto& n, int64_t opset) {
    const Attrs a(n);
    NodeAttrs out;
    out.alpha = a.f("alpha", out.alpha);
    out.beta = a.f("beta", out.beta);
    out.epsilon = a.f("epsilon", out.epsilon);
    out.clipMin = a.f("min", out.clipMin);
    out.clipMax = a.f("max", out.clipMax);
    out.training = a.i("training_mode", 0) != 0;
    out.keepDims = a.i("keepdims", 1) != 0;
    out.axes = a.ints("axes");
    out.axis = a.i("axis", 1);
    out.opset = opset;
    return out;
}

}  // namespace

Graph::~Graph() = default;

int Graph::valueIndex(const std::string& name, bool create) {
    const auto it = index_.find(name);
    if (it != index_.end()) return it->second;
    if (!create) throw ExecError("tensor '" + name + "' is used before it is produced");
    const int i = static_cast<int>(values_.size());
    index_.emplace(name, i);
    values_.emplace_back();
    valueNames_.push_back(name);
    isConst_.push_back(false);
    return i;
}

Graph::Graph(onnx::ModelProto model) : model_(std::make_unique<onnx::ModelProto>(std::move(model))) {
    const int64_t opset = opsetOf(*model_);
    const onnx::GraphProto& g = model_->graph();
    if (g.sparse_initializer_size() != 0) {
        throw ExecError("sparse initializer '" + g.sparse_initializer(0).values().name() + "' is not supported");
    }
    for (int k = 0; k < g.initializer_size(); ++k) {
        const auto& init = g.initializer(k);
        if (index_.count(init.name()) != 0) throw ExecError("initializer '" + init.name() + "' is given twice");
        const int i = valueIndex(init.name(), true);
        tensorFromProto(init, values_[static_cast<size_t>(i)], true);
        isConst_[static_cast<size_t>(i)] = true;
        initializerOf_.resize(values_.size(), -1);
        initializerOf_[static_cast<size_t>(i)] = k;
    }
    for (const auto& in : g.input()) {
        if (index_.count(in.name()) != 0) continue;  // initializer listed as input
        ValueInfo info;
        info.name = in.name();
        if (in.type().has_tensor_type()) {
            info.type = static_cast<DType>(in.type().tensor_type().elem_type());
            if (dtypeSize(info.type) == 0 && info.type != DType::String && !holdsTensors(info.type)) {
                throw ExecError("input '" + info.name + "' has no supported element type");
            }
            for (const auto& d : in.type().tensor_type().shape().dim()) {
                info.dims.push_back(d.has_dim_value() ? d.dim_value() : -1);
            }
        } else if (in.type().has_sequence_type()) {
            info.type = DType::Sequence;
        } else if (in.type().has_optional_type()) {
            info.type = DType::Optional;
        }
        valueIndex(info.name, true);
        inputs_.push_back(std::move(info));
    }
    for (const auto& out : g.output()) declaredOutputs_.push_back(out.name());

    for (const auto& n : g.node()) {
        if (!n.domain().empty() && n.domain() != "ai.onnx") {
            throw ExecError("operator " + n.domain() + "." + n.op_type() + " is not supported");
        }
        const KernelFactory* factory = findKernel(n.op_type());
        if (factory == nullptr) throw ExecError("operator " + n.op_type() + " is not supported");
        auto node = std::make_unique<Node>();
        node->name = n.name();
        node->opType = n.op_type();
        node->traits = &opTraits(n.op_type());
        node->attrs = attrsOf(n, opset);
        for (const auto& in : n.input()) node->inputs.push_back(in.empty() ? -1 : valueIndex(in, false));
        // What its subgraphs read from this graph is an input too.
        for (const auto& name : outerScopeNames(n)) node->inputs.push_back(valueIndex(name, false));
        for (const auto& out : n.output()) {
            // Every tensor has one producer: a node that wrote over an input,
            // a constant or another node's result would also alias its own
            // inputs while it runs.
            if (!out.empty() && index_.count(out) != 0) throw ExecError("tensor '" + out + "' is produced twice");
            node->outputs.push_back(out.empty() ? -1 : valueIndex(out, true));
        }
        try {
            node->kernel = (*factory)(n, opset);
        } catch (const ExecError& e) {
            throw ExecError(n.op_type() + " node '" + n.name() + "': " + e.what());
        }
        nodes_.push_back(std::move(node));
    }
    for (const auto& name : declaredOutputs_) {
        if (index_.count(name) == 0) throw ExecError("graph output '" + name + "' is never produced");
    }
    initializerOf_.resize(values_.size(), -1);
}

void Graph::releaseInitializer(int value) {
    const int k = initializerOf_[static_cast<size_t>(value)];
    if (k < 0) return;
    values_[static_cast<size_t>(value)].release();
    std::string().swap(*model_->mutable_graph()->mutable_initializer(k)->mutable_raw_data());
    initializerOf_[static_cast<size_t>(value)] = -1;
}

std::vector<std::string> Graph::nodeOutputNames() const {
    std::vector<std::string> names;
    for (const auto& n : nodes_) {
        for (int o : n->outputs) {
            if (o >= 0) names.push_back(valueNames_[static_cast<size_t>(o)]);
        }
    }
    return names;
}

std::vector<std::string> Graph::unconsumedNames() const {
    std::set<int> consumed;
    for (const auto& n : nodes_) consumed.insert(n->inputs.begin(), n->inputs.end());
    std::set<std::string> declared(declaredOutputs_.begin(), declaredOutputs_.end());
    std::vector<std::string> names;
    for (const auto& n : nodes_) {
        for (int o : n->outputs) {
            if (o >= 0 && consumed.count(o) == 0 && declared.count(valueNames_[static_cast<size_t>(o)]) == 0) {
                names.push_back(valueNames_[static_cast<size_t>(o)]);
            }
        }
    }
    return names;
}

bool Graph::producesValue(const std::string& name) const {
    const auto it = index_.find(name);
    if (it == index_.end()) return false;
    for (const auto& n : nodes_) {
        for (int o : n->outputs) {
            if (o == it->second) return true;
        }
    }
    return false;
}

std::vector<std::string> Graph::outputsOfNodes(const std::vector<std::string>& layers) const {
    std::vector<std::string> names;
    for (const auto& layer : layers) {
        bool found = false;
        for (const auto& n : nodes_) {
            if (n->name != layer) continue;
            found = true;
            for (int o : n->outputs) {
                if (o >= 0) names.push_back(valueNames_[static_cast<size_t>(o)]);
            }
        }
        if (!found) throw ExecError("layer '" + layer + "' is not in the graph");
    }
    return names;
}

void Graph::checkInputShapes(const std::map<std::string, Shape>& inputShapes) const {
    for (const auto& [name, shape] : inputShapes) {
        const ValueInfo* input = nullptr;
        for (const auto& in : inputs_) input = in.name == name ? &in : input;
        if (input == nullptr) throw ExecError("'" + name + "' is not an input of the graph");
        if (!input->dims.empty() && shape.size() != input->dims.size()) {
            throw ExecError("input '" + name + "' has rank " + std::to_string(input->dims.size()) + ", not " +
                            std::to_string(shape.size()));
        }
        for (size_t i = 0; i < shape.size(); ++i) {
            // Negative here is a size that wrapped around: "-1" read as
            // unsigned. Zero is a size: ONNX tensors may be empty.
            if (shape[i] < 0) {
                throw ExecError("dimension " + std::to_string(i) + " of input '" + name + "' is " +
                                std::to_string(static_cast<uint64_t>(shape[i])) + ", not a size");
            }
        }
    }
}

void Graph::prepare(const std::map<std::string, Shape>& inputShapes, const std::vector<std::string>& outputs) {
    const ExecutionDeadline deadline;  // planning runs the graph once too
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
            if (t.bytes() != 0) std::memset(t.raw(), 0, t.bytes());
        }
    }
    outputs_.clear();
    std::set<int> wanted;
    for (const auto& name : outputs) {
        const auto it = index_.find(name);
        if (it == index_.end()) throw ExecError("requested output '" + name + "' is not a tensor of the graph");
        if (wanted.insert(it->second).second) outputs_.push_back(name);
    }

    // Nodes needed for the outputs, walking backwards.
    GraphState st(nodes_, values_, isConst_);
    st.needed.assign(nodes_.size(), false);
    std::set<int> live(wanted);
    for (size_t k = nodes_.size(); k-- > 0;) {
        const Node& n = *nodes_[k];
        bool produces = false;
        for (int o : n.outputs) produces = produces || (o >= 0 && live.count(o) != 0);
        if (!produces) continue;
        st.needed[k] = true;
        for (int i : n.inputs) {
            if (i >= 0) live.insert(i);
        }
    }
    const size_t V = values_.size();
    st.skipped.assign(nodes_.size(), false);
    st.consumers.assign(V, {});
    st.wanted.assign(V, false);
    st.ready.assign(V, false);
    st.producer.assign(V, -1);
    for (size_t k = 0; k < nodes_.size(); ++k) {
        for (int o : nodes_[k]->outputs) {
            if (o >= 0) st.producer[static_cast<size_t>(o)] = static_cast<int>(k);
        }
    }
    grids_.clear();
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (!st.needed[k]) continue;
        for (int i : nodes_[k]->inputs) {
            auto& c = st.consumers[static_cast<size_t>(i < 0 ? 0 : i)];
            if (i >= 0 && (c.empty() || c.back() != k)) c.push_back(k);
        }
    }
    for (int w : wanted) st.wanted[static_cast<size_t>(w)] = true;
    for (size_t v = 0; v < V; ++v) {
        st.ready[v] = isConst_[v];
        if (!isConst_[v]) values_[v].setLayout(Layout::plain());
    }
    for (const auto& in : inputs_) st.ready[static_cast<size_t>(index_.at(in.name))] = true;

    std::vector<Tensor*> plainCopy(V, nullptr);
    std::vector<bool> copyScheduled(V, false);
    schedule_.clear();
    hidden_.clear();
    views_.clear();
    arena_.reset();
    arenaBytes_ = 0;
    // While preparing, a value's storage goes back once its last reader ran,
    // so the prepare run holds no more than the arena will.
    std::vector<size_t> lastReader(V, 0);
    std::vector<bool> keep(V, false);
    for (size_t v = 0; v < V; ++v) {
        for (size_t c : st.consumers[v]) lastReader[v] = std::max(lastReader[v], c);
        keep[v] = isConst_[v] || st.wanted[v];
    }
    for (const auto& in : inputs_) keep[static_cast<size_t>(index_.at(in.name))] = true;
    std::vector<std::vector<int>> releaseAfter(nodes_.size());
    for (size_t v = 0; v < V; ++v) {
        if (!keep[v] && !st.consumers[v].empty()) releaseAfter[lastReader[v]].push_back(static_cast<int>(v));
    }
    // A value that an alias views keeps its storage until the alias's last
    // reader ran (for good when the alias is asked for).
    std::vector<size_t> releaseAt = lastReader;
    std::vector<bool> pinned(V, false);
    std::vector<int> aliasRoot(V, -1);
    auto releaseDead = [&](size_t k) {
        for (size_t i = 0; i < releaseAfter[k].size(); ++i) {
            const int v = releaseAfter[k][i];
            if (isConst_[static_cast<size_t>(v)] || pinned[static_cast<size_t>(v)]) continue;
            if (releaseAt[static_cast<size_t>(v)] > k) {
                releaseAfter[releaseAt[static_cast<size_t>(v)]].push_back(v);
                continue;
            }
            values_[static_cast<size_t>(v)].release();
            if (plainCopy[static_cast<size_t>(v)] != nullptr) plainCopy[static_cast<size_t>(v)]->release();
        }
    };
    auto prepareNode = [&](size_t k) {
        Node& n = *nodes_[k];
        // A recognised subgraph runs as one kernel from its first node.
        n.active = n.kernel.get();
        std::vector<size_t> absorbed;
        std::vector<int> inputs = n.inputs, outputs = n.outputs;
        if (n.opType == "ReduceMean") {
            LayerNormMatch m;
            if (matchLayerNorm(st, k, m)) {
                if (!n.substitute) n.substitute = makeLayerNorm(m.epsilon);
                n.active = n.substitute.get();
                inputs = {m.x, m.scale, m.bias};
                outputs = {m.output};
                for (size_t s : m.spanned) st.skipped[s] = true;
                for (size_t s : m.spanned) {
                    if (s != k) absorbed.push_back(s);
                }
            }
        }
        Kernel* kernel = n.active;
        std::vector<const Tensor*> ins;
        std::vector<bool> constant;
        bool allConst = true, anyLaidOut = false;
        for (int i : inputs) {
            ins.push_back(i >= 0 ? &values_[static_cast<size_t>(i)] : nullptr);
            constant.push_back(i >= 0 && isConst_[static_cast<size_t>(i)]);
            if (i >= 0 && !isConst_[static_cast<size_t>(i)]) allConst = false;
            if (i >= 0 && !values_[static_cast<size_t>(i)].isPlain()) anyLaidOut = true;
        }
        std::vector<Tensor*> outs;
        bool outputWanted = false;
        for (int o : outputs) {
            outs.push_back(o >= 0 ? &values_[static_cast<size_t>(o)] : nullptr);
            outputWanted = outputWanted || (o >= 0 && st.wanted[static_cast<size_t>(o)]);
        }
        n.ctx = std::make_unique<KernelContext>(std::move(ins), std::move(outs));
        n.ctx->setConstant(std::move(constant));
        std::vector<const QuantGrid*> grids;
        for (int i : inputs) {
            QuantGrid grid;
            if (i >= 0 && dequantizedGrid(st, i, grid)) {
                grids_.push_back(std::make_unique<QuantGrid>(std::move(grid)));
                grids.push_back(grids_.back().get());
            } else {
                grids.push_back(nullptr);
            }
        }
        n.ctx->setGrids(std::move(grids));
        Step step;
        step.node = &n;
        try {
            // Constant work is folded plain; layouts only matter per execution.
            LayoutUse use = allConst ? LayoutUse::Plain
                            : n.traits->layoutFree ? LayoutUse::Elementwise
                                                   : kernel->layoutUse(*n.ctx);
            bool onPhysical = false;
            Layout physicalLayout = Layout::plain();
            if (anyLaidOut && use == LayoutUse::Elementwise && !outputWanted) {
                // Every operand in one layout over the same channels, or
                // plain and the same bytes in that layout.
                std::vector<Shape> views(inputs.size());
                int64_t channels = -1;
                onPhysical = true;
                for (const Tensor* t : n.ctx->inputs()) {
                    if (t == nullptr || t->isPlain()) continue;
                    if (physicalLayout != Layout::plain() && t->layout() != physicalLayout) onPhysical = false;
                    physicalLayout = t->layout();
                    channels = std::max(channels, t->logicalShape()[1]);
                }
                for (size_t i = 0; i < inputs.size(); ++i) {
                    const Tensor* t = n.ctx->inputs()[i];
                    if (t != nullptr && t->isPlain()) {
                        onPhysical = onPhysical && layoutView(t->shape(), physicalLayout, channels, views[i]);
                    }
                }
                for (size_t i = 0; onPhysical && i < inputs.size(); ++i) {
                    const Tensor* t = n.ctx->inputs()[i];
                    if (t == nullptr || !t->isPlain()) continue;
                    hidden_.push_back(std::make_unique<Tensor>());
                    hidden_.back()->view(t->type(), views[i], const_cast<void*>(t->raw()));
                    n.ctx->setInput(i, hidden_.back().get());
                    views_.emplace_back(t, hidden_.back().get());
                    step.plannedShapes.emplace_back(t, t->shape());
                }
            }
            for (size_t i = 0; anyLaidOut && !onPhysical && use != LayoutUse::Any && i < inputs.size(); ++i) {
                const int v = inputs[i];
                if (v < 0 || values_[static_cast<size_t>(v)].isPlain()) continue;
                if (use == LayoutUse::Spatial && i == 0) continue;
                Tensor*& copy = plainCopy[static_cast<size_t>(v)];
                if (copy == nullptr) {
                    hidden_.push_back(std::make_unique<Tensor>());
                    copy = hidden_.back().get();
                    onednn::convertLayout(values_[static_cast<size_t>(v)], *copy, Layout::plain());
                }
                if (!copyScheduled[static_cast<size_t>(v)]) {
                    step.toPlain.push_back({&values_[static_cast<size_t>(v)], copy,
                                            std::make_unique<onednn::LayoutConversion>()});
                }
                n.ctx->setInput(i, copy);
            }
            n.ctx->allowLeavingPlain((use == LayoutUse::Spatial || use == LayoutUse::Any) && !outputWanted);
            std::vector<Shape> shapes;
            if (!allConst && kernel->fusable() && kernel->inferShapes(*n.ctx, shapes) &&
                !shapes.empty()) {
                const Layout layout = shapes[0].size() == 4 ? kernel->outputLayout(*n.ctx) : Layout::plain();
                const FusedChain chain = fuseAfter(st, k, shapes[0], layout, kernel->foldsNormalization(),
                                                   kernel->channelAxis(shapes[0].size()));
                for (const auto& p : chain.fusion.post) {
                    if (p.addend != nullptr) step.alsoReads.push_back(p.addend);
                }
                kernel->setFusion(chain.fusion);
                absorbed.insert(absorbed.end(), chain.absorbed.begin(), chain.absorbed.end());
                if (chain.output >= 0) n.ctx->setOutput(0, &values_[static_cast<size_t>(chain.output)]);
            } else if (kernel->fusable()) {
                kernel->setFusion({});
            }
            // Planning computes only what later planning needs: constants.
            n.ctx->setDryRun(!allConst);
            kernel->run(*n.ctx);
            n.ctx->setDryRun(false);
            // Reshape and its kin only rename bytes: the output views the
            // input instead of being copied on each execution.
            if (!allConst && isAlias(n, inputs, outputs) && n.ctx->inputs()[0] == &values_[static_cast<size_t>(inputs[0])] &&
                values_[static_cast<size_t>(inputs[0])].isPlain()) {
                const Tensor& from = values_[static_cast<size_t>(inputs[0])];
                Tensor& out = values_[static_cast<size_t>(outputs[0])];
                if (out.type() == from.type() && out.size() == from.size() && dtypeSize(from.type()) != 0) {
                    out.view(out.type(), out.shape(), const_cast<void*>(from.raw()));
                    step.aliasOf = &from;
                    step.plannedShapes.emplace_back(&from, from.shape());
                    int root = inputs[0];
                    while (aliasRoot[static_cast<size_t>(root)] >= 0) root = aliasRoot[static_cast<size_t>(root)];
                    aliasRoot[static_cast<size_t>(outputs[0])] = root;
                    const auto a = static_cast<size_t>(outputs[0]), r = static_cast<size_t>(root);
                    if (keep[a]) pinned[r] = true;
                    releaseAt[r] = std::max(releaseAt[r], lastReader[a]);
                }
            }
            for (Tensor* out : n.ctx->outputs()) {
                if (out != nullptr && use != LayoutUse::Spatial && use != LayoutUse::Any) {
                    out->setLayout(onPhysical ? physicalLayout : Layout::plain());
                }
            }
        } catch (const std::exception& e) {
            throw ExecError(n.opType + " node '" + n.name + "': " + vexart::failureText(e));
        }
        for (Tensor* out : n.ctx->outputs()) {
            if (out != nullptr) st.ready[static_cast<size_t>(out - values_.data())] = true;
        }
        // Weights the kernel now keeps in its own layout are not held twice.
        for (size_t i = 0; i < inputs.size(); ++i) {
            const int v = inputs[i];
            if (v < 0 || !kernel->keepsCopyOf(i) || st.wanted[static_cast<size_t>(v)] ||
                st.consumers[static_cast<size_t>(v)].size() != 1) {
                continue;
            }
            // The same tensor may feed this node twice (as data and as weights).
            bool copied = true;
            for (size_t j = 0; j < inputs.size(); ++j) copied = copied && (inputs[j] != v || kernel->keepsCopyOf(j));
            if (copied) releaseInitializer(v);
        }
        // Shape only looks at the (now fixed) shape of its input.
        const bool foldable = allConst || n.traits->shapeOnly;
        if (foldable && !outputWanted) {
            for (Tensor* out : n.ctx->outputs()) {
                if (out != nullptr) isConst_[static_cast<size_t>(out - values_.data())] = true;
            }
        } else {
            for (const auto& c : step.toPlain) copyScheduled[static_cast<size_t>(c.from - values_.data())] = true;
            step.absorbed = std::move(absorbed);
            schedule_.push_back(std::move(step));
        }
    };
    // Constants first, so that the passes below see every one of them
    // (a scale that a Constant node makes after the node it scales).
    std::vector<bool> folded(nodes_.size(), false);
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (!st.needed[k]) continue;
        const Node& n = *nodes_[k];
        bool constant = true;
        for (int i : n.inputs) constant = constant && (i < 0 || isConst_[static_cast<size_t>(i)]);
        for (int o : n.outputs) constant = constant && (o < 0 || !st.wanted[static_cast<size_t>(o)]);
        if (!constant) continue;
        prepareNode(k);
        folded[k] = true;
    }
    for (size_t k = 0; k < nodes_.size(); ++k) {
        if (st.needed[k] && !st.skipped[k] && !folded[k]) prepareNode(k);
        releaseDead(k);
    }
    placeInArena();
    timings_.assign(schedule_.size(), {});
    for (size_t k = 0; k < schedule_.size(); ++k) {
        const Step& s = schedule_[k];
        NodeTiming& t = timings_[k];
        t.name = s.node->name;
        t.opType = s.node->opType;
        const std::string impl = s.aliasOf != nullptr ? "view" : s.node->active->implementation();
        t.kernel = impl.empty() ? "vexa" : s.aliasOf != nullptr || impl.rfind("vexa", 0) == 0 ? impl : "onednn:" + impl;
        const Tensor* out = s.node->ctx->outputs().empty() ? nullptr : s.node->ctx->outputs()[0];
        t.precision = s.aliasOf == nullptr && s.node->active->runsOnIntegers() ? "int8"
                      : out != nullptr                                          ? precisionName(out->type())
                                                                                : "-";
        for (size_t a : s.absorbed) t.fused.push_back(nodes_[a]->name);
    }
}

void Graph::placeInArena() {
    // Every tensor a step writes, with the steps that write and read it.
    std::unordered_map<const Tensor*, size_t> index;
    std::vector<Tensor*> tensors;
    std::vector<BufferLife> lives;
    std::set<const Tensor*> fixed;  // inputs and constants keep their own storage
    for (const auto& in : inputs_) fixed.insert(&values_[static_cast<size_t>(index_.at(in.name))]);
    for (size_t v = 0; v < values_.size(); ++v) {
        if (isConst_[v]) fixed.insert(&values_[v]);
    }
    // Views and aliases own nothing: reading one reads what it views.
    std::unordered_map<const Tensor*, const Tensor*> viewOf;
    for (const auto& [viewed, view] : views_) viewOf.emplace(view, viewed);
    for (const Step& s : schedule_) {
        if (s.aliasOf != nullptr) viewOf.emplace(s.node->ctx->outputs()[0], s.aliasOf);
    }
    for (const auto& [view, viewed] : viewOf) fixed.insert(view);
    auto written = [&](Tensor* t, size_t step) {
        if (t == nullptr || fixed.count(t) != 0 || t->type() == DType::String) return;
        if (index.emplace(t, tensors.size()).second) {
            tensors.push_back(t);
            lives.push_back({t->bytes(), step, step});
        }
    };
    auto read = [&](const Tensor* t, size_t step) {
        for (auto v = viewOf.find(t); v != viewOf.end(); v = viewOf.find(t)) t = v->second;
        const auto it = index.find(t);
        if (it != index.end()) lives[it->second].last = std::max(lives[it->second].last, step);
    };
    for (size_t k = 0; k < schedule_.size(); ++k) {
        const Step& s = schedule_[k];
        for (const auto& c : s.toPlain) {
            read(c.from, k);
            written(c.to, k);
        }
        for (const Tensor* t : s.node->ctx->inputs()) read(t, k);
        for (const Tensor* t : s.alsoReads) read(t, k);
        for (Tensor* t : s.node->ctx->outputs()) written(t, k);
    }
    // What the caller reads after the run stays to the end.
    for (const auto& name : outputs_) read(&values_[static_cast<size_t>(index_.at(name))], schedule_.size());
    const ArenaPlan plan = planArena(lives);
    arenaBytes_ = plan.total;
    // Zeroed: a body planned without running (Subgraph::run's planOnly)
    // hands out what its arena holds, which must read as a dry run's zeros.
    arena_.reset(new uint8_t[plan.total + kArenaAlignment]());
    const auto base = (reinterpret_cast<uintptr_t>(arena_.get()) + kArenaAlignment - 1) & ~uintptr_t{kArenaAlignment - 1};
    for (size_t i = 0; i < tensors.size(); ++i) {
        Tensor& t = *tensors[i];
        const Layout layout = t.layout();
        t.view(t.type(), t.shape(), reinterpret_cast<void*>(base + plan.offsets[i]));
        t.setLayout(layout);
    }
    for (const Step& s : schedule_) {
        if (s.aliasOf != nullptr) s.node->ctx->outputs()[0]->repoint(const_cast<void*>(s.aliasOf->raw()));
    }
    for (const auto& [from, view] : views_) view->repoint(const_cast<void*>(from->raw()));
}

Tensor& Graph::input(const std::string& name) {
    for (const auto& in : inputs_) {
        if (in.name == name) return values_[static_cast<size_t>(index_.at(name))];
    }
    throw ExecError("'" + name + "' is not an input of the graph");
}

const Tensor& Graph::value(const std::string& name) const {
    const auto it = index_.find(name);
    if (it == index_.end()) throw ExecError("'" + name + "' is not a tensor of the graph");
    return values_[static_cast<size_t>(it->second)];
}

void Graph::run() {
    const ExecutionDeadline deadline;
    for (size_t k = 0; k < schedule_.size(); ++k) {
        Step& step = schedule_[k];
        Node& n = *step.node;
        checkDeadline();
        const auto start = timing_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        try {
            for (const auto& [t, shape] : step.plannedShapes) {
                if (t->shape() != shape) throw ExecError("an input's shape changed from the one planned at build");
            }
            if (step.aliasOf != nullptr) {
                n.ctx->outputs()[0]->repoint(const_cast<void*>(step.aliasOf->raw()));
                continue;
            }
            for (auto& c : step.toPlain) c.conversion->run(*c.from, *c.to, Layout::plain());
            n.active->run(*n.ctx);
        } catch (const std::exception& e) {
            throw ExecError(n.opType + " node '" + n.name + "': " + vexart::failureText(e));
        }
        if (timing_) {
            const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
            timings_[k].lastMicroseconds = us;
            timings_[k].totalMicroseconds += us;
        }
    }
}

}  // namespace vexart

namespace vexart {

uint64_t Graph::constantBytes() const {
    uint64_t n = 0;
    for (size_t i = 0; i < values_.size(); ++i) n += isConst_[i] ? values_[i].bytes() : 0;
    return n;
}

size_t Graph::integerSteps() const {
    size_t n = 0;
    for (const Step& s : schedule_) n += s.aliasOf == nullptr && s.node->active->runsOnIntegers() ? 1 : 0;
    return n;
}

uint64_t Graph::activationBytes() const {
    uint64_t n = 0;
    for (size_t i = 0; i < values_.size(); ++i) n += isConst_[i] ? 0 : values_[i].bytes();
    return n;
}

}  // namespace vexart
