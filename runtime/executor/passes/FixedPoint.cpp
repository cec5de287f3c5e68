#include "passes/FixedPoint.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/Kernel.h"

namespace vexart {

namespace {

// Calls f(channel, first, end) for each run of `inner` neighbouring values
// of one channel among `total`: no division per element (a quarter of
// swin_t's load in fixed point went to one).
template <typename F>
void forChannelRuns(int64_t total, int64_t channels, int64_t inner, F f) {
    if (total == 0) return;
    for (int64_t at = 0, ch = 0; at < total; at += inner, ch = ch + 1 == channels ? 0 : ch + 1) f(ch, at, at + inner);
}

bool isProduct(const std::string& op) { return opTraits(op).weightAxis >= 0; }

// A convolution read only by a BatchNormalization: the normalisation folds into it.
bool foldsInto(const std::string& producer, const std::string& consumer) {
    return consumer == "BatchNormalization" && producer == "Conv";
}

// A tensor's codes and the constant grid they dequantize on.
struct Codes {
    std::string codes, scale, zero;
};

struct Rewriter {
    onnx::GraphProto& g;
    const FixedPointOptions& options;
    FixedPointRewrite result;
    std::set<std::string> names;  // every tensor name in use
    std::map<std::string, Codes> codesOf;  // dequantized tensors on a constant grid
    std::map<std::string, int64_t> weightChannels;  // weights now codes: their output channels

    std::string fresh(const std::string& base, const char* suffix) {
        std::string name = base + suffix;
        for (int i = 2; names.count(name) != 0; ++i) name = base + suffix + std::to_string(i);
        names.insert(name);
        result.added.insert(name);
        return name;
    }

    onnx::TensorProto& initializer(const std::string& name, int type, const std::vector<int64_t>& dims) {
        onnx::TensorProto& t = *g.add_initializer();
        t.set_name(name);
        t.set_data_type(type);
        for (int64_t d : dims) t.add_dims(d);
        return t;
    }

    onnx::NodeProto makeNode(const std::string& type, const std::string& name, std::vector<std::string> ins,
                             std::vector<std::string> outs, int64_t axis = 1) {
        onnx::NodeProto n;
        n.set_op_type(type);
        n.set_name(name);
        for (auto& i : ins) n.add_input(i);
        for (auto& o : outs) n.add_output(o);
        if (axis != 1) {
            auto* a = n.add_attribute();
            a->set_name("axis");
            a->set_type(onnx::AttributeProto::INT);
            a->set_i(axis);
        }
        return n;
    }

    // Nodes that put `from` on a grid and name the result `to`.
    std::vector<onnx::NodeProto> quantizeNodes(const std::string& from, const std::string& to, const std::string& base) {
        const auto e = options.encodings.find(base);
        const std::string q = fresh(base, "#q");
        if (e == options.encodings.end()) {
            const std::string s = fresh(base, "#scale"), z = fresh(base, "#zero");
            return {makeNode("DynamicQuantizeLinear", q, {from}, {q, s, z}), makeNode("DequantizeLinear", to, {q, s, z}, {to})};
        }
        const std::string s = fresh(base, "#scale"), z = fresh(base, "#zero");
        initializer(s, onnx::TensorProto::FLOAT, {}).add_float_data(e->second.stepSize);
        const bool wide = e->second.bitWidth == 16;
        initializer(z, wide ? onnx::TensorProto::UINT16 : onnx::TensorProto::UINT8, {})
            .add_int32_data(static_cast<int32_t>(e->second.stepExactly0));
        if (!wide) codesOf[to] = {q, s, z};  // 16-bit codes: no integer kernel takes them
        return {makeNode("QuantizeLinear", q, {from, s, z}, {q}), makeNode("DequantizeLinear", to, {q, s, z}, {to})};
    }

    // A zero scalar initializer.
    bool zero(const std::string& name) const {
        for (const auto& i : g.initializer()) {
            if (i.name() != name) continue;
            Tensor t;
            try {
                tensorFromProto(i, t, true);
            } catch (const ExecError&) {
                return false;
            }
            return t.size() == 1 && t.scalarAsDouble(0) == 0;
        }
        return false;
    }

