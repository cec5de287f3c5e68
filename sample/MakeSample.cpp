// Writes the bundled sample: a small image classifier (two convolutions,
// pooling and a dense layer) and three raw input images with their list.
//   make-sample OUT_DIR
#include <fstream>
#include <iostream>

#include "tools/OnnxBuilder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make-sample OUT_DIR\n";
        return 2;
    }
    const std::string dir = argv[1];
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
    std::ofstream(dir + "/classifier.onnx", std::ios::binary) << b.serialize();

    std::ofstream list(dir + "/input_list.txt");
    for (uint32_t i = 0; i < 3; ++i) {
        const auto pixels = pseudoRandom(3 * 32 * 32, 100 + i, 1.0f);
        const std::string name = "image_" + std::to_string(i) + ".raw";
        std::ofstream(dir + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size() * 4));
        list << name << "\n";
    }
    return 0;
}
