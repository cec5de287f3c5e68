#include "support/Models.h"

#include <cstring>

#include "Container.h"

OnnxBuilder affineModel(const std::string& graph, const std::vector<int64_t>& dims, float scale, float bias,
                        const std::string& input, const std::string& output) {
    OnnxBuilder b(graph);
    b.input(input, dims);
    b.initializer("scale", {}, {scale});
    b.initializer("bias", {}, {bias});
    b.node("Mul", {input, "scale"}, {"scaled"}, "mul");
    b.node("Add", {"scaled", "bias"}, {output}, "add");
    b.output(output, dims);
    return b;
}

OnnxBuilder differenceModel(const std::string& graph, const std::vector<int64_t>& dims, const std::string& output) {
    OnnxBuilder b(graph);
    b.input("a", dims);
    b.input("b", dims);
    b.node("Sub", {"a", "b"}, {output}, "sub");
    b.output(output, dims);
    return b;
}

std::string packContainer(const std::string& path, const std::vector<PackedGraph>& graphs,
                          const std::string& modelVersion) {
    vexart::ContainerModel model;
    model.modelVersion = modelVersion;
    for (const auto& g : graphs) model.graphs.push_back({g.name, g.model->serialize(), {}, {}});
    vexart::writeContainer(model, path);
    return path;
}

std::string floatsToBytes(const std::vector<float>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

std::vector<float> bytesToFloats(const std::string& bytes) {
    std::vector<float> v(bytes.size() / sizeof(float));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
    return v;
}
