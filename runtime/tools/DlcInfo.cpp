// vexa-dlc-info: lists the graphs of a model container with their inputs,
// outputs, dimensions, data types, encodings and cache records.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "Container.h"
#include "executor/core/Tensor.h"
#include "FailureText.h"
#include "Printable.h"
#include "ToolUsage.h"

namespace {

// Names and texts of the model, whole, with their control bytes escaped.
std::string shown(const std::string& text) { return vexart::printable(text, std::string::npos); }

std::string describe(const onnx::ValueInfoProto& v) {
    std::string dims = "[";
    const auto& t = v.type().tensor_type();
    for (int i = 0; i < t.shape().dim_size(); ++i) {
        const auto& d = t.shape().dim(i);
        dims += (i ? "," : "") + (d.has_dim_value() ? std::to_string(d.dim_value()) : d.dim_param().empty() ? "?" : d.dim_param());
    }
    return shown(dims + "] " + vexart::dtypeName(static_cast<vexart::DType>(t.elem_type())));
}

// The opset of the standard domain the graph was written for.
int64_t opsetOf(const onnx::ModelProto& m) {
    for (const auto& o : m.opset_import()) {
        if (o.domain().empty() || o.domain() == "ai.onnx") return o.version();
    }
    return 0;
}

// a * b + c, or UINT64_MAX where that does not fit: a count a container
// merely declares may be beyond any real one.
uint64_t saturated(uint64_t a, uint64_t b, uint64_t c = 0) {
    if (b != 0 && a > UINT64_MAX / b) return UINT64_MAX;
    return a * b > UINT64_MAX - c ? UINT64_MAX : a * b + c;
}

// Elements and bytes of the graph's weights (initializers and Constant
// nodes' tensors); UINT64_MAX stands for more than that.
void countParameters(const onnx::GraphProto& g, uint64_t& elements, uint64_t& bytes) {
    auto add = [&](const onnx::TensorProto& t) {
        uint64_t n = 1;
        for (const int64_t d : t.dims()) n = saturated(n, d > 0 ? static_cast<uint64_t>(d) : 0);
        elements = saturated(n, 1, elements);
        bytes = saturated(n, vexart::dtypeSize(static_cast<vexart::DType>(t.data_type())), bytes);
    };
    for (const auto& t : g.initializer()) add(t);
    for (const auto& n : g.node()) {
        for (const auto& a : n.attribute()) {
            if (n.op_type() == "Constant" && a.has_t()) add(a.t());
        }
    }
}

std::string withSeparators(uint64_t n) {
    if (n == UINT64_MAX) return "more than 18,446,744,073,709,551,614";
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string byteSize(uint64_t bytes) {
    char text[32];
    if (bytes == UINT64_MAX) return "more than 16 EiB";
    if (bytes < (1u << 20)) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    }
    return text;
}

// Operators by how often they occur, then by name: "Conv x3, Relu x2".
std::string operatorCounts(const onnx::GraphProto& g) {
    std::map<std::string, size_t> counts;
    for (const auto& n : g.node()) ++counts[n.domain().empty() ? n.op_type() : n.domain() + "." + n.op_type()];
    std::vector<std::pair<std::string, size_t>> sorted(counts.begin(), counts.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [op, n] : sorted) text += (text.empty() ? "" : ", ") + op + " x" + std::to_string(n);
    return shown(text);
}

std::string describe(const vexart::TensorEncoding& e) {
    std::ostringstream text;
    text << "bitWidth=" << e.bitWidth;
    if (e.channelSteps.empty()) {
        text << " stepSize=" << e.stepSize;
    } else {
        const auto [lo, hi] = std::minmax_element(e.channelSteps.begin(), e.channelSteps.end());
        text << " per-channel axis=" << e.axis << " channels=" << e.channelSteps.size() << " stepSizes=" << *lo
             << ".." << *hi;
    }
    text << " stepExactly0=" << e.stepExactly0;
    if (!e.biasCorrection.empty()) {
        const auto [lo, hi] = std::minmax_element(e.biasCorrection.begin(), e.biasCorrection.end());
        text << " biasCorrection=" << *lo << ".." << *hi;
    }
    return text.str();
}

int usage(bool asked) {
    return printUsage(
        "usage: vexa-dlc-info MODEL.dlc\n"
        "Lists a container's graphs: opset, inputs, outputs, operators, parameters,\n"
        "quantization encodings and cache records.\n",
        asked);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) return usage(true);
    if (argc != 2 || argv[1][0] == '-') return usage(false);
    try {
        const vexart::ContainerLimits limits = vexart::containerLimitsFromEnvironment();
        vexart::ContainerModel model;
        try {
            model = vexart::openContainerFile(argv[1], limits);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot read ") + argv[1] + ": " + vexart::failureText(e));
        }
        std::cout << "Container: " << shown(argv[1]) << "\nModel version: " << shown(model.modelVersion) << "\n";
        for (const auto& g : model.graphs) {
            onnx::ModelProto proto;
            if (!vexart::parseGraph(model, g, proto)) throw std::runtime_error("graph '" + g.name + "' is not valid ONNX");
            std::cout << "\nGraph: " << shown(g.name) << " (" << proto.graph().node_size() << " nodes, opset "
                      << opsetOf(proto) << ")\n";
            std::set<std::string> inits;
            for (const auto& t : proto.graph().initializer()) inits.insert(t.name());
            for (const auto& v : proto.graph().input()) {
                if (inits.count(v.name()) == 0) std::cout << "  input  " << shown(v.name()) << " " << describe(v) << "\n";
            }
            for (const auto& v : proto.graph().output()) std::cout << "  output " << shown(v.name()) << " " << describe(v) << "\n";
            std::cout << "  operators: " << operatorCounts(proto.graph()) << "\n";
            uint64_t elements = 0, bytes = 0;
            countParameters(proto.graph(), elements, bytes);
            std::cout << "  parameters: " << withSeparators(elements) << " (" << byteSize(bytes) << ")\n";
            for (const auto& [tensor, e] : g.encodings) std::cout << "  encoding " << shown(tensor) << " " << describe(e) << "\n";
        }
        for (const auto& r : model.cacheRecords) {
            std::cout << "\nCache record: " << shown(r.name) << " (" << r.graphs.size() << " graph(s))\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-info: " << vexart::printable(vexart::failureText(e), std::string::npos) << "\n";
        return 1;
    }
    return 0;
}
