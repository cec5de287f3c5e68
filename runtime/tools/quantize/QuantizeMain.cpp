// vexa-dlc-quantize: calibrates a container's graph on raw inputs and writes
// fixed-point encodings for its activations and weights into the container,
// keeping everything else it holds.
//
//   vexa-dlc-quantize --container IN.dlc --input_list LIST [-o OUT.dlc] [--graph NAME]
//                     [--act_bitwidth 8|16] [--weight_bitwidth 8|16] [--percentile P | --mse] [--per_tensor]
//                     [--bias_correction]
#include <onnx/onnx_pb.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

#include "Calibrate.h"
#include "Container.h"
#include "FailureText.h"
#include "Printable.h"
#include "ToolUsage.h"

namespace {

int usage(bool asked = false) {
    return printUsage(
        "usage: vexa-dlc-quantize --container IN.dlc --input_list LIST [-o OUT.dlc] [--graph NAME]\n"
           "                         [--input_dimensions NAME=D1,D2,...]...\n"
           "                         [--act_bitwidth 8|16] [--weight_bitwidth 8|16] [--percentile P | --mse]\n"
           "                         [--per_tensor] [--bias_correction]\n"
           "Calibrates a container's graph on raw inputs and writes fixed-point encodings into it.\n"
           "  --input_list LIST  raw files, one input line per calibration sample (name:=file allowed), each\n"
           "                     in its input's own type (float32 pictures, int64 token ids, ...)\n"
           "  --input_dimensions NAME=D1,D2,...  the shape of an input whose dimensions the graph leaves open\n"
           "  -o OUT.dlc         where to write (default: update IN.dlc in place)\n"
           "  --graph NAME       the graph to calibrate (default: the first)\n"
           "  --act_bitwidth, --weight_bitwidth  8 (default) or 16 bits\n"
           "  --percentile P     clip each activation range to the P-th percentile at both ends\n"
           "                     (50 to 100; default 100: the observed minimum and maximum)\n"
           "  --mse              choose each activation range to hold the values seen with the least\n"
           "                     mean squared error (rounding inside it, clipping outside)\n"
           "  --per_tensor       one step for all of a weight tensor (default: weights of convolutions\n"
           "                     and dense layers get a symmetric step per output channel, and the\n"
           "                     table shows the largest; --per_channel says so explicitly)\n"
           "  --bias_correction  run the network in fixed point once per convolution and dense layer, in\n"
           "                     order, and add to its bias what its outputs lack against float on\n"
           "                     average, per channel (mean shifts from rounding stop compounding)\n", asked);
}

bool bitWidth(const std::string& v, uint32_t& out) {
    if (v != "8" && v != "16") return false;
    out = v == "8" ? 8 : 16;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string container, list, output, graphName;
    vexart::CalibrationOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--per_channel" || a == "--per_tensor") {
            options.perChannel = a == "--per_channel";
            continue;
        }
        if (a == "--mse") {
            options.mse = true;
            continue;
        }
        if (a == "--bias_correction") {
            options.biasCorrection = true;
            continue;
        }
        if (a == "-h" || a == "--help") return usage(true);
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (a == "--container") {
            container = v;
        } else if (a == "--input_list") {
            list = v;
        } else if (a == "-o") {
            output = v;
        } else if (a == "--graph") {
            graphName = v;
        } else if (a == "--input_dimensions") {
            const size_t eq = v.rfind('=');
            if (eq == std::string::npos || eq == 0 || options.inputShapes.count(v.substr(0, eq)) != 0) return usage();
            std::vector<int64_t>& dims = options.inputShapes[v.substr(0, eq)];
            for (size_t start = eq + 1; start <= v.size();) {
                size_t end = v.find(',', start);
                if (end == std::string::npos) end = v.size();
                const std::string d = v.substr(start, end - start);
                char* stop = nullptr;
                const long long n = std::strtoll(d.c_str(), &stop, 10);
                if (d.empty() || *stop != '\0' || n < 0 || n > (1LL << 40)) return usage();
                dims.push_back(n);
                start = end + 1;
            }
        } else if (a == "--act_bitwidth") {
            if (!bitWidth(v, options.activationBits)) return usage();
        } else if (a == "--weight_bitwidth") {
            if (!bitWidth(v, options.weightBits)) return usage();
        } else if (a == "--percentile") {
            char* end = nullptr;
            options.percentile = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(options.percentile >= 50 && options.percentile <= 100)) return usage();
        } else {
            return usage();
        }
    }
    if (container.empty() || list.empty() || (options.mse && options.percentile < 100)) return usage();
    const bool inPlace = output.empty();
    if (inPlace) output = container;
    try {
        std::error_code same;
        if (std::filesystem::equivalent(output, list, same) && !same) {
            throw std::runtime_error(vexart::printable(output) + " is the input list; the container would replace it");
        }
        // Held from reading to writing: a save by another program (an init
        // cache, another quantize) waits instead of being lost.
        const vexart::FileUpdateLock lock(output);
        vexart::ContainerModel model = vexart::openContainerFile(container, vexart::containerLimitsFromEnvironment());
        vexart::ContainerGraph* graph = &model.graphs.front();
        for (auto& g : model.graphs) {
            if (g.name == graphName) graph = &g;
        }
        if (!graphName.empty() && graph->name != graphName) {
            throw std::runtime_error("the container has no graph '" + graphName + "'");
        }
        onnx::ModelProto proto;
        if (!vexart::parseGraph(model, *graph, proto)) throw std::runtime_error("graph '" + graph->name + "' is not ONNX");
        const auto lines = vexart::readCalibrationList(list);
        // A counter kept on one line on a terminal; elsewhere a line per
        // quarter, and per layer for the bias corrections (each is many
        // runs of the set). Past the first step, the time left at the pace so far.
        const bool terminal = isatty(STDERR_FILENO) != 0;
        auto started = std::chrono::steady_clock::now();
        options.progress = [terminal, &started](const std::string& pass, size_t done, size_t total) {
            const auto now = std::chrono::steady_clock::now();
            if (done == 0) started = now;
            const double elapsed = std::chrono::duration<double>(now - started).count();
            char left[48] = "";
            if (done > 0 && done < total) {
                std::snprintf(left, sizeof left, ", about %.0f s left", elapsed / static_cast<double>(done) * static_cast<double>(total - done));
            }
            const bool step = done == total || pass == "bias" || (done > 0 && done * 4 / total != (done - 1) * 4 / total);
            if (terminal) {
                std::fprintf(stderr, "\r%-10s %zu/%zu%-28s", pass.c_str(), done, total, left);
                if (done == total) std::fputc('\n', stderr);
            } else if (step && (done > 0 || total == 0)) {
                std::fprintf(stderr, "%-10s %zu/%zu%s\n", pass.c_str(), done, total, left);
            }
        };
        const auto layers = vexart::calibrate(std::move(proto), lines, options);

        std::printf("%-40s %-8s %10s %12s %12s %6s %9s\n", "tensor", "kind", "min", "max", "step", "offset",
                    "sqnr_db");
        size_t corrected = 0;
        float largestShift = 0;
        std::string largestAt;
        for (const auto& l : layers) {
            graph->encodings[l.tensor] = l.encoding;
            corrected += l.encoding.biasCorrection.empty() ? 0 : 1;
            for (float v : l.encoding.biasCorrection) {
                if (std::fabs(v) > largestShift) largestShift = std::fabs(v), largestAt = l.tensor;
            }
            char sqnr[32];
            std::snprintf(sqnr, sizeof sqnr, "%.2f", l.noise.sqnrDb());  // "inf": no noise at all
            const char* kind = !l.weight ? "act" : l.encoding.channelSteps.empty() ? "weight" : "weight/c";
            std::printf("%-40s %-8s %10.5g %12.5g %12.5g %6llu %9s\n", vexart::printable(l.tensor).c_str(), kind,
                        l.min, l.max, l.encoding.stepSize, static_cast<unsigned long long>(l.encoding.stepExactly0),
                        sqnr);
        }
        if (options.biasCorrection) {
            std::printf("bias corrections for %zu convolution and dense-layer outputs", corrected);
            if (!largestAt.empty()) std::printf(" (the largest, %.5g, at %s)", largestShift, vexart::printable(largestAt).c_str());
            std::printf("\n");
        }
        vexart::writeContainer(model, output, lock);
        std::printf("%zu encodings for graph '%s' written to %s%s (%zu calibration inputs)\n", layers.size(),
                    vexart::printable(graph->name).c_str(), vexart::printable(output).c_str(), inPlace ? ", updating the container in place" : "",
                    lines.size());
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-quantize: " << vexart::printable(vexart::failureText(e), std::string::npos) << "\n";
        return 1;
    }
}