    // A node that keeps its input's grid works on the codes, and its result
    // is dequantized after it, where a reader may take the codes in turn
    // (a convolution after a MaxPool, a product after a Flatten).
    void passCodes(onnx::NodeProto& n, std::vector<onnx::NodeProto>& after) {
        const OpTraits& traits = opTraits(n.op_type());
        if (!traits.keepsGrid || n.input_size() < 1 || n.output_size() < 1 || n.output(0).empty()) return;
        for (int o = 1; o < n.output_size(); ++o) {
            if (!n.output(o).empty()) return;  // MaxPool's indices lie on no grid
        }
        const auto c = codesOf.find(n.input(0));
        if (c == codesOf.end()) return;
        const int fill = traits.fillInput;
        if (fill >= 0) {
            // The added elements must be the grid's zero: the zero point
            // takes the place of a zero constant, given as an input.
            if (n.input_size() < fill) return;
            if (n.input_size() > fill && !n.input(fill).empty() && !zero(n.input(fill))) return;
            while (n.input_size() <= fill) n.add_input("");
            n.set_input(fill, c->second.zero);
        }
        const Codes in = c->second;
        const std::string out = n.output(0), raw = fresh(out, "#codes");
        n.set_input(0, in.codes);
        n.set_output(0, raw);
        after.push_back(makeNode("DequantizeLinear", out, {raw, in.scale, in.zero}, {out}));
        codesOf[out] = {raw, in.scale, in.zero};
    }

