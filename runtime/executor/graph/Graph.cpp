#include "graph/Graph.h"
#include "graph/Schedule.h"
#include "graph/Subgraph.h"
#include "core/Deadline.h"

#include <onnx/onnx_pb.h>

#include <chrono>
#include <set>
#include <unordered_map>

#include "planner/Arena.h"
#include "planner/Lifetimes.h"
#include "passes/CodesThroughNodes.h"
#include "passes/PadFolding.h"
#include "onednn/Dnnl.h"
#include "FailureText.h"

namespace vexart {

namespace {

// Every operator's definition is chosen by this version: a model that does
// not name one (or names none that exists) has no meaning to run.
int64_t opsetOf(const onnx::ModelProto& model) {
    for (const auto& o : model.opset_import()) {
        if (!o.domain().empty() && o.domain() != "ai.onnx") continue;
        if (o.version() < 1) throw ExecError("the model imports opset " + std::to_string(o.version()) + " of the ONNX domain, which does not exist");
        return o.version();
    }
    throw ExecError("the model imports no opset of the ONNX domain");
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
    // Softmax and its kin take the last axis by default from opset 13.
    const bool lastByDefault = opset >= 13 && (n.op_type() == "Softmax" || n.op_type() == "LogSoftmax" || n.op_type() == "Hardmax");
    out.axis = a.i("axis", lastByDefault ? -1 : 1);
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
    scheduleNodes(*model_->mutable_graph());
    foldPadsIntoReaders(*model_->mutable_graph(), opset, stillRead_);
    const onnx::GraphProto& g = model_->graph();
    // Every value is an initializer, an input or a node's output.
    size_t valueCount = static_cast<size_t>(g.initializer_size() + g.input_size());
    for (const auto& n : g.node()) valueCount += static_cast<size_t>(n.output_size());
    index_.reserve(valueCount);
    values_.reserve(valueCount);
    valueNames_.reserve(valueCount);
    isConst_.reserve(valueCount);
    nodes_.reserve(static_cast<size_t>(g.node_size()));
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
        node->index = nodes_.size();
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
    moveDequantizations(opset);
    initializerOf_.resize(values_.size(), -1);
    declaredConst_ = isConst_;
    settled_.assign(nodes_.size(), false);
}

void Graph::moveDequantizations(int64_t opset) {
    std::vector<int> producer(values_.size(), -1);
    // Before any plan, constants are initializers and what Identity nodes
    // pass on of them (exporters route zero points so).
    const ConstantSource constant = [&](int v) -> const Tensor* {
        for (size_t hops = 0; v >= 0 && hops <= nodes_.size(); ++hops) {
            if (isConst_[static_cast<size_t>(v)]) return &values_[static_cast<size_t>(v)];
            const int p = producer[static_cast<size_t>(v)];
            if (p < 0 || nodes_[static_cast<size_t>(p)]->opType != "Identity") return nullptr;
            v = nodes_[static_cast<size_t>(p)]->inputs.empty() ? -1 : nodes_[static_cast<size_t>(p)]->inputs[0];
        }
        return nullptr;
    };
    for (size_t k = 0; k < nodes_.size(); ++k) {
        const int d = dequantizationToMove(nodes_, producer, k, constant);
        if (d >= 0) dequantizeAfter(k, static_cast<size_t>(d), opset);
        producer.resize(values_.size(), -1);
        for (int o : nodes_[k]->outputs) {
            if (o >= 0) producer[static_cast<size_t>(o)] = static_cast<int>(k);
        }
    }
}

void Graph::dequantizeAfter(size_t k, size_t dq, int64_t opset) {
    Node& n = *nodes_[k];
    const Node& d = *nodes_[dq];
    const int out = n.outputs[0];
    std::string name = valueNames_[static_cast<size_t>(out)] + "#codes";
    while (index_.count(name) != 0) name += "#";
    const int codes = valueIndex(name, true);
    internal_.resize(values_.size(), false);
    internal_[static_cast<size_t>(codes)] = true;
    onnx::NodeProto proto;
    proto.set_op_type(d.opType);
    proto.set_name(n.name + "#dequantize");
    auto moved = std::make_unique<Node>();
    moved->name = proto.name();
    moved->opType = d.opType;
    moved->traits = d.traits;
    moved->attrs = d.attrs;
    moved->inputs = {codes, d.inputs[1], d.inputs[2]};
    moved->outputs = {out};
    moved->kernel = (*findKernel(d.opType))(proto, opset);
    n.inputs[0] = d.inputs[0];
    n.outputs[0] = codes;
    n.codesFrom = static_cast<int>(dq);  // its input is still the model's dequantization
    nodes_.insert(nodes_.begin() + static_cast<std::ptrdiff_t>(k) + 1, std::move(moved));
    for (size_t i = k + 1; i < nodes_.size(); ++i) nodes_[i]->index = i;
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
            if (o >= 0 && !isInternal(o)) names.push_back(valueNames_[static_cast<size_t>(o)]);
        }
    }
    return names;
}

