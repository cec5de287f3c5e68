#include "BiasCorrection.h"

#include <onnx/onnx_pb.h>

#include <set>

#include "FixedPointEncodings.h"

namespace vexart {

void ChannelMeans::add(const Tensor& t) {
    if (t.type() != DType::Float || t.rank() < 2 || t.size() == 0) return;
    const size_t channels = static_cast<size_t>(t.dim(1));
    const size_t inner = static_cast<size_t>(t.size()) / static_cast<size_t>(t.dim(0)) / channels;
    if (sums.empty()) sums.assign(channels, 0.0);
    if (sums.size() != channels) return;  // a shape that moved: the first one's channels stay
    const float* x = t.data<float>();
    for (size_t i = 0, n = static_cast<size_t>(t.size()); i < n; i += inner) {
        double s = 0;
        for (size_t j = 0; j < inner; ++j) s += x[i + j];
        sums[(i / inner) % channels] += s;
    }
    perChannel += static_cast<uint64_t>(t.size()) / channels;
}

std::vector<std::string> correctableProducts(const onnx::ModelProto& model) {
    std::set<std::string> constants;
    for (const auto& i : model.graph().initializer()) constants.insert(i.name());
    std::vector<std::string> out;
    for (const auto& n : model.graph().node()) {
        if ((n.op_type() == "Conv" || n.op_type() == "Gemm") && n.input_size() > 1 && constants.count(n.input(1)) != 0 &&
            n.output_size() > 0 && !n.output(0).empty()) {
            out.push_back(n.output(0));
        }
    }
    return out;
}

std::map<std::string, std::vector<float>> biasCorrections(
    const onnx::ModelProto& model, const std::map<std::string, TensorEncoding>& encodings,
    const std::map<std::string, ChannelMeans>& floatMeans, size_t executions, const std::map<std::string, Shape>& shapes,
    const std::function<void(Engine&, size_t)>& execute,
    const std::function<void(const std::string&, size_t, size_t)>& progress) {
    EngineOptions options = fixedPointOptions(encodings);
    options.biasCorrections.clear();
    size_t done = 0;
    const auto products = correctableProducts(model);
    for (const std::string& product : products) {
        if (progress) progress("bias", done++, products.size());
        const auto reference = floatMeans.find(product);
        if (reference == floatMeans.end() || reference->second.perChannel == 0) continue;
        Engine engine(model, options);
        // Measured before the output's own grid: its clipping is no bias to correct.
        const std::string computed = engine.computedName(product);
        engine.prepare(shapes, {computed});
        ChannelMeans fixed;
        for (size_t k = 0; k < executions; ++k) {
            execute(engine, k);
            fixed.add(engine.value(computed));
        }
        if (fixed.sums.size() != reference->second.sums.size()) continue;
        std::vector<float> shift(fixed.sums.size());
        for (size_t c = 0; c < shift.size(); ++c) {
            shift[c] = static_cast<float>(reference->second.mean(c) - fixed.mean(c));
        }
        options.biasCorrections[product] = std::move(shift);
    }
    if (progress) progress("bias", products.size(), products.size());
    return options.biasCorrections;
}

}  // namespace vexart
