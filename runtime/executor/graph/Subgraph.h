// Graphs held in a node's attributes (the branches of If, the bodies of
// Loop and Scan), run by their node's kernel. A body may read values of
// the graphs around it by name; those names become extra inputs of the
// node, after its own, so that the planner keeps them alive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Tensor.h"

namespace onnx {
class GraphProto;
class ModelProto;
class NodeProto;
}  // namespace onnx

namespace vexart {

class Graph;

// Names that the node's graph attributes read from enclosing graphs, in
// order of first use, each once.
std::vector<std::string> outerScopeNames(const onnx::NodeProto& node);

class Subgraph {
public:
    // `outer`: the names of outerScopeNames() that this body reads, in that order.
    Subgraph(const onnx::GraphProto& body, int64_t opset, const std::vector<std::string>& outer);
    ~Subgraph();
    Subgraph(const Subgraph&) = delete;
    Subgraph& operator=(const Subgraph&) = delete;

    size_t inputCount() const { return formals_.size(); }
    size_t outputCount() const { return outputs_.size(); }

    // Runs the body on its own inputs and the enclosing values it reads
    // (`outer`, parallel to outerScopeNames() of the node). The body is
    // rebuilt only when an input's type changes and replanned only when a
    // shape does (or on every run, when shapes inside follow input values).
    // `planOnly`: the enclosing graph is planning; the body is planned and
    // its outputs get their shapes and folded values, the rest zero, without
    // running it. Running it there too would run each nested level twice per
    // level above it: 2^depth for nested If.
    // `handOver` (empty, or parallel to `inputs`): inputs whose values the
    // caller no longer needs; where the body is planned on this run, their
    // contents move into it instead of being copied (a Loop's carried values).
    void run(const std::vector<const Tensor*>& inputs, const std::vector<const Tensor*>& outer,
             bool planOnly = false, const std::vector<Tensor*>& handOver = {});
    const Tensor& output(size_t i) const;
    // Output i into `to`: moved where the body owns its storage (a body
    // planned while it computed holds no arena), copied otherwise. The
    // output is left with what `to` held, for the body's next plan to drop.
    void takeOutput(size_t i, Tensor& to);

private:
    std::unique_ptr<onnx::GraphProto> body_;
    int64_t opset_;
    std::vector<std::string> formals_, outputs_;
    std::vector<bool> yieldedOnce_;  // per output: no other output has its name
    std::vector<std::pair<std::string, size_t>> reads_;  // outer name -> index among the node's outer values
    std::unique_ptr<onnx::ModelProto> model_;  // the body with its inputs typed
    std::unique_ptr<Graph> graph_;
    std::vector<DType> types_;
    std::vector<Shape> shapes_;  // of the inputs the plan was made for
    bool planned_ = false;
    bool reshaped_ = false;  // its input shapes have changed between runs
};

}  // namespace vexart
