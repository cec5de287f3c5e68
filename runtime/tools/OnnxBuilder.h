// Small helper for writing ONNX models in code: the bundled sample, test
// models and benchmark models are made with it.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <string>
#include <vector>

class OnnxBuilder {
public:
    explicit OnnxBuilder(const std::string& graphName, int64_t opset = 13) {
        model_.set_ir_version(8);
        model_.set_producer_name("vexa-net-run");
        model_.add_opset_import()->set_version(opset);
        model_.mutable_graph()->set_name(graphName);
    }

    void input(const std::string& name, const std::vector<int64_t>& dims, int32_t type = onnx::TensorProto::FLOAT) {
        describe(model_.mutable_graph()->add_input(), name, dims, type);
    }
    void output(const std::string& name, const std::vector<int64_t>& dims = {},
                int32_t type = onnx::TensorProto::FLOAT) {
        describe(model_.mutable_graph()->add_output(), name, dims, type);
    }
    void initializer(const std::string& name, const std::vector<int64_t>& dims, const std::vector<float>& values) {
        onnx::TensorProto* t = model_.mutable_graph()->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::FLOAT);
        for (int64_t d : dims) t->add_dims(d);
        for (float v : values) t->add_float_data(v);
    }
    // The same, stored as raw bytes (as exporters write weights).
    void initializerRaw(const std::string& name, const std::vector<int64_t>& dims, const std::vector<float>& values) {
        onnx::TensorProto* t = model_.mutable_graph()->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::FLOAT);
        for (int64_t d : dims) t->add_dims(d);
        t->set_raw_data(std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)));
    }
    void initializerInts(const std::string& name, const std::vector<int64_t>& values) {
        onnx::TensorProto* t = model_.mutable_graph()->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::INT64);
        t->add_dims(static_cast<int64_t>(values.size()));
        for (int64_t v : values) t->add_int64_data(v);
    }
    onnx::NodeProto& node(const std::string& op, const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs, const std::string& name = "") {
        onnx::NodeProto* n = model_.mutable_graph()->add_node();
        n->set_op_type(op);
        n->set_name(name.empty() ? op + "_" + std::to_string(model_.graph().node_size()) : name);
        for (const auto& i : inputs) n->add_input(i);
        for (const auto& o : outputs) n->add_output(o);
        return *n;
    }
    static void attr(onnx::NodeProto& n, const std::string& name, int64_t v) {
        auto* a = n.add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::INT);
        a->set_i(v);
    }
    static void attr(onnx::NodeProto& n, const std::string& name, float v) {
        auto* a = n.add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::FLOAT);
        a->set_f(v);
    }
    static void attr(onnx::NodeProto& n, const std::string& name, const std::vector<int64_t>& v) {
        auto* a = n.add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::INTS);
        for (int64_t x : v) a->add_ints(x);
    }
    static void attr(onnx::NodeProto& n, const std::string& name, const std::string& v) {
        auto* a = n.add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::STRING);
        a->set_s(v);
    }
    static void attr(onnx::NodeProto& n, const std::string& name, const onnx::GraphProto& g) {
        auto* a = n.add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::GRAPH);
        *a->mutable_g() = g;
    }
    static void attr(onnx::NodeProto& n, const std::string& name, const onnx::TensorProto& t) {
        auto* a = n.add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::TENSOR);
        *a->mutable_t() = t;
    }
    // An integer tensor of any integer type, its values in int32_data as
    // the format keeps the narrow types (int64 in int64_data).
    static onnx::TensorProto intTensor(const std::string& name, int32_t type, const std::vector<int64_t>& dims,
                                       const std::vector<int32_t>& values) {
        onnx::TensorProto t;
        t.set_name(name);
        t.set_data_type(type);
        for (int64_t d : dims) t.add_dims(d);
        for (int32_t v : values) {
            if (type == onnx::TensorProto::INT64) {
                t.add_int64_data(v);  // the format's own field for 64-bit integers
            } else {
                t.add_int32_data(v);
            }
        }
        return t;
    }
    // For subgraphs (If branches, Loop bodies): a node named after its
    // place, and a value of `type` with no shape.
    static onnx::NodeProto& addNode(onnx::GraphProto& g, const std::string& op, const std::vector<std::string>& in,
                                    const std::vector<std::string>& out) {
        onnx::NodeProto* n = g.add_node();
        n->set_op_type(op);
        n->set_name(op + "_" + std::to_string(g.node_size()));
        for (const auto& i : in) n->add_input(i);
        for (const auto& o : out) n->add_output(o);
        return *n;
    }
    static onnx::ValueInfoProto typed(const std::string& name, int32_t type) {
        onnx::ValueInfoProto v;
        v.set_name(name);
        v.mutable_type()->mutable_tensor_type()->set_elem_type(type);
        return v;
    }
    void initializer(const onnx::TensorProto& t) { *model_.mutable_graph()->add_initializer() = t; }
    std::string serialize() const { return model_.SerializeAsString(); }
    const onnx::ModelProto& proto() const { return model_; }

private:
    static void describe(onnx::ValueInfoProto* v, const std::string& name, const std::vector<int64_t>& dims,
                         int32_t type) {
        v->set_name(name);
        auto* t = v->mutable_type()->mutable_tensor_type();
        t->set_elem_type(type);
        auto* shape = t->mutable_shape();
        for (int64_t d : dims) shape->add_dim()->set_dim_value(d);
    }
    onnx::ModelProto model_;
};

// Deterministic pseudo-random values in [-scale, scale).
inline std::vector<float> pseudoRandom(size_t n, uint32_t seed, float scale) {
    std::vector<float> v(n);
    uint32_t s = seed * 2654435761u + 1u;
    for (auto& x : v) {
        s = s * 1664525u + 1013904223u;
        x = (static_cast<float>(s >> 8) / 16777216.0f * 2.0f - 1.0f) * scale;
    }
    return v;
}
