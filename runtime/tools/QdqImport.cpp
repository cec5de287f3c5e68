#include "QdqImport.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include <cstring>

#include "core/Kernel.h"

namespace vexart {

namespace {

struct Constants {
    std::map<std::string, const onnx::TensorProto*> byName;
    const onnx::TensorProto* find(const onnx::NodeProto& n, int input) const {
        if (input >= n.input_size() || n.input(input).empty()) return nullptr;
        const auto it = byName.find(n.input(input));
        return it == byName.end() ? nullptr : it->second;
    }
};

std::vector<double> valuesOf(const onnx::TensorProto* t) {
    if (t == nullptr) return {};
    Tensor v;
    tensorFromProto(*t, v);
    std::vector<double> out;
    for (int64_t i = 0; i < v.size(); ++i) out.push_back(v.scalarAsDouble(i));
    return out;
}

// The code of real 0 of an 8-bit encoding, for a zero point of `type`.
uint64_t codeOfZero(int type, double zero) {
    return static_cast<uint64_t>(type == onnx::TensorProto::INT8 ? zero + 128 : zero);
}

// One step per index along `axis`; stepSize is the largest.
void setChannelSteps(TensorEncoding& e, const std::vector<double>& scales, int64_t axis) {
    e.axis = axis;
    e.stepSize = 0;
    for (double s : scales) {
        e.channelSteps.push_back(static_cast<float>(s));
        e.stepSize = std::max(e.stepSize, static_cast<float>(s));
    }
}

bool sameForAll(const std::vector<double>& v) {
    for (double x : v) {
        if (x != v[0]) return false;
    }
    return true;
}

int64_t axisOf(const onnx::NodeProto& n) {
    for (const auto& a : n.attribute()) {
        if (a.name() == "axis") return a.i();
    }
    return 1;
}

}  // namespace

std::map<std::string, TensorEncoding> foldQuantizeDequantize(onnx::ModelProto& model) {
    onnx::GraphProto& g = *model.mutable_graph();
    Constants constants;
    for (const auto& t : g.initializer()) constants.byName[t.name()] = &t;
    // Constant nodes, and Identity copies of constants (exporters share
    // quantization parameters that way).
    for (const auto& n : g.node()) {
        if (!n.domain().empty() || n.output_size() != 1) continue;
        if (n.op_type() == "Identity" && n.input_size() == 1 && constants.byName.count(n.input(0)) != 0) {
            constants.byName[n.output(0)] = constants.byName.at(n.input(0));
        }
        if (n.op_type() != "Constant") continue;
        for (const auto& a : n.attribute()) {
            if (a.name() == "value" && a.has_t()) constants.byName[n.output(0)] = &a.t();
        }
    }
    std::map<std::string, int> producer;
    for (int k = 0; k < g.node_size(); ++k) {
        for (const auto& o : g.node(k).output()) producer[o] = k;
    }
    std::map<std::string, TensorEncoding> encodings;
    std::map<std::string, std::string> replaced;  // a dequantized value -> the tensor it stands for
    std::set<int> dropped;
    std::vector<onnx::TensorProto> weights;  // dequantized constants
    for (int k = 0; k < g.node_size(); ++k) {
        const onnx::NodeProto& dq = g.node(k);
        if (dq.op_type() != "DequantizeLinear" || !dq.domain().empty() || dq.input_size() < 2 || dq.output_size() != 1) {
            continue;
        }
        const onnx::TensorProto* scale = constants.find(dq, 1);
        const onnx::TensorProto* zero = constants.find(dq, 2);
        if (scale == nullptr || (dq.input_size() > 2 && !dq.input(2).empty() && zero == nullptr)) continue;
        const std::vector<double> scales = valuesOf(scale);
        std::vector<double> zeros = valuesOf(zero);
        if (zeros.empty()) zeros.assign(scales.size(), 0);
        if (scales.empty() || zeros.size() != scales.size()) throw std::runtime_error("node '" + dq.name() + "': scale and zero point differ in size");
        for (double s : scales) {
            if (!(s > 0) || !std::isfinite(s)) throw std::runtime_error("node '" + dq.name() + "': scale " + std::to_string(s) + " is not a positive number");
        }

        if (const onnx::TensorProto* codes = constants.find(dq, 0)) {
            // Constant weights: dequantized here, under the name the graph reads.
            Tensor q;
            tensorFromProto(*codes, q);
            const int type = codes->data_type();
            if (type != onnx::TensorProto::INT8 && type != onnx::TensorProto::UINT8 && type != onnx::TensorProto::INT32) continue;
            int64_t axis = scales.size() > 1 ? axisOf(dq) : 0;
            if (axis < 0) axis += static_cast<int64_t>(q.rank());
            if (scales.size() > 1 && (axis < 0 || axis >= static_cast<int64_t>(q.rank()) ||
                                      q.dim(static_cast<size_t>(axis)) != static_cast<int64_t>(scales.size()))) {
                throw std::runtime_error("node '" + dq.name() + "': per-axis scales do not match the weights");
            }
            int64_t inner = 1;
            for (size_t i = static_cast<size_t>(axis) + 1; scales.size() > 1 && i < q.rank(); ++i) inner *= q.dim(i);
            onnx::TensorProto w;
            w.set_name(dq.output(0));
            w.set_data_type(onnx::TensorProto::FLOAT);
            for (int64_t d : q.shape()) w.add_dims(d);
            std::string bytes(static_cast<size_t>(q.size()) * 4, '\0');
            for (int64_t i = 0; i < q.size(); ++i) {
                const size_t c = scales.size() == 1 ? 0 : static_cast<size_t>((i / inner) % static_cast<int64_t>(scales.size()));
                const float v = static_cast<float>((q.scalarAsDouble(i) - zeros[c]) * scales[c]);
                std::memcpy(&bytes[static_cast<size_t>(i) * 4], &v, 4);
            }
            w.set_raw_data(std::move(bytes));
            weights.push_back(std::move(w));
            dropped.insert(k);
            if (type == onnx::TensorProto::INT32) continue;  // biases stay float
            if (!sameForAll(zeros)) continue;  // no one offset for all channels: the weights stay float
            TensorEncoding e;
            e.stepExactly0 = codeOfZero(type, zeros[0]);
            e.stepSize = static_cast<float>(scales[0]);
            if (scales.size() > 1) setChannelSteps(e, scales, axis);
            encodings[dq.output(0)] = e;
            continue;
        }

        // A computed tensor put on a grid: the pair goes, the tensor keeps the grid.
        const auto p = producer.find(dq.input(0));
        if (p == producer.end()) continue;
        const onnx::NodeProto& q = g.node(p->second);
        if (q.op_type() != "QuantizeLinear" || !q.domain().empty() || q.input_size() < 2) continue;
        const std::vector<double> qScales = valuesOf(constants.find(q, 1));
        std::vector<double> qZeros = valuesOf(constants.find(q, 2));
        if (qZeros.empty()) qZeros.assign(1, 0);
        if (qScales != scales || qZeros != zeros) continue;
        const int type = zero != nullptr ? zero->data_type() : onnx::TensorProto::UINT8;
        if (type != onnx::TensorProto::INT8 && type != onnx::TensorProto::UINT8) continue;
        std::string tensor = q.input(0);
        while (replaced.count(tensor) != 0) tensor = replaced[tensor];
        TensorEncoding e;
        e.stepSize = static_cast<float>(scales[0]);
        e.stepExactly0 = codeOfZero(type, zeros[0]);
        if (scales.size() > 1) {
            // Per axis: weights (a constant) with one offset for all channels.
            const onnx::TensorProto* w = constants.byName.count(tensor) != 0 ? constants.byName.at(tensor) : nullptr;
            int64_t axis = axisOf(dq);
            if (w == nullptr || !sameForAll(zeros) || axisOf(q) != axis) continue;
            if (axis < 0) axis += w->dims_size();
            if (axis < 0 || axis >= w->dims_size() || w->dims(static_cast<int>(axis)) != static_cast<int64_t>(scales.size())) continue;
            setChannelSteps(e, scales, axis);
        }
        encodings.emplace(tensor, e);  // the first pair around a tensor names its grid
        replaced[dq.output(0)] = tensor;
        dropped.insert(k);
        dropped.insert(p->second);  // kept below if something else reads its codes
    }
    if (dropped.empty()) return encodings;

    auto resolve = [&](std::string name) {
        for (auto it = replaced.find(name); it != replaced.end(); it = replaced.find(name)) name = it->second;
        return name;
    };
    // What the remaining nodes and the outputs read; a QuantizeLinear whose
    // codes something else reads stays, and its tensor keeps no encoding.
    std::set<std::string> read;
    for (int k = 0; k < g.node_size(); ++k) {
        if (dropped.count(k) != 0) continue;
        for (const auto& i : g.node(k).input()) read.insert(resolve(i));
    }
    for (const auto& o : g.output()) read.insert(o.name());
    std::vector<onnx::NodeProto> kept;
    for (int k = 0; k < g.node_size(); ++k) {
        const onnx::NodeProto& n = g.node(k);
        if (dropped.count(k) != 0) {
            if (n.op_type() != "QuantizeLinear" || read.count(n.output(0)) == 0) continue;
            encodings.erase(resolve(n.input(0)));
        }
        onnx::NodeProto copy = n;
        for (int i = 0; i < copy.input_size(); ++i) copy.set_input(i, resolve(copy.input(i)));
        kept.push_back(std::move(copy));
    }
    // Graph outputs that were dequantized values are copies of their tensor.
    for (const auto& o : g.output()) {
        const std::string from = resolve(o.name());
        if (from == o.name()) continue;
        onnx::NodeProto id;
        id.set_op_type("Identity");
        id.set_name(o.name() + "/identity");
        id.add_input(from);
        id.add_output(o.name());
        kept.push_back(std::move(id));
        if (encodings.count(from) != 0) encodings.emplace(o.name(), encodings.at(from));
    }
    g.clear_node();
    for (auto& n : kept) *g.add_node() = std::move(n);
    for (auto& w : weights) *g.add_initializer() = std::move(w);
    std::set<std::string> used;
    // Constants that held only quantization parameters go too (copies first).
    for (bool removed = true; removed;) {
        removed = false;
        used.clear();
        for (const auto& n : g.node()) used.insert(n.input().begin(), n.input().end());
        for (const auto& o : g.output()) used.insert(o.name());
        for (int k = g.node_size(); k-- > 0;) {
            const auto& n = g.node(k);
            if (n.output_size() == 1 && constants.byName.count(n.output(0)) != 0 && used.count(n.output(0)) == 0) {
                g.mutable_node()->DeleteSubrange(k, 1);
                removed = true;
            }
        }
    }
    for (int i = g.initializer_size(); i-- > 0;) {
        if (used.count(g.initializer(i).name()) == 0) g.mutable_initializer()->DeleteSubrange(i, 1);
    }
    for (int i = g.input_size(); i-- > 0;) {
        if (used.count(g.input(i).name()) == 0 && constants.byName.count(g.input(i).name()) != 0) {
            g.mutable_input()->DeleteSubrange(i, 1);
        }
    }
    return encodings;
}

}  // namespace vexart
