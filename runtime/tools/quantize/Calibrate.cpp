#include "Calibrate.h"

#include <onnx/onnx_pb.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "BiasCorrection.h"
#include "Container.h"
#include "Engine.h"
#include "graph/Graph.h"
#include "passes/FixedPoint.h"

namespace vexart {
namespace {

// Input lists are text of a few kilobytes; this bounds what a wrong file costs.
constexpr uint64_t kMaxListBytes = uint64_t{64} << 20;

// A raw file into input `name`'s tensor `t`, in the tensor's own type.
void readInput(const std::string& path, const std::string& name, Tensor& t) {
    const size_t expected = t.bytes();
    auto mismatch = [&](uintmax_t held) {
        return std::runtime_error(path + " holds " + std::to_string(held) + " bytes; input '" + name + "' of shape " +
                                  shapeText(t.shape()) + " needs " + std::to_string(expected) + " (" +
                                  std::to_string(t.size()) + " " + dtypeName(t.type()) +
                                  " values; --input_dimensions sets a shape the graph leaves open)");
    };
    // The size first: a file of another shape is named as such, not read.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) {
        const uintmax_t size = std::filesystem::file_size(path, ec);
        if (!ec && size != expected) throw mismatch(size);
    }
    std::vector<uint8_t> bytes;
    try {
        bytes = readRegularFile(path, expected);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    if (bytes.size() != expected) throw mismatch(bytes.size());
    std::memcpy(t.raw(), bytes.data(), bytes.size());
    if (t.type() != DType::Float) return;
    const float* v = t.data<float>();
    for (int64_t i = 0; i < t.size(); ++i) {
        if (!std::isfinite(v[i])) {
            throw std::runtime_error(path + " holds " + std::to_string(v[i]) + " at element " + std::to_string(i) +
                                     "; calibration data must be finite");
        }
    }
}

// A float initializer's values, raw or listed.
std::optional<std::vector<float>> weightValues(const onnx::TensorProto& t) {
    if (t.data_type() != onnx::TensorProto::FLOAT || t.data_location() == onnx::TensorProto::EXTERNAL) return {};
    if (t.has_raw_data()) {
        std::vector<float> v(t.raw_data().size() / 4);
        std::memcpy(v.data(), t.raw_data().data(), v.size() * 4);
        return v;
    }
    return std::vector<float>(t.float_data().begin(), t.float_data().end());
}

struct Range {
    float min = std::numeric_limits<float>::max();
    float max = std::numeric_limits<float>::lowest();
    // Non-finite values (an attention mask's -inf, an overflow) lie on no
    // grid; the range is that of the finite ones.
    void add(const float* x, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (!std::isfinite(x[i])) continue;
            min = std::fmin(min, x[i]);
            max = std::fmax(max, x[i]);
        }
    }
};

void measureNoise(const float* x, size_t n, const TensorEncoding& e, std::vector<float>& scratch, ErrorStats& s) {
    scratch.resize(n);
    quantizeDequantize(x, scratch.data(), n, e);
    s.add(x, scratch.data(), n);
}

}  // namespace

std::vector<CalibrationLine> readCalibrationList(const std::string& path) {
    std::vector<uint8_t> bytes;
    try {
        bytes = readRegularFile(path, kMaxListBytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot read the input list " + path + ": " + e.what());
    }
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<CalibrationLine> lines;
    std::string text;
    size_t number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#' || text[first] == '%' || text[first] == '$') continue;
        std::istringstream tokens(text);
        CalibrationLine line;
        std::set<std::string> named;
        size_t plain = 0;
        for (std::string token; tokens >> token;) {
            const size_t sep = token.find(":=");
            if (sep == std::string::npos) {
                ++plain;
                line.emplace_back("", token);
            } else {
                // Which of two files would calibrate it is a guess: refused.
                const std::string name = token.substr(0, sep);
                if (!named.insert(name).second) {
                    throw std::runtime_error("the input list " + path + " names input '" + name + "' twice on line " +
                                             std::to_string(number));
                }
                line.emplace_back(name, token.substr(sep + 2));
            }
        }
        // A plain file stands for the input at its place on the line, which
        // a named one may already be: the two ways are not mixed.
        if (plain != 0 && !named.empty()) {
            throw std::runtime_error("line " + std::to_string(number) + " of the input list " + path +
                                     " mixes name:=file with plain files");
        }
        lines.push_back(std::move(line));
    }
    if (lines.empty()) throw std::runtime_error("the input list " + path + " names no input");
    return lines;
}

