// One ONNX graph made executable: values, nodes in execution order, a
// prepare step that fixes input shapes, folds everything that does not
// depend on input data and learns every shape, and a run step that
// executes the remaining nodes with no allocation once warmed up.
#pragma once

#include <map>
#include <set>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/GraphIr.h"
#include "planner/Arena.h"
#include "core/Kernel.h"
#include "core/StoragePool.h"
#include "core/Tensor.h"

namespace onnx {
class ModelProto;
}
namespace vexart::onednn {
class LayoutConversion;
}

namespace vexart {

struct ValueInfo {
    std::string name;
    DType type = DType::Float;
    Shape dims;  // -1 where the model leaves a dimension open
};

struct NodeTiming {
    std::string name;
    std::string opType;
    double totalMicroseconds = 0;
    double lastMicroseconds = 0;  // of the latest execution
    // What ran: "oneDNN <implementation>" or "vexa" (the engine's own
    // loops); the precision it ran in ("f32", "int8", ...); the names of the
    // nodes it runs besides its own (fused into it).
    std::string kernel, precision;
    std::vector<std::string> fused;
};

class Graph {
public:
    // Throws ExecError naming the first unsupported operator or malformed part.
    // The graph keeps the model: its initializers are the constants' storage.
    explicit Graph(onnx::ModelProto model);
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    const std::vector<ValueInfo>& inputs() const { return inputs_; }
    const std::vector<std::string>& declaredOutputs() const { return declaredOutputs_; }
    // Every tensor a node produces, in node order.
    std::vector<std::string> nodeOutputNames() const;
    // Produced tensors that no node consumes and that are not graph outputs.
    std::vector<std::string> unconsumedNames() const;
    bool producesValue(const std::string& name) const;
    // Output names of the nodes named `layers`.
    std::vector<std::string> outputsOfNodes(const std::vector<std::string>& layers) const;

    // Fixes the input shapes (open dimensions become 1 unless given) and
    // the outputs to produce, folds constants and learns all shapes. With
    // `execute`, every node computes as it is planned, on the values in the
    // inputs: the outputs are ready when it returns and run() is not called
    // (see shapesFollowValues).
    void prepare(const std::map<std::string, Shape>& inputShapes, const std::vector<std::string>& outputs,
                 bool execute = false);
    // prepare() without `execute`, except where the plan would follow the
    // inputs' values: then it stops once the constants are folded and
    // returns false. A plan made on zeros would be made again on each
    // execution's inputs, and making it computes much of the graph.
    bool prepareUnlessValuesShape(const std::map<std::string, Shape>& inputShapes,
                                  const std::vector<std::string>& outputs);
    // Whether the last plan holds only for the input values it was made on:
    // some scheduled node's output shape follows the values of an input
    // that is not constant (NonZero, a Reshape to a computed shape, an If).
    // Such a graph is prepared with `execute` on each execution's inputs.
    bool shapesFollowValues() const { return followsValues_; }

    // Throws when given shapes name no input, have the wrong rank or hold a
    // negative dimension: mistakes in the request itself.
    void checkInputShapes(const std::map<std::string, Shape>& inputShapes) const;

    const std::vector<std::string>& outputs() const { return outputs_; }
    Tensor& input(const std::string& name);
    const Tensor& value(const std::string& name) const;
    // The value `name` where a node computes it on each run (not an input,
    // not constant), for a caller that takes its contents; else null.
    Tensor* computedValue(const std::string& name);
    bool hasValue(const std::string& name) const { return index_.count(name) != 0; }

    void run();

    // Input `name` is read from the caller's `data` (its bytes in the
    // input's type and shape, unchanged until takeBackInputs) instead of
    // being copied in: false, and nothing changed, where the plan follows
    // input values (the inputs are then planned on) or the input is not a
    // plain tensor of its own.
    bool lendInput(const std::string& name, const void* data);
    // Every lent input reads the graph's own storage again.
    void takeBackInputs();

    // Bytes held by constants (initializers and folded values) and by the
    // values computed per execution.
    uint64_t constantBytes() const;
    uint64_t activationBytes() const;
    // Bytes of the arena that holds the values computed per execution.
    uint64_t arenaBytes() const { return arenaBytes_; }

    // Scheduled steps that run on integer codes.
    size_t integerSteps() const;

