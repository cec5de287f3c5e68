// vexa-dlc-diff: compares the raw outputs of a run with a reference (another
// run's output directory, or a directory of reference files) tensor by
// tensor, and can gate a CI job on tolerances.
//
//   vexa-dlc-diff [--max-abs-error X] [--min-cosine X] [--min-sqnr DB] [--min-top1 F] OUTPUT_DIR REFERENCE_DIR
//
// Exit status: 0 within every tolerance given, 1 when a tensor is not (or is
// missing, or differs in size) or a file cannot be read, 2 for a usage error.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include <onnx/onnx_pb.h>

#include "Compare.h"
#include "Container.h"
#include "FailureText.h"
#include "Printable.h"
#include "ToolUsage.h"

namespace {

int usage(bool asked = false) {
    return printUsage(
        "usage: vexa-dlc-diff [--max-abs-error X] [--min-cosine X] [--min-sqnr DB] [--min-top1 F] [--json FILE]\n"
           "                     [--container FILE [--classes-axis K]] OUTPUT_DIR REFERENCE_DIR\n"
           "Compares a run's raw outputs with a reference, tensor by tensor over every Result_N.\n"
           "REFERENCE_DIR is another run's output directory, or a directory of .raw files that stands\n"
           "for every result. Exit status 1 when a tensor is outside a tolerance given, missing, or\n"
           "differently sized; 2 for a usage error.\n"
           "  --max-abs-error X  the largest absolute difference of any element may be at most X\n"
           "  --min-cosine X     the cosine of the angle between output and reference, taken as\n"
           "                     vectors, must be at least X (1: same direction)\n"
           "  --min-sqnr DB      signal-to-noise ratio of the reference against the difference,\n"
           "                     10 log10(sum ref^2 / sum (out - ref)^2), at least DB decibels\n"
           "  --min-top1 F       the fraction of rows whose largest element is at the same index in\n"
           "                     both, at least F (rows of up to 65,536 classes; without a declared\n"
           "                     shape a whole result is one row)\n"
           "  --json FILE        the table as JSON (- for standard output, the table then omitted)\n"
           "  --container FILE   the model's container: a tensor whose shape it declares gets top-1\n"
           "                     agreement per row, classes along its last axis longer than 1, rows\n"
           "                     along a batch axis and one sequence axis ([2,5]: two rows of five;\n"
           "                     [1,32,1000]: 32 rows); raw files carry no shape of their own\n"
           "  --classes-axis K   with --container: the classes lie along axis K (negative: from the end)\n"
           "A NaN or infinity where the other side holds something else fails every tolerance.\n", asked);
}

bool number(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(out);
}

std::string shown(double v, const char* format) {
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// JSON has no infinities or NaN: they are written as strings.
nlohmann::json jsonNumber(double v) { return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(shown(v, "%g")); }

// Every tensor shape the container's graphs declare in full (inputs,
// outputs, value infos), by the tensor's place in a result directory.
vexart::TensorShapes declaredShapes(const std::string& path) {
    vexart::TensorShapes shapes;
    const vexart::ContainerModel model = vexart::openContainerFile(path, vexart::containerLimitsFromEnvironment());
    for (const auto& g : model.graphs) {
        onnx::ModelProto proto;
        if (!vexart::parseGraph(model, g, proto)) throw std::runtime_error("graph '" + g.name + "' is not valid ONNX");
        auto take = [&](const onnx::ValueInfoProto& v) {
            if (!v.type().has_tensor_type() || !v.type().tensor_type().has_shape()) return;
            std::vector<int64_t> dims;
            for (const auto& d : v.type().tensor_type().shape().dim()) {
                if (!d.has_dim_value()) return;
                dims.push_back(d.dim_value());
            }
            shapes.emplace(vexart::outputKey(v.name()), std::move(dims));
        };
        for (const auto& v : proto.graph().output()) take(v);
        for (const auto& v : proto.graph().value_info()) take(v);
        for (const auto& v : proto.graph().input()) take(v);
    }
    return shapes;
}

nlohmann::json toJson(const std::vector<vexart::TensorReport>& reports, const std::vector<std::string>& verdicts) {
    nlohmann::json tensors = nlohmann::json::array();
    for (size_t i = 0; i < reports.size(); ++i) {
        const auto& r = reports[i];
        const auto& s = r.stats;
        nlohmann::json t = {{"tensor", r.tensor},
                            {"results", r.results},
                            {"problems", r.problems},
                            {"ok", verdicts[i].empty()},
                            {"verdict", verdicts[i].empty() ? "ok" : verdicts[i]}};
        if (r.results != 0) {
            t["max_abs_error"] = jsonNumber(s.maxAbsError());
            t["mean_abs_error"] = jsonNumber(s.meanAbs());
            t["cosine"] = jsonNumber(s.cosine());
            t["sqnr_db"] = jsonNumber(s.sqnrDb());
            t["non_finite"] = s.nonFinite;
        }
        if (r.top1Total != 0) t["top1"] = {{"agree", r.top1Agree}, {"total", r.top1Total}};  // rows
        tensors.push_back(std::move(t));
    }
    return tensors;
}

}  // namespace

int main(int argc, char** argv) {
    vexart::Tolerances tol;
    std::vector<std::string> dirs;
    std::string jsonPath, containerPath;
    std::optional<int64_t> classesAxis;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") return usage(true);
        if (a == "--classes-axis") {
            double v = 0;
            if (i + 1 >= argc || !number(argv[++i], v) || v != std::floor(v) || std::fabs(v) > 64) return usage();
            classesAxis = static_cast<int64_t>(v);
            continue;
        }
        if (a == "--json" || a == "--container") {
            if (i + 1 >= argc) return usage();
            (a == "--json" ? jsonPath : containerPath) = argv[++i];
            continue;
        }
        std::optional<double>* target = a == "--max-abs-error" ? &tol.maxAbs
                                        : a == "--min-cosine"  ? &tol.minCosine
                                        : a == "--min-sqnr"    ? &tol.minSqnrDb
                                        : a == "--min-top1"    ? &tol.minTop1
                                                               : nullptr;
        if (target != nullptr) {
            double v = 0;
            if (i + 1 >= argc || !number(argv[++i], v)) return usage();
            *target = v;
        } else if (a.rfind("-", 0) == 0 || dirs.size() == 2) {
            return usage();
        } else {
            dirs.push_back(a);
        }
    }
    if (dirs.size() != 2 || (classesAxis && containerPath.empty())) return usage();
    try {
        const vexart::TensorShapes shapes = containerPath.empty() ? vexart::TensorShapes{} : declaredShapes(containerPath);
        const auto reports =
            vexart::compareTrees(vexart::readOutputTree(dirs[0]), vexart::readOutputTree(dirs[1]), shapes, classesAxis);
        if (reports.empty()) throw std::runtime_error("no .raw files in either directory");
        std::vector<std::string> verdicts;
        size_t failed = 0, width = 32;
        for (const auto& r : reports) {
            verdicts.push_back(vexart::toleranceFailure(r, tol));
            failed += verdicts.back().empty() ? 0 : 1;
            width = std::max(width, vexart::printable(r.tensor).size());  // long names widen the column, never shift the rest
        }
        // A gate that found nothing to measure has not passed.
        const bool top1Measured =
            std::any_of(reports.begin(), reports.end(), [](const vexart::TensorReport& r) { return r.top1Total != 0; });
        const std::string unmeasured =
            tol.minTop1 && !top1Measured
                ? "--min-top1 measured nothing: no tensor looks like class scores (one axis of at most 65,536 "
                  "elements once axes of 1 are dropped, in the shape --container declares)"
                : "";
        const int w = static_cast<int>(width);
        if (jsonPath != "-") {
            std::printf("%-*s %7s %11s %11s %9s %9s %7s  %s\n", w, "tensor", "results", "max_abs", "mean_abs",
                        "cosine", "sqnr_db", "top1", "verdict");
            for (size_t i = 0; i < reports.size(); ++i) {
                const auto& r = reports[i];
                const auto& s = r.stats;
                const std::string top1 =
                    r.top1Total == 0 ? "-" : std::to_string(r.top1Agree) + "/" + std::to_string(r.top1Total);
                // A tensor that was never compared has no figures, only its failure.
                const bool measured = r.results != 0;
                auto figure = [&](double v, const char* format) { return measured ? shown(v, format) : "-"; };
                std::printf("%-*s %7llu %11s %11s %9s %9s %7s  %s\n", w, vexart::printable(r.tensor).c_str(),
                            static_cast<unsigned long long>(r.results), figure(s.maxAbsError(), "%.4g").c_str(),
                            figure(s.meanAbs(), "%.4g").c_str(), figure(s.cosine(), "%.6f").c_str(),
                            figure(s.sqnrDb(), "%.2f").c_str(), top1.c_str(),
                            verdicts[i].empty() ? "ok" : verdicts[i].c_str());
            }
            std::printf("%zu of %zu tensor(s) outside the tolerances\n", failed, reports.size());
        }
        for (const auto& r : reports) {
            if (!r.note.empty()) std::cerr << "vexa-dlc-diff: " << vexart::printable(r.tensor) << ": " << r.note << "\n";
        }
        if (!unmeasured.empty()) std::cerr << "vexa-dlc-diff: " << unmeasured << "\n";
        if (!jsonPath.empty()) {
            nlohmann::json doc = {{"output", dirs[0]}, {"reference", dirs[1]}, {"tensors", toJson(reports, verdicts)},
                                  {"failed", failed}};
            if (!unmeasured.empty()) doc["gate_failure"] = unmeasured;
            const std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
            if (jsonPath == "-") {
                std::fwrite(text.data(), 1, text.size(), stdout);
            } else {
                std::ofstream out(jsonPath, std::ios::binary);
                out << text;
                out.close();
                if (!out) throw std::runtime_error("cannot write " + jsonPath);
            }
        }
        return failed == 0 && unmeasured.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-diff: " << vexart::printable(vexart::failureText(e), std::string::npos) << "\n";
        return 1;
    }
}
