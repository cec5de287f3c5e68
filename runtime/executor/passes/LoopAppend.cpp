#include "passes/LoopAppend.h"

#include <onnx/onnx_pb.h>

#include <map>
#include <string>

#include "graph/Subgraph.h"

namespace vexart {

std::vector<CarriedAppend> yieldAppendedParts(onnx::GraphProto& body) {
    std::vector<CarriedAppend> found;
    if (body.input_size() < 3) return found;
    std::map<std::string, int> reads;  // by nodes, by the graphs nested in them, and as outputs
    for (const auto& n : body.node()) {
        for (const auto& in : n.input()) ++reads[in];
        for (const auto& in : outerScopeNames(n)) ++reads[in];
    }
    for (const auto& out : body.output()) ++reads[out.name()];
    const size_t carried = static_cast<size_t>(body.input_size()) - 2;
    for (size_t k = 0; k < carried && 1 + k < static_cast<size_t>(body.output_size()); ++k) {
        const std::string& value = body.input(static_cast<int>(2 + k)).name();
        const std::string& next = body.output(static_cast<int>(1 + k)).name();
        if (reads[value] != 1 || reads[next] != 1) continue;
        for (auto& n : *body.mutable_node()) {
            if (n.op_type() != "Concat" || n.domain() != "" || n.input_size() < 2 || n.input(0) != value ||
                n.output_size() != 1 || n.output(0) != next) {
                continue;
            }
            int64_t axis = 0;
            for (const auto& a : n.attribute()) {
                if (a.name() == "axis") axis = a.i();
            }
            n.mutable_input()->erase(n.mutable_input()->begin());
            if (n.input_size() == 1) {  // the part alone
                n.set_op_type("Identity");
                n.clear_attribute();
            }
            found.push_back({k, axis});
            break;
        }
    }
    return found;
}

}  // namespace vexart