    void enableTiming(bool on);
    const std::vector<NodeTiming>& timings() const { return timings_; }

private:
    // A plain copy of a tensor in another layout, made before a step.
    struct PlainCopy {
        const Tensor* from = nullptr;
        Tensor* to = nullptr;
        std::unique_ptr<onednn::LayoutConversion> conversion;
    };
    // One scheduled node, with the plain copies its inputs need made first.
    struct Step {
        Node* node = nullptr;
        std::vector<PlainCopy> toPlain;
        std::vector<const Tensor*> alsoReads;  // operands of nodes fused into this one
        // Inputs seen through views, which hold only for these shapes.
        std::vector<std::pair<const Tensor*, Shape>> plannedShapes;
        // A node that only renames its input's bytes (Reshape and kin): its
        // output views `aliasOf` and nothing runs.
        const Tensor* aliasOf = nullptr;
        std::vector<size_t> absorbed;  // the nodes fused into this one
        double executedMicroseconds = 0;  // computing while planned (prepare's `execute`)
    };
    // The stages of prepare (graph/Prepare.cpp), over one planning state.
    struct Planning;
    struct NodePlan;
    // At load: dequantizations move after the nodes that keep their grid
    // (passes/CodesThroughNodes.h); node k then reads the codes node dq dequantized.
    void moveDequantizations(int64_t opset);
    void dequantizeAfter(size_t k, size_t dq, int64_t opset);
    void fixInputs(const std::map<std::string, Shape>& inputShapes);
    std::vector<int> selectOutputs(const std::vector<std::string>& outputs);
    bool foldsToConstant(const GraphState& st, const Node& n) const;
    void settleFolds(const Planning& plan, const std::vector<bool>& folded);
    void foldWeightsOf(Planning& plan, size_t k);
    bool foldToCodes(Planning& plan, size_t dq);
    void releaseDead(Planning& plan, size_t k);
    static bool setsShapes(const Planning& plan, const NodePlan& np);
    void prepareNode(Planning& plan, size_t k);
    void substitutePattern(Planning& plan, size_t k, NodePlan& np);
    void bindContext(Planning& plan, Node& n, NodePlan& np);
    void planLayout(Planning& plan, Node& n, NodePlan& np);
    void planFusion(Planning& plan, size_t k, Node& n, NodePlan& np);
    void makeAlias(Planning& plan, Node& n, NodePlan& np);
    void releaseCopiedWeights(Planning& plan, const Kernel& kernel, const std::vector<int>& inputs);
    void recordTimings();
    void describeStep(size_t k);  // its kernel and precision in the profile
    // Drops what the last plan left in values computed per execution:
    // their storage may lie in the arena about to go.
    void forgetLastPlan();
    bool followsValues(const Node& n, const std::vector<bool>& isConst) const;
    // Whether planning the nodes not yet planned would schedule one that
    // followsValues, constness spreading as prepareNode spreads it.
    bool planWouldFollowValues(const Planning& plan, const std::vector<bool>& folded) const;
    bool planStages(const std::map<std::string, Shape>& inputShapes, const std::vector<std::string>& outputs, bool execute,
                    bool stopIfValuesShape);
    // Places every per-execution tensor in one arena (see planner/Arena.h).
    void placeInArena();
    // The tensors the arena holds (`owned`, in the order first written) and
    // the steps each lives over (planner/Lifetimes.h).
    std::vector<BufferLife> arenaBuffers(std::vector<Tensor*>& owned) const;
    int valueIndex(const std::string& name, bool create);

    // Frees an initializer whose consumers all keep their own copy of it.
    void releaseInitializer(int value);

    std::unique_ptr<onnx::ModelProto> model_;
    std::vector<int> initializerOf_;  // per value: its initializer's index, or -1
    std::vector<ValueInfo> inputs_;
    std::vector<std::string> declaredOutputs_;
    std::vector<std::string> outputs_;
    std::vector<Tensor> values_;
    std::vector<std::string> valueNames_;
    std::vector<bool> internal_;  // values the build added (codes), never offered by name
    std::set<std::string> stillRead_;  // the model's reader reads them; the build's reads around them
    bool isInternal(int v) const { return static_cast<size_t>(v) < internal_.size() && internal_[static_cast<size_t>(v)]; }
    std::vector<bool> isConst_;
    // Initializers and values settled from them: what each prepare starts from.
    std::vector<bool> declaredConst_;
    std::vector<bool> settled_;  // per node: folded for good (see settleFolds)
    bool followsValues_ = false;
    bool executing_ = false;  // the current prepare computes each node (see prepare)
    // What values free while executing prepares run, kept for the next one.
    StoragePool pool_;
    std::unordered_map<std::string, int> index_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<Step> schedule_;
    // Plain copies and physical-shape views made by the last prepare.
    std::vector<std::unique_ptr<Tensor>> hidden_;
    std::vector<std::pair<const Tensor*, Tensor*>> views_;  // (viewed, view)
    std::vector<std::pair<Tensor*, void*>> lent_;  // lent inputs and their own storage
    std::vector<std::unique_ptr<QuantGrid>> grids_;  // of dequantized inputs, per prepare
    Buffer arena_;
    size_t arenaBytes_ = 0;
    bool timing_ = false;
    bool described_ = false;  // timings_ name the kernels each step last ran
    std::vector<NodeTiming> timings_;
};

}  // namespace vexart
