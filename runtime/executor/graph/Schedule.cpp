#include "graph/Schedule.h"

#include <onnx/onnx_pb.h>

#include <functional>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/Tensor.h"
#include "graph/Subgraph.h"

namespace vexart {
namespace {

// What node `n` reads: its inputs and its nested graphs' outer names.
std::vector<std::string> readsOf(const onnx::NodeProto& n) {
    std::vector<std::string> names(n.input().begin(), n.input().end());
    for (auto& name : outerScopeNames(n)) names.push_back(std::move(name));
    return names;
}

}  // namespace

void scheduleNodes(onnx::GraphProto& graph) {
    for (auto& n : *graph.mutable_node()) {
        for (auto& a : *n.mutable_attribute()) {
            if (a.has_g()) scheduleNodes(*a.mutable_g());
            for (auto& sub : *a.mutable_graphs()) scheduleNodes(sub);
        }
    }
    const int count = graph.node_size();
    std::unordered_map<std::string, int> producer;
    for (int k = 0; k < count; ++k) {
        for (const auto& out : graph.node(k).output()) {
            if (!out.empty()) producer.emplace(out, k);
        }
    }
    // Per node, the nodes it waits for; in order already when none comes later.
    std::vector<std::vector<int>> waitsFor(static_cast<size_t>(count));
    bool inOrder = true;
    for (int k = 0; k < count; ++k) {
        std::set<int> before;
        for (const auto& name : readsOf(graph.node(k))) {
            const auto p = producer.find(name);
            if (p != producer.end() && p->second != k) before.insert(p->second);
            inOrder = inOrder && (p == producer.end() || p->second < k);
        }
        waitsFor[static_cast<size_t>(k)].assign(before.begin(), before.end());
    }
    if (inOrder) return;
    // Kahn's walk, always taking the earliest listed node that is ready.
    std::vector<std::vector<int>> readers(static_cast<size_t>(count));
    std::vector<size_t> pending(static_cast<size_t>(count), 0);
    std::priority_queue<int, std::vector<int>, std::greater<>> ready;
    for (int k = 0; k < count; ++k) {
        for (int p : waitsFor[static_cast<size_t>(k)]) readers[static_cast<size_t>(p)].push_back(k);
        pending[static_cast<size_t>(k)] = waitsFor[static_cast<size_t>(k)].size();
        if (pending[static_cast<size_t>(k)] == 0) ready.push(k);
    }
    std::vector<int> order;
    order.reserve(static_cast<size_t>(count));
    while (!ready.empty()) {
        const int k = ready.top();
        ready.pop();
        order.push_back(k);
        for (int r : readers[static_cast<size_t>(k)]) {
            if (--pending[static_cast<size_t>(r)] == 0) ready.push(r);
        }
    }
    if (static_cast<int>(order.size()) != count) {
        // Every node left waits for another node left: walking back from
        // one of them comes round to a node on a cycle.
        int k = 0;
        while (pending[static_cast<size_t>(k)] == 0) ++k;
        std::vector<bool> seen(static_cast<size_t>(count), false);
        while (!seen[static_cast<size_t>(k)]) {
            seen[static_cast<size_t>(k)] = true;
            for (int p : waitsFor[static_cast<size_t>(k)]) {
                if (pending[static_cast<size_t>(p)] != 0) {
                    k = p;
                    break;
                }
            }
        }
        throw ExecError("the graph's nodes form a cycle through node '" + graph.node(k).name() + "' (" +
                        graph.node(k).op_type() + ")");
    }
    google::protobuf::RepeatedPtrField<onnx::NodeProto> sorted;
    sorted.Reserve(count);
    for (int k : order) *sorted.Add() = std::move(*graph.mutable_node(k));
    graph.mutable_node()->Swap(&sorted);
}

}  // namespace vexart