std::vector<std::string> Graph::unconsumedNames() const {
    std::set<int> consumed;
    for (const auto& n : nodes_) {
        consumed.insert(n->inputs.begin(), n->inputs.end());
        // Read as codes, a dequantization is still the model's input to the node.
        if (n->codesFrom >= 0) consumed.insert(nodes_[static_cast<size_t>(n->codesFrom)]->outputs[0]);
    }
    for (const auto& name : stillRead_) consumed.insert(index_.at(name));
    std::set<std::string> declared(declaredOutputs_.begin(), declaredOutputs_.end());
    std::vector<std::string> names;
    for (const auto& n : nodes_) {
        for (int o : n->outputs) {
            if (o >= 0 && !isInternal(o) && consumed.count(o) == 0 && declared.count(valueNames_[static_cast<size_t>(o)]) == 0) {
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

std::vector<BufferLife> Graph::arenaBuffers(std::vector<Tensor*>& owned) const {
    // Every tensor the steps touch, numbered in the order first met.
    std::unordered_map<const Tensor*, size_t> index;
    std::vector<Tensor*> tensors;
    auto id = [&](const Tensor* t) {
        if (t == nullptr) return size_t{0};  // never looked up: see read and written
        const auto [it, fresh] = index.emplace(t, tensors.size());
        if (fresh) tensors.push_back(const_cast<Tensor*>(t));
        return it->second;
    };
    // Views and aliases own nothing: reading one reads what it views.
    std::vector<std::pair<const Tensor*, const Tensor*>> viewOf;  // (view, viewed)
    for (const auto& [viewed, view] : views_) viewOf.emplace_back(view, viewed);
    for (const Step& s : schedule_) {
        if (s.aliasOf != nullptr) viewOf.emplace_back(s.node->ctx->outputs()[0], s.aliasOf);
    }
    for (const auto& [view, viewed] : viewOf) {
        id(view);
        id(viewed);
    }
    for (const Step& s : schedule_) {
        for (const auto& c : s.toPlain) {
            id(c.from);
            id(c.to);
        }
        for (const Tensor* t : s.node->ctx->inputs()) id(t);
        for (const Tensor* t : s.alsoReads) id(t);
        for (const Tensor* t : s.node->ctx->outputs()) id(t);
    }
    // Inputs and constants keep their own storage.
    std::set<const Tensor*> fixed;
    for (const auto& in : inputs_) fixed.insert(&values_[static_cast<size_t>(index_.at(in.name))]);
    for (size_t v = 0; v < values_.size(); ++v) {
        if (isConst_[v]) fixed.insert(&values_[v]);
    }
    Lifetimes lives(tensors.size());
    for (const auto& [view, viewed] : viewOf) {
        fixed.insert(view);
        if (view != viewed) lives.view(id(view), id(viewed));
    }
    std::vector<size_t> ownedIds;  // what the arena holds, in the order first written
    std::vector<bool> isOwned(tensors.size(), false);
    auto written = [&](Tensor* t, size_t step) {
        if (t == nullptr || fixed.count(t) != 0 || t->type() == DType::String || isOwned[id(t)]) return;
        isOwned[id(t)] = true;
        ownedIds.push_back(id(t));
        lives.write(id(t), step);
        lives.read(id(t), step);
    };
    auto read = [&](const Tensor* t, size_t step) {
        const auto it = index.find(t);
        if (it != index.end()) lives.read(it->second, step);
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
    std::vector<BufferLife> buffers;
    buffers.reserve(ownedIds.size());
    owned.clear();
    for (size_t b : ownedIds) {
        buffers.push_back({tensors[b]->bytes(), lives.firstWrite(b), std::max(lives.firstWrite(b), lives.lastRead(b))});
        owned.push_back(tensors[b]);
    }
    return buffers;
}

void Graph::placeInArena() {
    std::vector<Tensor*> owned;
    const std::vector<BufferLife> buffers = arenaBuffers(owned);
    const ArenaPlan plan = planArena(buffers);
    arenaBytes_ = plan.total;
    // Zeroed: a body planned without running (Subgraph::run's planOnly)
    // hands out what its arena holds, which must read as a dry run's zeros.
    arena_ = allocateBuffer(plan.total + kArenaAlignment, true);
    const auto base = (reinterpret_cast<uintptr_t>(arena_.get()) + kArenaAlignment - 1) & ~uintptr_t{kArenaAlignment - 1};
    for (size_t i = 0; i < owned.size(); ++i) {
        Tensor& t = *owned[i];
        const Layout layout = t.layout();
        t.view(t.type(), t.shape(), reinterpret_cast<void*>(base + plan.offsets[i]));
        t.setLayout(layout);
    }
    for (const Step& s : schedule_) {
        if (s.aliasOf != nullptr) s.node->ctx->outputs()[0]->repoint(const_cast<void*>(s.aliasOf->raw()));
    }
    for (const auto& [from, view] : views_) view->repoint(const_cast<void*>(from->raw()));
}

bool Graph::lendInput(const std::string& name, const void* data) {
    Tensor& t = input(name);
    if (followsValues_ || !t.isPlain() || !t.ownsStorage() || t.bytes() == 0 || data == nullptr) return false;
    for (const auto& [lent, own] : lent_) {
        if (lent == &t) return false;
    }
    lent_.emplace_back(&t, t.raw());
    t.repoint(const_cast<void*>(data));
    // Views planned over the input follow it (aliases repoint as they run).
    for (const auto& [from, view] : views_) view->repoint(const_cast<void*>(from->raw()));
    return true;
}

void Graph::takeBackInputs() {
    if (lent_.empty()) return;
    for (const auto& [t, own] : lent_) t->repoint(own);
    lent_.clear();
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

Tensor* Graph::computedValue(const std::string& name) {
    const auto it = index_.find(name);
    if (it == index_.end()) return nullptr;
    const auto v = static_cast<size_t>(it->second);
    if (isConst_[v]) return nullptr;
    for (const auto& in : inputs_) {
        if (in.name == name) return nullptr;
    }
    return &values_[v];
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
    if (timing_ && !described_) {
        for (size_t k = 0; k < schedule_.size(); ++k) describeStep(k);
        described_ = true;
    }
}

}  // namespace vexart

namespace vexart {

uint64_t Graph::constantBytes() const {
    uint64_t n = 0;
    // Freed ones (copied into a kernel's layout, settled) no longer count.
    for (size_t i = 0; i < values_.size(); ++i) n += isConst_[i] && values_[i].raw() != nullptr ? values_[i].bytes() : 0;
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
