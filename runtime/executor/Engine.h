// The executor as the library sees it: load a model (in fixed point when
// asked, with the integer paths this CPU offers), prepare it for input
// shapes and the outputs wanted, run it. Names are the model's own:
// tensors that a fixed-point rewrite made never show.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Threads.h"
#include "graph/Graph.h"
#include "passes/FixedPoint.h"

namespace onnx {
class ModelProto;
}

namespace vexart {

struct EngineOptions {
    // Run on the grids of `encodings` (and of calibrated weight steps)
    // instead of in float.
    bool fixedPoint = false;
    std::map<std::string, ActivationEncoding> encodings;
    std::map<std::string, std::vector<float>> weightSteps;
    std::map<std::string, std::vector<float>> biasCorrections;
};

class Engine {
public:
    // Throws ExecError naming the first unsupported or malformed part.
    Engine(onnx::ModelProto model, const EngineOptions& options);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    const std::vector<ValueInfo>& inputs() const { return graph_->inputs(); }
    const std::vector<std::string>& declaredOutputs() const { return graph_->declaredOutputs(); }
    bool hasValue(const std::string& name) const { return graph_->hasValue(name); }
    // As Graph's, without the tensors a fixed-point rewrite made, by the names users know.
    std::vector<std::string> nodeOutputNames() const { return visible(graph_->nodeOutputNames()); }
    std::vector<std::string> unconsumedNames() const { return visible(graph_->unconsumedNames()); }
    std::vector<std::string> outputsOfNodes(const std::vector<std::string>& layers) const {
        return visible(graph_->outputsOfNodes(layers));
    }

    void checkInputShapes(const std::map<std::string, Shape>& shapes) const { graph_->checkInputShapes(shapes); }
    // Fixes input shapes and outputs, then plans (see Graph::prepare);
    // with `execute`, computes the outputs from the inputs' values as well.
    void prepare(const std::map<std::string, Shape>& shapes, const std::vector<std::string>& outputs,
                 bool execute = false) {
        graph_->prepare(shapes, outputs, execute);
    }
    bool prepareUnlessValuesShape(const std::map<std::string, Shape>& shapes, const std::vector<std::string>& outputs) {
        return graph_->prepareUnlessValuesShape(shapes, outputs);
    }
    bool shapesFollowValues() const { return graph_->shapesFollowValues(); }
    Tensor& input(const std::string& name) { return graph_->input(name); }
    bool lendInput(const std::string& name, const void* data) { return graph_->lendInput(name, data); }
    void takeBackInputs() { graph_->takeBackInputs(); }
    void run() { graph_->run(); }
    const std::vector<std::string>& outputs() const { return graph_->outputs(); }
    const Tensor& value(const std::string& name) const { return graph_->value(name); }
    // What a node computed under `name`, before the grid a fixed-point
    // rewrite put it on (a name to prepare and read, never shown to users).
    std::string computedName(const std::string& name) const;

    uint64_t constantBytes() const { return graph_->constantBytes(); }
    uint64_t activationBytes() const { return graph_->activationBytes(); }
    void enableTiming(bool on) { graph_->enableTiming(on); }
    const std::vector<NodeTiming>& timings() const { return graph_->timings(); }

private:
    std::vector<std::string> visible(const std::vector<std::string>& names) const;

    FixedPointRewrite rewrite_;
    std::unique_ptr<Graph> graph_;
};

}  // namespace vexart
