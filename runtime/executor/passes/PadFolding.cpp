#include "passes/PadFolding.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <map>
#include <vector>

#include "core/Kernel.h"
#include "graph/Subgraph.h"

namespace vexart {
namespace {

// A constant's values as integers or as one float, from an initializer or a
// Constant node; false where the graph computes it.
bool constantOf(const std::map<std::string, const onnx::TensorProto*>& constants, const std::string& name, Tensor& out) {
    const auto it = constants.find(name);
    if (it == constants.end()) return false;
    try {
        tensorFromProto(*it->second, out);
    } catch (const std::exception&) {
        return false;  // the graph's build reports it
    }
    return true;
}

onnx::AttributeProto* attribute(onnx::NodeProto& n, const char* name) {
    for (auto& a : *n.mutable_attribute()) {
        if (a.name() == name) return &a;
    }
    return nullptr;
}

// The padding a Pad node adds at each end of each axis, where it is constant
// zero padding: [begin..., end...]; empty otherwise.
std::vector<int64_t> zeroPadding(const onnx::NodeProto& pad, int64_t opset,
                                 const std::map<std::string, const onnx::TensorProto*>& constants) {
    const Attrs a(pad);
    if (a.s("mode", "constant") != "constant") return {};
    if (opset < 11) return a.f("value", 0) == 0 ? a.ints(opset < 2 ? "paddings" : "pads") : std::vector<int64_t>{};
    if (pad.input_size() < 2 || pad.input_size() > 3) return {};  // axes (opset 18) left to the node
    Tensor pads, value;
    if (!constantOf(constants, pad.input(1), pads) || pads.type() != DType::Int64) return {};
    if (pad.input_size() == 3 && !pad.input(2).empty()) {
        if (!constantOf(constants, pad.input(2), value) || value.size() > 1) return {};
        if (value.size() == 1 && value.scalarAsDouble(0) != 0) return {};
    }
    return pads.toInt64();
}

}  // namespace

void foldPadsIntoReaders(onnx::GraphProto& graph, int64_t opset, std::set<std::string>& stillRead) {
    std::map<std::string, const onnx::TensorProto*> constants;
    for (const auto& t : graph.initializer()) constants[t.name()] = &t;
    std::map<std::string, int> readers;  // how often each tensor is read
    for (const auto& n : graph.node()) {
        if (n.op_type() == "Constant" && n.output_size() == 1) {
            for (const auto& a : n.attribute()) {
                if (a.name() == "value" && a.has_t()) constants[n.output(0)] = &a.t();
            }
        }
        for (const auto& in : n.input()) ++readers[in];
        for (const auto& in : outerScopeNames(n)) ++readers[in];
    }
    for (const auto& out : graph.output()) ++readers[out.name()];
    // Weights as stored, through the nodes that keep their shape (a
    // dequantization of int8 codes, an Identity, a Cast).
    std::map<std::string, const onnx::NodeProto*> producer;
    for (const auto& n : graph.node()) {
        if (n.output_size() == 1) producer[n.output(0)] = &n;
    }
    auto weightsOf = [&](std::string name) -> const onnx::TensorProto* {
        for (size_t hops = 0; hops <= producer.size(); ++hops) {
            const auto c = constants.find(name);
            if (c != constants.end()) return c->second;
            const auto p = producer.find(name);
            if (p == producer.end() || p->second->input_size() < 1) return nullptr;
            const std::string& op = p->second->op_type();
            if (op != "DequantizeLinear" && op != "Identity" && op != "Cast") return nullptr;
            name = p->second->input(0);
        }
        return nullptr;
    };
    std::map<std::string, const onnx::NodeProto*> pads;  // by output
    for (const auto& n : graph.node()) {
        if (n.op_type() == "Pad" && n.domain().empty() && n.input_size() >= 1 && n.output_size() == 1) pads[n.output(0)] = &n;
    }
    for (auto& reader : *graph.mutable_node()) {
        const bool conv = reader.op_type() == "Conv";
        if ((!conv && reader.op_type() != "AveragePool") || reader.input_size() < 1) continue;
        const auto found = pads.find(reader.input(0));
        if (found == pads.end() || readers[reader.input(0)] != 1) continue;
        const Attrs a(reader);
        // Windows past the end (ceil_mode) would count padding the node never had.
        if (a.s("auto_pad", "NOTSET") != "NOTSET" || a.i("ceil_mode", 0) != 0) continue;
        std::vector<int64_t> own = a.ints("pads");
        const std::vector<int64_t> added = zeroPadding(*found->second, opset, constants);
        const size_t rank = added.size() / 2;
        if (rank < 3 || added.size() != 2 * rank || (!own.empty() && own.size() != 2 * (rank - 2))) continue;
        // An average that leaves its own padding out of the count would divide by less.
        bool fits = conv || a.i("count_include_pad", 0) != 0 || std::all_of(own.begin(), own.end(), [](int64_t p) { return p == 0; });
        for (size_t d = 0; d < 2; ++d) fits = fits && added[d] == 0 && added[d + rank] == 0;
        for (int64_t p : added) fits = fits && p >= 0;
        if (!fits) continue;
        // The window's extent per axis: kernels assume some input under every window.
        std::vector<int64_t> kernel = a.ints("kernel_shape");
        const onnx::TensorProto* weights = conv && reader.input_size() > 1 ? weightsOf(reader.input(1)) : nullptr;
        if (kernel.empty() && weights != nullptr && weights->dims_size() == static_cast<int>(rank)) {
            kernel.assign(weights->dims().begin() + 2, weights->dims().end());
        }
        std::vector<int64_t> dilations = a.ints("dilations");
        dilations.resize(rank - 2, 1);
        own.resize(2 * (rank - 2), 0);
        for (size_t d = 0; d + 2 < rank; ++d) {
            own[d] += added[d + 2];
            own[d + rank - 2] += added[d + 2 + rank];
            const int64_t extent = kernel.size() == rank - 2 ? (kernel[d] - 1) * dilations[d] + 1 : 0;
            fits = fits && own[d] < extent && own[d + rank - 2] < extent;
        }
        if (!fits) continue;
        onnx::AttributeProto* p = attribute(reader, "pads");
        if (p == nullptr) {
            p = reader.add_attribute();
            p->set_name("pads");
            p->set_type(onnx::AttributeProto::INTS);
        }
        p->clear_ints();
        for (int64_t v : own) p->add_ints(v);
        if (!conv) {
            onnx::AttributeProto* count = attribute(reader, "count_include_pad");
            if (count == nullptr) {
                count = reader.add_attribute();
                count->set_name("count_include_pad");
                count->set_type(onnx::AttributeProto::INT);
            }
            count->set_i(1);
        }
        stillRead.insert(reader.input(0));
        reader.set_input(0, found->second->input(0));
    }
}

}  // namespace vexart