    bool quantizable(const std::string& name) const {
        const auto e = options.encodings.find(name);
        // A zero step is a tensor that was all zeros: it stays as it is.
        return e == options.encodings.end() || e->second.stepSize > 0;
    }
};

// Per-channel symmetric codes of a float initializer along `axis`.
bool quantizeWeight(Rewriter& r, const onnx::TensorProto& w, int64_t axis, std::vector<onnx::NodeProto>& nodes) {
    if (w.data_type() != onnx::TensorProto::FLOAT || w.dims_size() < 1 || axis >= w.dims_size()) return false;
    Tensor t;
    try {
        tensorFromProto(w, t, true);
    } catch (const ExecError&) {
        return false;  // the graph's build reports the malformed weights
    }
    const float* values = t.data<float>();
    const int64_t count = t.size();
    if (count == 0) return false;
    const int64_t channels = t.dim(static_cast<size_t>(axis));
    const int64_t inner = elementCount(Shape(t.shape().begin() + axis + 1, t.shape().end()));
    std::vector<float> scale = largestPerChannel(values, t.shape(), axis);
    for (float& s : scale) s = s > 0 ? s / static_cast<float>(r.options.weightCode) : 1.0f;
    // Calibrated steps, where every code they give fits.
    const auto given = r.options.weightSteps.find(w.name());
    if (given != r.options.weightSteps.end() && given->second.size() == scale.size()) {
        bool fits = true;
        for (size_t c = 0; c < scale.size(); ++c) {
            const float largest = scale[c] * static_cast<float>(r.options.weightCode);
            fits = fits && given->second[c] > 0 && std::nearbyint(largest / given->second[c]) <= r.options.weightCode;
        }
        if (fits) scale = given->second;
    }
    const std::string q = r.fresh(w.name(), "#q"), s = r.fresh(w.name(), "#scale");
    std::string codes(static_cast<size_t>(count), '\0');
    forChannelRuns(count, channels, inner, [&](int64_t ch, int64_t from, int64_t end) {
        const float step = scale[static_cast<size_t>(ch)];
        for (int64_t i = from; i < end; ++i) {
            const float c = std::nearbyint(values[i] / step);
            codes[static_cast<size_t>(i)] = static_cast<char>(static_cast<int8_t>(std::clamp(c, -127.0f, 127.0f)));
        }
    });
    r.initializer(q, onnx::TensorProto::INT8, t.shape()).set_raw_data(std::move(codes));
    auto& st = r.initializer(s, onnx::TensorProto::FLOAT, {channels});
    for (float v : scale) st.add_float_data(v);
    nodes.push_back(r.makeNode("DequantizeLinear", w.name() + "#dequantize", {q, s}, {w.name()}, axis));
    r.weightChannels[w.name()] = channels;
    // Now a node output, but a weight to users: never listed among the results.
    r.result.added.insert(w.name());
    return true;
}

// A convolution or Gemm on weight codes whose output calibration found
// short by a mean per channel reads a bias with that added. The model's
// own bias stays for any other reader.
void correctBias(Rewriter& r, onnx::NodeProto& n) {
    if ((n.op_type() != "Conv" && n.op_type() != "Gemm") || n.input_size() < 2 || n.output_size() < 1) return;
    const auto shift = r.options.biasCorrections.find(n.output(0));
    const auto channels = r.weightChannels.find(n.input(1));
    if (shift == r.options.biasCorrections.end() || channels == r.weightChannels.end() ||
        static_cast<int64_t>(shift->second.size()) != channels->second) {
        return;
    }
    float beta = 1;  // Gemm adds beta * C
    for (const auto& a : n.attribute()) beta = a.name() == "beta" ? a.f() : beta;
    if (beta == 0 || !std::isfinite(beta)) return;
    std::vector<float> bias(shift->second.size(), 0.0f);
    if (n.input_size() > 2 && !n.input(2).empty()) {
        const onnx::TensorProto* given = nullptr;
        for (const auto& i : r.g.initializer()) given = i.name() == n.input(2) ? &i : given;
        if (given == nullptr || given->data_type() != onnx::TensorProto::FLOAT) return;
        Tensor t;
        try {
            tensorFromProto(*given, t, true);
        } catch (const ExecError&) {
            return;
        }
        // One value per channel ([N] or Gemm's [1, N]); other broadcasts stay as they are.
        if (t.size() != static_cast<int64_t>(bias.size()) || (t.rank() == 2 && t.dim(0) != 1) || t.rank() > 2) return;
        std::copy(t.data<float>(), t.data<float>() + t.size(), bias.begin());
    }
    for (size_t c = 0; c < bias.size(); ++c) bias[c] += shift->second[c] / beta;
    const std::string name = r.fresh(n.output(0), "#bias");
    auto& t = r.initializer(name, onnx::TensorProto::FLOAT, {static_cast<int64_t>(bias.size())});
    for (float v : bias) t.add_float_data(v);
    while (n.input_size() < 3) n.add_input("");
    n.set_input(2, name);
}

}  // namespace

int64_t productWeightAxis(const onnx::NodeProto& n) {
    int64_t axis = opTraits(n.op_type()).weightAxis;
    // Gemm's transB swaps the weights' axes.
    for (const auto& a : n.attribute()) axis = axis >= 0 && a.name() == "transB" && a.i() != 0 ? 1 - axis : axis;
    return axis;
}

std::vector<float> largestPerChannel(const float* w, const Shape& dims, int64_t axis) {
    const int64_t total = elementCount(dims), channels = dims[static_cast<size_t>(axis)];
    const int64_t inner = elementCount(Shape(dims.begin() + axis + 1, dims.end()));
    std::vector<float> largest(static_cast<size_t>(channels), 0.0f);
    forChannelRuns(total, channels, inner, [&](int64_t ch, int64_t from, int64_t end) {
        float& l = largest[static_cast<size_t>(ch)];
        for (int64_t i = from; i < end; ++i) {
            if (std::isfinite(w[i])) l = std::max(l, std::fabs(w[i]));
        }
    });
    return largest;
}

std::string FixedPointRewrite::visible(const std::string& name) const {
    const auto v = visibleName.find(name);
    if (v != visibleName.end()) return v->second;
    return added.count(name) != 0 ? "" : name;
}

FixedPointRewrite rewriteForFixedPoint(onnx::ModelProto& model, const FixedPointOptions& options) {
    onnx::GraphProto& g = *model.mutable_graph();
    Rewriter r{g, options, {}, {}, {}, {}};
    std::map<std::string, std::vector<int>> consumers;
    std::map<std::string, int> producer;
    std::set<std::string> outputs, initializers;
    for (const auto& o : g.output()) outputs.insert(o.name());
    for (const auto& i : g.initializer()) {
        r.names.insert(i.name());
        initializers.insert(i.name());
    }
    for (const auto& i : g.input()) r.names.insert(i.name());
    for (int k = 0; k < g.node_size(); ++k) {
        for (const auto& i : g.node(k).input()) {
            if (!i.empty()) consumers[i].push_back(k);
        }
        for (const auto& o : g.node(k).output()) {
            if (o.empty()) continue;
            r.names.insert(o);
            producer[o] = k;
        }
    }

    // Weights: constant second inputs of the products, one set of codes per tensor.
    std::vector<onnx::NodeProto> weightNodes;
    std::set<std::string> weightDone;
    std::vector<onnx::TensorProto*> floats;
    for (int k = 0; k < g.node_size(); ++k) {
        const auto& n = g.node(k);
        if (!isProduct(n.op_type()) || n.input_size() < 2 || initializers.count(n.input(1)) == 0 ||
            weightDone.count(n.input(1)) != 0) {
            continue;
        }
        const int64_t axis = productWeightAxis(n);
        for (int i = 0; i < g.initializer_size(); ++i) {
            if (g.initializer(i).name() != n.input(1)) continue;
            const onnx::TensorProto w = g.initializer(i);
            // Batched weights have no one output-channel axis.
            if (n.op_type() == "MatMul" && w.dims_size() != 2) break;
            if (quantizeWeight(r, w, axis, weightNodes)) {
                weightDone.insert(w.name());
                g.mutable_initializer()->DeleteSubrange(i, 1);
            }
            break;
        }
    }

    // Only element-wise nodes and reductions read it: a formula written out
    // node by node (Swish, GELU, a LayerNorm, a gate, a scale) runs in
    // float, fused where the engine recognises it, and is put on a grid
    // where it ends.
    auto insideRegion = [&](const std::string& name) {
        const auto c = consumers.find(name);
        if (outputs.count(name) != 0 || c == consumers.end()) return false;
        for (int k : c->second) {
            // Identity passes the grid on: what reads it sees the values held.
            const OpTraits& t = opTraits(g.node(k).op_type());
            if (!(t.layoutFree || t.reduces) || t.keepsGrid) return false;
        }
        return true;
    };
    // Activations: which tensors a fixed-point runtime holds in memory.
    auto wants = [&](const std::string& name, int k) {
        if (name.empty() || !r.quantizable(name)) return false;
        const auto& n = g.node(k);
        if (insideRegion(name)) return false;
        const bool encoded = options.encodings.count(name) != 0;
        const OpTraits& traits = opTraits(n.op_type());
        if (traits.keepsGrid) return false;
        if (!encoded && (options.encodings.size() != 0 || !traits.computesFloat)) return false;
        const auto c = consumers.find(name);
        if (outputs.count(name) == 0 && c != consumers.end() && c->second.size() == 1 &&
            foldsInto(n.op_type(), g.node(c->second[0]).op_type())) {
            return false;
        }
        return true;
    };
    std::vector<onnx::NodeProto> nodes(weightNodes);
    // Inputs with an encoding: their consumers read the quantized copy.
    for (const auto& in : g.input()) {
        if (initializers.count(in.name()) != 0 || options.encodings.count(in.name()) == 0 || !r.quantizable(in.name()) ||
            in.type().tensor_type().elem_type() != onnx::TensorProto::FLOAT) {
            continue;
        }
        const std::string dq = r.fresh(in.name(), "#dq");
        for (auto& q : r.quantizeNodes(in.name(), dq, in.name())) nodes.push_back(std::move(q));
        for (int k : consumers[in.name()]) {
            auto* n = g.mutable_node(k);
            for (int i = 0; i < n->input_size(); ++i) {
                if (n->input(i) == in.name()) n->set_input(i, dq);
            }
        }
    }
    for (int k = 0; k < g.node_size(); ++k) {
        onnx::NodeProto n = g.node(k);
        std::vector<onnx::NodeProto> after;
        correctBias(r, n);
        r.passCodes(n, after);
        for (int o = 0; o < n.output_size(); ++o) {
            const std::string name = n.output(o);
            if (!wants(name, k)) continue;
            const std::string raw = r.fresh(name, "#raw");
            r.result.visibleName[raw] = name;
            n.set_output(o, raw);
            for (auto& q : r.quantizeNodes(raw, name, name)) after.push_back(std::move(q));
        }
        nodes.push_back(std::move(n));
        for (auto& q : after) nodes.push_back(std::move(q));
    }
    // Initializers listed as inputs too (older exporters) are now node outputs.
    for (int i = g.input_size(); i-- > 0;) {
        if (weightDone.count(g.input(i).name()) != 0) g.mutable_input()->DeleteSubrange(i, 1);
    }
    g.clear_node();
    for (auto& n : nodes) *g.add_node() = std::move(n);
    return r.result;
}

}  // namespace vexart
