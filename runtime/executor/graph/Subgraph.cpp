#include "graph/Subgraph.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <map>
#include <set>

#include "core/Dispatch.h"
#include "graph/Graph.h"

namespace vexart {
namespace {

// Names read by `g` (and the graphs nested in it) that it does not define.
void freeNames(const onnx::GraphProto& g, std::vector<std::string>& names, std::set<std::string>& seen) {
    std::set<std::string> defined;
    for (const auto& v : g.input()) defined.insert(v.name());
    for (const auto& t : g.initializer()) defined.insert(t.name());
    auto use = [&](const std::string& name) {
        if (!name.empty() && defined.count(name) == 0 && seen.insert(name).second) names.push_back(name);
    };
    for (const auto& n : g.node()) {
        for (const auto& in : n.input()) use(in);
        for (const auto& a : n.attribute()) {
            std::vector<const onnx::GraphProto*> nested;
            if (a.has_g()) nested.push_back(&a.g());
            for (const auto& sub : a.graphs()) nested.push_back(&sub);
            for (const auto* sub : nested) {
                std::vector<std::string> inner;
                std::set<std::string> innerSeen;
                freeNames(*sub, inner, innerSeen);
                for (const auto& name : inner) use(name);
            }
        }
        for (const auto& out : n.output()) defined.insert(out);
    }
    for (const auto& v : g.output()) use(v.name());
}

}  // namespace

std::vector<std::string> outerScopeNames(const onnx::NodeProto& node) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const auto& a : node.attribute()) {
        if (a.has_g()) freeNames(a.g(), names, seen);
        for (const auto& sub : a.graphs()) freeNames(sub, names, seen);
    }
    return names;
}

Subgraph::Subgraph(const onnx::GraphProto& body, int64_t opset, const std::vector<std::string>& outer)
    : body_(std::make_unique<onnx::GraphProto>(body)), opset_(opset) {
    for (const auto& v : body.input()) formals_.push_back(v.name());
    for (const auto& v : body.output()) outputs_.push_back(v.name());
    for (const auto& name : outputs_) yieldedOnce_.push_back(std::count(outputs_.begin(), outputs_.end(), name) == 1);
    std::vector<std::string> mine;
    std::set<std::string> seen;
    freeNames(body, mine, seen);
    for (const auto& name : mine) {
        const auto at = std::find(outer.begin(), outer.end(), name);
        if (at == outer.end()) throw ExecError("subgraph reads '" + name + "', which is defined nowhere");
        reads_.emplace_back(name, static_cast<size_t>(at - outer.begin()));
    }
}

Subgraph::~Subgraph() = default;

void Subgraph::run(const std::vector<const Tensor*>& inputs, const std::vector<const Tensor*>& outer, bool planOnly,
                   const std::vector<Tensor*>& handOver) {
    if (inputs.size() != formals_.size()) {
        throw ExecError("subgraph takes " + std::to_string(formals_.size()) + " inputs, not " + std::to_string(inputs.size()));
    }
    // Every input of the body, its own first, then the outer values it reads.
    std::vector<std::pair<const std::string*, const Tensor*>> bound;
    for (size_t i = 0; i < inputs.size(); ++i) bound.emplace_back(&formals_[i], inputs[i]);
    for (const auto& [name, at] : reads_) bound.emplace_back(&name, outer.at(at));
    std::vector<DType> types;
    std::vector<Shape> shapes;
    for (const auto& [name, t] : bound) {
        if (t == nullptr) throw ExecError("subgraph input '" + *name + "' is missing");
        types.push_back(t->type());
        shapes.push_back(t->shape());
    }
    if (!graph_ || types != types_) {
        if (!model_ || types != types_) {
            model_ = std::make_unique<onnx::ModelProto>();
            model_->set_ir_version(8);
            model_->add_opset_import()->set_version(opset_);
            *model_->mutable_graph() = *body_;
            auto* g = model_->mutable_graph();
            g->clear_input();
            for (const auto& [name, t] : bound) {
                auto* v = g->add_input();
                v->set_name(*name);
                v->mutable_type()->mutable_tensor_type()->set_elem_type(static_cast<int32_t>(t->type()));
            }
            types_ = types;
        }
        graph_ = std::make_unique<Graph>(onnx::ModelProto(*model_));
        planned_ = false;
    }
    // A body whose shapes follow its inputs' values, or whose input shapes
    // have changed since it was planned (a Loop's growing carried value),
    // is planned on each run's values while it computes: one pass over
    // storage from its pool, where planning apart would lay out and clear
    // a fresh arena each time. The others keep their plan.
    reshaped_ = reshaped_ || (planned_ && shapes != shapes_);
    const bool dynamic = planned_ && (reshaped_ || graph_->shapesFollowValues());
    const bool replan = dynamic || !planned_ || shapes != shapes_;
    for (size_t i = 0; i < bound.size(); ++i) {
        Tensor& in = graph_->input(*bound[i].first);
        // A plan made now takes the inputs where they are; a kept plan holds
        // views of where they were.
        if (replan && i < handOver.size() && handOver[i] != nullptr) {
            std::swap(in, *handOver[i]);
        } else {
            castTensor(*bound[i].second, bound[i].second->type(), in);
        }
    }
    if (replan) {
        std::map<std::string, Shape> given;
        for (size_t i = 0; i < bound.size(); ++i) given[*bound[i].first] = shapes[i];
        graph_->prepare(given, outputs_, dynamic && !planOnly);
        shapes_ = shapes;
        planned_ = true;
        if (planOnly || dynamic) return;
        // Its first plan showed the values matter: plan again, computing.
        if (graph_->shapesFollowValues()) return graph_->prepare(given, outputs_, true);
    } else if (planOnly) {
        return;  // the outputs keep the last run's values and shapes
    }
    graph_->run();
}

void Subgraph::takeOutput(size_t i, Tensor& to) {
    if (!graph_ || i >= outputs_.size()) throw ExecError("subgraph output " + std::to_string(i) + " is missing");
    // Only a computed value's own storage moves: a view's bytes belong to
    // another value, and constants and inputs serve the next run too.
    Tensor* computed = graph_->computedValue(outputs_[i]);
    // A value yielded twice is copied: the second taker needs it too.
    if (yieldedOnce_[i] && computed != nullptr && computed->ownsStorage() && computed != &to) {
        std::swap(*computed, to);
    } else {
        const Tensor& from = graph_->value(outputs_[i]);
        castTensor(from, from.type(), to);
    }
}

const Tensor& Subgraph::output(size_t i) const {
    if (!graph_ || i >= outputs_.size()) throw ExecError("subgraph output " + std::to_string(i) + " is missing");
    return graph_->value(outputs_[i]);
}

}  // namespace vexart
