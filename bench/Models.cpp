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

// A branch that yields `out`: x + x innermost, else an If on c one level down.
onnx::GraphProto nestedBranch(int depth, const std::string& out) {
    onnx::GraphProto g;
    g.set_name("level" + std::to_string(depth));
    if (depth == 0) {
        OnnxBuilder::addNode(g, "Add", {"x", "x"}, {out});
    } else {
        auto& n = OnnxBuilder::addNode(g, "If", {"c"}, {out});
        OnnxBuilder::attr(n, "then_branch", nestedBranch(depth - 1, out + "t"));
        onnx::GraphProto otherwise;
        otherwise.set_name("else" + std::to_string(depth));
        OnnxBuilder::addNode(otherwise, "Identity", {"x"}, {out + "e"});
        *otherwise.add_output() = OnnxBuilder::typed(out + "e", onnx::TensorProto::FLOAT);
        OnnxBuilder::attr(n, "else_branch", otherwise);
    }
    *g.add_output() = OnnxBuilder::typed(out, onnx::TensorProto::FLOAT);
    return g;
}

}  // namespace

OnnxBuilder negationChain(int length) {
    OnnxBuilder m("chain", 13);
    m.input("x", {1, 4});
    std::string last = "x";
    for (int i = 0; i < length; ++i) {
        const std::string next = i + 1 == length ? "y" : "v" + std::to_string(i);
        m.node("Neg", {last}, {next});
        last = next;
    }
    m.output("y", {1, 4});
    return m;
}

OnnxBuilder nestedIf(int depth) {
    OnnxBuilder m("nested", 16);
    m.input("c", {}, onnx::TensorProto::BOOL);
    m.input("x", {1, 4});
    auto& n = m.node("If", {"c"}, {"y"});
    OnnxBuilder::attr(n, "then_branch", nestedBranch(depth - 1, "y0"));
    onnx::GraphProto otherwise;
    otherwise.set_name("else");
    OnnxBuilder::addNode(otherwise, "Identity", {"x"}, {"ye"});
    *otherwise.add_output() = OnnxBuilder::typed("ye", onnx::TensorProto::FLOAT);
    OnnxBuilder::attr(n, "else_branch", otherwise);
    m.output("y", {1, 4});
    return m;
}

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