std::vector<LayerReport> calibrate(onnx::ModelProto model, const std::vector<CalibrationLine>& lines,
                                   const CalibrationOptions& options) {
    std::vector<LayerReport> reports;
    std::vector<float> scratch;
    std::map<std::string, int64_t> channelAxis;  // weights of products: their output-channel axis
    if (options.perChannel) {
        for (const auto& n : model.graph().node()) {
            const int64_t axis = productWeightAxis(n);
            if (axis >= 0 && n.input_size() > 1) channelAxis.emplace(n.input(1), axis);
        }
    }
    for (const auto& t : model.graph().initializer()) {
        const auto values = weightValues(t);
        if (!values || values->empty()) continue;
        Range r;
        r.add(values->data(), values->size());
        LayerReport w;
        w.tensor = t.name();
        w.weight = true;
        w.min = r.min;
        w.max = r.max;
        const std::vector<int64_t> dims(t.dims().begin(), t.dims().end());
        const auto axis = channelAxis.find(t.name());
        int64_t count = 1;  // the dims' product, while it can still match the values
        for (int64_t d : dims) count = d > 0 && d <= static_cast<int64_t>(values->size()) / count ? count * d : -1;
        if (axis != channelAxis.end() && axis->second < static_cast<int64_t>(dims.size()) &&
            count == static_cast<int64_t>(values->size())) {
            w.encoding = perChannelEncoding(values->data(), dims, axis->second, options.weightBits);
            scratch.resize(values->size());
            quantizeDequantizeChannels(values->data(), scratch.data(), dims, w.encoding);
            w.noise.add(values->data(), scratch.data(), values->size());
        } else {
            w.encoding = encodingForRange(r.min, r.max, options.weightBits);
            measureNoise(values->data(), values->size(), w.encoding, scratch, w.noise);
        }
        reports.push_back(std::move(w));
    }

    // The float model again, for the fixed-point runs that correct biases.
    const onnx::ModelProto original = options.biasCorrection ? model : onnx::ModelProto();
    std::map<std::string, ChannelMeans> floatMeans;
    if (options.biasCorrection) {
        for (const auto& product : correctableProducts(model)) floatMeans[product];
    }
    Graph g(std::move(model));
    std::vector<std::string> inputs;
    for (const auto& v : g.inputs()) inputs.push_back(v.name);
    std::vector<std::string> tracked = inputs;
    for (const auto& name : g.nodeOutputNames()) tracked.push_back(name);
    const std::map<std::string, Shape> shapes(options.inputShapes.begin(), options.inputShapes.end());
    g.checkInputShapes(shapes);
    g.prepare(shapes, g.nodeOutputNames());

    // Line k's files into the inputs of `target` (the float graph or a fixed-point engine).
    auto feed = [&](auto& target, const CalibrationLine& line) {
        if (line.size() != inputs.size()) {
            throw std::runtime_error("an input line names " + std::to_string(line.size()) + " file(s); the graph has " +
                                     std::to_string(inputs.size()) + " input(s)");
        }
        for (size_t i = 0; i < line.size(); ++i) {
            const std::string& name = line[i].first.empty() ? inputs[i] : line[i].first;
            readInput(line[i].second, name, target.input(name));
        }
    };
    // Runs the set once, handing every float tensor to `visit`.
    auto pass = [&](const std::string& label, const std::function<void(size_t, const float*, size_t)>& visit) {
        for (size_t k = 0; k < lines.size(); ++k) {
            if (options.progress) options.progress(label, k, lines.size());
            feed(g, lines[k]);
            g.run();
            for (size_t i = 0; i < tracked.size(); ++i) {
                const Tensor& v = g.value(tracked[i]);
                if (v.type() == DType::Float && v.size() > 0) visit(i, v.data<float>(), static_cast<size_t>(v.size()));
            }
        }
        if (options.progress) options.progress(label, lines.size(), lines.size());
    };

    std::vector<Range> ranges(tracked.size());
    pass("ranges", [&](size_t i, const float* x, size_t n) {
        ranges[i].add(x, n);
        const auto m = floatMeans.find(tracked[i]);
        if (m != floatMeans.end()) m->second.add(g.value(tracked[i]));
    });
    if (options.percentile < 100 || options.mse) {
        std::vector<Histogram> histograms;
        for (const auto& r : ranges) histograms.emplace_back(r.min, r.max);
        pass("histograms", [&](size_t i, const float* x, size_t n) { histograms[i].add(x, n); });
        const double tail = (100 - options.percentile) / 100;
        for (size_t i = 0; i < ranges.size(); ++i) {
            if (ranges[i].min > ranges[i].max) continue;
            if (options.mse) {
                histograms[i].mseRange(options.activationBits, ranges[i].min, ranges[i].max);
                continue;
            }
            ranges[i].min = std::fmax(ranges[i].min, histograms[i].quantile(tail));
            ranges[i].max = std::fmin(ranges[i].max, histograms[i].quantile(1 - tail));
        }
    }
    const size_t firstActivation = reports.size();
    for (size_t i = 0; i < tracked.size(); ++i) {
        LayerReport a;
        a.tensor = tracked[i];
        a.min = ranges[i].min;
        a.max = ranges[i].max;
        a.encoding = encodingForRange(a.min, a.max, options.activationBits);
        reports.push_back(std::move(a));
    }
    pass("noise", [&](size_t i, const float* x, size_t n) {
        LayerReport& a = reports[firstActivation + i];
        measureNoise(x, n, a.encoding, scratch, a.noise);
    });
    if (options.biasCorrection) {
        std::map<std::string, TensorEncoding> encodings;
        for (const auto& r : reports) {
            if (r.noise.elements > 0) encodings[r.tensor] = r.encoding;
        }
        const auto shifts = biasCorrections(
            original, encodings, floatMeans, lines.size(), shapes,
            [&](Engine& e, size_t k) {
                feed(e, lines[k]);
                e.run();
            },
            options.progress);
        for (auto& r : reports) {
            const auto s = shifts.find(r.tensor);
            if (s != shifts.end()) r.encoding.biasCorrection = s->second;
        }
    }
    // Tensors that never held a float (integer shapes, indices) get no encoding.
    std::vector<LayerReport> kept;
    for (auto& r : reports) {
        if (r.noise.elements > 0) kept.push_back(std::move(r));
    }
    return kept;
}

}  // namespace vexart
