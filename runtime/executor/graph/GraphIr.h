// The executor's graph as its build-time passes see it: nodes with value
// indices, and the facts a prepare step has learnt about the values.
#pragma once

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/Kernel.h"

namespace vexart {

// Attribute values the passes read, parsed once when the graph is loaded.
struct NodeAttrs {
    float alpha = std::nanf(""), beta = std::nanf("");
    float epsilon = 1e-5f;
    float clipMin = -std::numeric_limits<float>::infinity();
    float clipMax = std::numeric_limits<float>::infinity();
    bool training = false;
    bool keepDims = true;
    std::vector<int64_t> axes;
    int64_t axis = 1;
    int64_t opset = 0;
};

struct Node {
    size_t index = 0;  // its place in the graph's node list
    std::string name;
    std::string opType;
    const OpTraits* traits = nullptr;  // declared where its kernel registers
    std::vector<int> inputs;   // -1 for an omitted optional input
    std::vector<int> outputs;  // -1 for an omitted optional output
    // Input 0 holds the codes that this DequantizeLinear node reads, on its
    // grid (passes/CodesInput.h); -1: as the model wrote it.
    int codesFrom = -1;
    NodeAttrs attrs;
    std::unique_ptr<Kernel> kernel;
    std::unique_ptr<Kernel> substitute;  // runs a subgraph this node starts
    Kernel* active = nullptr;            // kernel or substitute, per prepare
    std::unique_ptr<KernelContext> ctx;
};

// One prepare's view of the graph: the nodes it needs, who consumes what,
// what the user asked for, and which values exist so far.
struct GraphState {
    std::vector<std::unique_ptr<Node>>& nodes;
    std::vector<Tensor>& values;
    std::vector<bool>& isConst;
    std::vector<bool> needed;                 // per node
    std::vector<bool> skipped;                // per node: folded into another
    std::vector<std::vector<size_t>> consumers;  // per value: needed nodes reading it
    std::vector<bool> wanted;                 // per value: requested outputs
    std::vector<bool> ready;                  // per value: computed (or constant, or an input)
    std::vector<int> producer;                // per value: index of the node that makes it, or -1

    GraphState(std::vector<std::unique_ptr<Node>>& n, std::vector<Tensor>& v, std::vector<bool>& c)
        : nodes(n), values(v), isConst(c) {}

    // The single needed consumer of `value`, or null.
    Node* soleConsumer(int value) const {
        const auto& c = consumers[static_cast<size_t>(value)];
        return c.size() == 1 ? nodes[c[0]].get() : nullptr;
    }
    // A computed value that no one asked for, which a fusion may leave unwritten.
    bool internal(int value) const { return value >= 0 && !wanted[static_cast<size_t>(value)]; }
    // The sole consumer of `value` when it is a `type` node with one output
    // that may be fused away, or null.
    Node* soleOfType(int value, const char* type) const {
        Node* n = value >= 0 ? soleConsumer(value) : nullptr;
        if (n == nullptr || n->opType != type || n->outputs.size() != 1 || !internal(n->outputs[0])) return nullptr;
        return n;
    }
    size_t indexOf(const Node* n) const {
        if (n->index < nodes.size() && nodes[n->index].get() == n) return n->index;
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].get() == n) return i;
        }
        return nodes.size();
    }
};

}  // namespace vexart
