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

OnnxBuilder randomClassifier() {
    OnnxBuilder b("classifier");
    b.input("image", {1, 3, 32, 32});
    b.initializer("conv1.w", {8, 3, 3, 3}, pseudoRandom(8 * 3 * 9, 1, 0.3f));
    b.initializer("conv1.b", {8}, pseudoRandom(8, 2, 0.1f));
    b.initializer("conv2.w", {16, 8, 3, 3}, pseudoRandom(16 * 8 * 9, 3, 0.2f));
    b.initializer("conv2.b", {16}, pseudoRandom(16, 4, 0.1f));
    b.initializer("fc.w", {10, 16}, pseudoRandom(160, 5, 0.5f));
    b.initializer("fc.b", {10}, pseudoRandom(10, 6, 0.1f));
    auto& c1 = b.node("Conv", {"image", "conv1.w", "conv1.b"}, {"conv1"}, "conv1");
    OnnxBuilder::attr(c1, "pads", std::vector<int64_t>{1, 1, 1, 1});
    b.node("Relu", {"conv1"}, {"relu1"}, "relu1");
    auto& p1 = b.node("MaxPool", {"relu1"}, {"pool1"}, "pool1");
    OnnxBuilder::attr(p1, "kernel_shape", std::vector<int64_t>{2, 2});
    OnnxBuilder::attr(p1, "strides", std::vector<int64_t>{2, 2});
    auto& c2 = b.node("Conv", {"pool1", "conv2.w", "conv2.b"}, {"conv2"}, "conv2");
    OnnxBuilder::attr(c2, "pads", std::vector<int64_t>{1, 1, 1, 1});
    b.node("Relu", {"conv2"}, {"relu2"}, "relu2");
    b.node("GlobalAveragePool", {"relu2"}, {"gap"}, "gap");
    b.node("Flatten", {"gap"}, {"features"}, "flatten");
    auto& fc = b.node("Gemm", {"features", "fc.w", "fc.b"}, {"logits"}, "fc");
    OnnxBuilder::attr(fc, "transB", int64_t{1});
    b.node("Softmax", {"logits"}, {"probabilities"}, "softmax");
    b.output("probabilities", {1, 10});
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
