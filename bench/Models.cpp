#include "bench/Models.h"

namespace benchmodels {
namespace {

uint32_t seed = 1;

std::string conv(OnnxBuilder& b, const std::string& in, int64_t cin, int64_t cout, int64_t k, int64_t stride,
                 int64_t group, bool relu) {
    const std::string name = "c" + std::to_string(seed);
    b.initializer(name + ".w", {cout, cin / group, k, k},
                  pseudoRandom(static_cast<size_t>(cout * (cin / group) * k * k), seed++, 0.1f));
    b.initializer(name + ".b", {cout}, pseudoRandom(static_cast<size_t>(cout), seed++, 0.1f));
    auto& n = b.node("Conv", {in, name + ".w", name + ".b"}, {name}, name);
    const int64_t p = k / 2;
    OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>{k, k});
    OnnxBuilder::attr(n, "pads", std::vector<int64_t>{p, p, p, p});
    OnnxBuilder::attr(n, "strides", std::vector<int64_t>{stride, stride});
    if (group != 1) OnnxBuilder::attr(n, "group", group);
    if (!relu) return name;
    b.node("Relu", {name}, {name + ".r"}, name + ".relu");
    return name + ".r";
}

std::string pool(OnnxBuilder& b, const std::string& in) {
    auto& n = b.node("MaxPool", {in}, {in + ".p"}, in + ".pool");
    OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>{2, 2});
    OnnxBuilder::attr(n, "strides", std::vector<int64_t>{2, 2});
    return in + ".p";
}

}  // namespace

std::string vggLike() {
    OnnxBuilder b("vgg_like");
    b.input("input", {1, 3, 112, 112});
    std::string t = conv(b, "input", 3, 32, 3, 1, 1, true);
    t = pool(b, conv(b, t, 32, 32, 3, 1, 1, true));
    t = pool(b, conv(b, conv(b, t, 32, 64, 3, 1, 1, true), 64, 64, 3, 1, 1, true));
    t = pool(b, conv(b, conv(b, t, 64, 128, 3, 1, 1, true), 128, 128, 3, 1, 1, true));
    b.node("GlobalAveragePool", {t}, {"output"}, "gap");
    b.output("output");
    return b.serialize();
}

std::string resnetLike() {
    OnnxBuilder b("resnet_like");
    b.input("input", {1, 64, 56, 56});
    std::string t = "input";
    for (int block = 0; block < 3; ++block) {
        std::string y = conv(b, t, 64, 32, 1, 1, 1, true);
        y = conv(b, y, 32, 32, 3, 1, 1, true);
        y = conv(b, y, 32, 64, 1, 1, 1, false);
        const std::string sum = "sum" + std::to_string(block);
        b.node("Add", {y, t}, {sum}, sum);
        b.node("Relu", {sum}, {sum + ".r"}, sum + ".relu");
        t = sum + ".r";
    }
    b.node("GlobalAveragePool", {t}, {"output"}, "gap");
    b.output("output");
    return b.serialize();
}

std::string mobilenetLike() {
    OnnxBuilder b("mobilenet_like");
    b.input("input", {1, 32, 112, 112});
    std::string t = "input";
    int64_t c = 32;
    for (int block = 0; block < 4; ++block) {
        t = conv(b, t, c, c, 3, block % 2 == 0 ? 2 : 1, c, true);
        t = conv(b, t, c, c * 2, 1, 1, 1, true);
        c *= 2;
    }
    b.node("GlobalAveragePool", {t}, {"output"}, "gap");
    b.output("output");
    return b.serialize();
}

}  // namespace benchmodels
