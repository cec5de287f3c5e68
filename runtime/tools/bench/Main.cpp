// vexa-bench: how fast is a model? Loads a container through the runtime
// library, feeds every input of a graph (generated from its declared shape
// and type, or read from raw files), and times the load, the first
// execution and the steady state apart.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "OpenDims.h"
#include "Printable.h"
#include "Statistics.h"
#include "runtimelib/UniqueHandle.h"
#include "ToolUsage.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

int usage(bool asked) {
    return printUsage(
        "usage: vexa-bench CONTAINER [--threads N] [--warmup N] [--iterations N | --duration S] [--fixed-point]\n"
           "                  [--graph NAME] [--inputs random|zeros|VALUE] [--input [NAME=]FILE.raw]...\n"
           "                  [--input_dimensions NAME=D1,D2,...]... [--dim NAME=N]... [--free-dims N]\n"
           "                  [--profile DIR] [--output FILE.raw]\n"
           "                  [--output_dir DIR]\n"
           "                  [--json [FILE.json]]\n"
           "Times a model: load (container open and build), the first execution, then the steady state.\n"
           "  --threads N          threads of the CPU runtime (default: every core)\n"
           "  --warmup N           executions after the first that are not measured (default 5)\n"
           "  --iterations N       measured executions (default 50)\n"
           "  --duration S         measure for S seconds instead\n"
           "  --fixed-point        run the CPU runtime in fixed point, on the container's encodings\n"
           "  --graph NAME         the graph to run (default: the first)\n"
           "  --inputs MODE        generated inputs: random (default; floats in [-1, 1), integers 0 to 9),\n"
           "                       zeros, or one constant VALUE\n"
           "  --input NAME=FILE    an input's values from a raw float32 file instead (FILE alone: the first input)\n"
           "  --input_dimensions NAME=D1,D2,...  the shape of an input whose dimensions the model leaves open\n"
           "  --dim NAME=N         an open dimension by the model's name for it (--dim sequence=128)\n"
           "  --free-dims N        every open dimension not given otherwise (an open one left unset is refused)\n"
           "  --profile DIR        write the diagnostic log of the run into DIR (vexa-diagview reads it)\n"
           "  --output FILE.raw    the first output of the first execution, for checking\n"
           "  --output_dir DIR     every output of the first execution as DIR/NAME.raw (float32; characters\n"
           "                       of NAME other than letters, digits, '.', '-' and '_' become '_')\n"
           "  --json [FILE.json]   every figure as JSON, on standard output or into FILE.json\n", asked);
}

struct Options {
    std::string container, graph, inputs = "random", profileDir, outputPath, outputDir, jsonPath;
    bool json = false, fixedPoint = false;
    int threads = 0;
    long warmup = 5, iterations = 50;
    double duration = 0;
    std::map<std::string, std::string> inputFiles;
    std::map<std::string, std::vector<size_t>> dims;
    std::map<std::string, size_t> namedDims;
    long freeDims = -1;
};

bool count(const std::string& text, long& out, long least) {
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out >= least && out <= 100000000;
}

// NAME=VALUE; false when there is no '=' or no name.
bool assignment(const std::string& text, std::string& name, std::string& value) {
    const size_t eq = text.rfind('=');
    if (eq == std::string::npos || eq == 0) return false;
    name = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

// -1: go on; otherwise the exit status.
int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        auto next = [&]() { return std::string(argv[++i]); };
        std::string name, value;
        long n = 0;
        if (a == "-h" || a == "--help") return usage(true);
        if (a == "--fixed-point") {
            o.fixedPoint = true;
        } else if (a == "--json") {
            o.json = true;
            // A value only when it names a .json file: "--json" alone is standard output.
            if (hasValue && std::string(argv[i + 1]).size() > 5 &&
                std::string(argv[i + 1]).compare(std::string(argv[i + 1]).size() - 5, 5, ".json") == 0) {
                o.jsonPath = next();
            }
        } else if (a == "--threads" && hasValue && count(next(), n, 1) && n <= 1024) {
            o.threads = static_cast<int>(n);
        } else if (a == "--warmup" && hasValue && count(next(), n, 0)) {
            o.warmup = n;
        } else if (a == "--iterations" && hasValue && count(next(), n, 1)) {
            o.iterations = n;
        } else if (a == "--duration" && hasValue) {
            char* end = nullptr;
            const std::string v = next();
            o.duration = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.duration > 0 && o.duration <= 86400)) {
                return usageError("vexa-bench", "--duration takes seconds above 0 and at most 86400, not '" +
                                                    vexart::printable(v, 40) + "'");
            }
        } else if ((a == "--graph" || a == "--inputs" || a == "--profile" || a == "--output" || a == "--output_dir") &&
                   hasValue) {
            (a == "--graph"      ? o.graph
             : a == "--inputs"   ? o.inputs
             : a == "--profile"  ? o.profileDir
             : a == "--output"   ? o.outputPath
                                 : o.outputDir) = next();
        } else if (a == "--input" && hasValue) {
            // NAME=FILE, or FILE alone for the graph's first input.
            const std::string v = next();
            if (assignment(v, name, value)) {
                o.inputFiles[name] = value;
            } else {
                o.inputFiles[""] = v;
            }
        } else if (a == "--free-dims" && hasValue) {
            const std::string v = next();
            if (!count(v, n, 0)) return usageError("vexa-bench", "--free-dims takes a count, not '" + vexart::printable(v, 40) + "'");
            o.freeDims = n;
        } else if (a == "--dim" && hasValue) {
            const std::string v = next();
            if (!assignment(v, name, value) || !count(value, n, 0)) {
                return usageError("vexa-bench", "--dim takes NAME=N, not '" + vexart::printable(v, 60) + "'");
            }
            if (!o.namedDims.emplace(name, static_cast<size_t>(n)).second) {
                return usageError("vexa-bench", "--dim gives '" + vexart::printable(name, 60) + "' twice");
            }
        } else if (a == "--input_dimensions" && hasValue && assignment(next(), name, value)) {
            if (o.dims.count(name) != 0) {
                return usageError("vexa-bench", "--input_dimensions gives '" + vexart::printable(name, 60) + "' twice");
            }
            std::vector<size_t>& d = o.dims[name];
            for (size_t start = 0; start <= value.size();) {
                size_t end = value.find(',', start);
                if (end == std::string::npos) end = value.size();
                if (!count(value.substr(start, end - start), n, 0)) {
                    return usageError("vexa-bench", "--input_dimensions for '" + vexart::printable(name, 60) +
                                                        "' takes counts separated by commas, not '" +
                                                        vexart::printable(value, 60) + "'");
                }
                d.push_back(static_cast<size_t>(n));
                start = end + 1;
            }
        } else if (a.rfind("-", 0) != 0 && !o.container.empty()) {
            // A second container is a file meant for an option that took none.
            return usageError("vexa-bench", "a second container '" + vexart::printable(a, 60) + "'" +
                                                (i > 1 && std::string(argv[i - 1]) == "--json"
                                                     ? " (a --json file must end in .json)"
                                                     : ""));
        } else if (a.rfind("-", 0) == 0) {
            return usage(false);
        } else {
            o.container = a;
        }
    }
    if (o.container.empty()) return usage(false);
    if (o.inputs != "random" && o.inputs != "zeros") {
        char* end = nullptr;
        const double v = std::strtod(o.inputs.c_str(), &end);
        if (o.inputs.empty() || *end != '\0' || !std::isfinite(v)) return usage(false);
    }
    return -1;
}

// More elements than one input may have: 2^31 floats, 8 GiB.
constexpr size_t kLargestInput = size_t{1} << 31;

std::string shapeText(Vexa_TensorShape_Handle_t dims) {
    std::string text = "[";
    for (size_t k = 0; dims != nullptr && k < Vexa_TensorShape_Rank(dims); ++k) {
        text += (k == 0 ? "" : ",") + std::to_string(Vexa_TensorShape_At(dims, k));
    }
    return text + "]";
}

std::string libraryError() {
    const char* e = Vexa_ErrorCode_GetLastErrorString();
    return e != nullptr ? vexart::printable(e, std::string::npos) : "unknown error";
}

std::vector<std::string> items(Vexa_StringList_Handle_t list) {
    std::vector<std::string> v;
    for (size_t i = 0; list != nullptr && i < Vexa_StringList_Size(list); ++i) v.emplace_back(Vexa_StringList_At(list, i));
    return v;
}

// One input, made once: its tensor is refilled from `values` before each execution.
struct Input {
    std::string name;
    TensorShapeHandle dims;
    uint32_t type = VEXA_ELEMENT_FLOAT;
    std::vector<float> values;
};

const char* typeName(uint32_t t) {
    switch (t) {
        case VEXA_ELEMENT_FLOAT: return "float32";
        case VEXA_ELEMENT_FLOAT16: return "float16";
        case VEXA_ELEMENT_TF8: return "fixedPoint8";
        case VEXA_ELEMENT_TF16: return "fixedPoint16";
        case VEXA_ELEMENT_INT32: return "int32";
        case VEXA_ELEMENT_UINT32: return "uint32";
        case VEXA_ELEMENT_INT8: return "int8";
        case VEXA_ELEMENT_UINT8: case VEXA_ELEMENT_UNSIGNED8BIT: return "uint8";
        case VEXA_ELEMENT_INT16: return "int16";
        case VEXA_ELEMENT_UINT16: return "uint16";
        case VEXA_ELEMENT_BOOL8: return "bool8";
        case VEXA_ELEMENT_INT64: return "int64";
        case VEXA_ELEMENT_UINT64: return "uint64";
        default: return "unknown";
    }
}

bool integerType(uint32_t t) {
    return t == VEXA_ELEMENT_INT32 || t == VEXA_ELEMENT_UINT32 || t == VEXA_ELEMENT_INT8 || t == VEXA_ELEMENT_UINT8 ||
           t == VEXA_ELEMENT_INT16 || t == VEXA_ELEMENT_UINT16 || t == VEXA_ELEMENT_INT64 ||
           t == VEXA_ELEMENT_UINT64 || t == VEXA_ELEMENT_UNSIGNED8BIT || t == VEXA_ELEMENT_BOOL8;
}

void fill(const Options& o, uint32_t type, std::mt19937& rng, std::vector<float>& v) {
    if (o.inputs == "zeros") {
        std::fill(v.begin(), v.end(), 0.0f);
    } else if (o.inputs != "random") {
        std::fill(v.begin(), v.end(), std::strtof(o.inputs.c_str(), nullptr));
    } else if (integerType(type)) {
        // Ids, indices and flags: small values every such input takes.
        std::uniform_int_distribution<int> d(0, type == VEXA_ELEMENT_BOOL8 ? 1 : 9);
        for (float& x : v) x = static_cast<float>(d(rng));
    } else {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (float& x : v) x = d(rng);
    }
}

// The file an output of the first execution is written to under --output_dir.
std::string outputFile(const std::string& dir, const std::string& tensor) {
    std::string file = tensor;
    for (char& ch : file) ch = std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' ? ch : '_';
    if (file.empty() || file == "." || file == "..") file = "_" + file;
    return dir + "/" + file + ".raw";
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// Every file the run will write, checked before it runs: none may be a file
// it reads (the container, an input), nor two outputs one file; --output_dir
// is made now. Empty when all is well, else why not.
std::string checkOutputs(const Options& o, const std::vector<std::string>& outputs) {
    std::vector<std::pair<std::string, std::string>> read = {{o.container, "the container"}};
    for (const auto& [name, file] : o.inputFiles) read.emplace_back(file, "an input file");
    std::vector<std::pair<std::string, std::string>> written;  // file, what
    if (!o.outputPath.empty()) written.emplace_back(o.outputPath, "--output");
    if (!o.jsonPath.empty()) written.emplace_back(o.jsonPath, "--json");
    if (!o.outputDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o.outputDir, ec);
        if (ec || !std::filesystem::is_directory(o.outputDir, ec)) {
            return "cannot make the directory " + vexart::printable(o.outputDir) + ": " +
                   (ec ? ec.message() : "a file of that name is in the way");
        }
        std::map<std::string, std::string> byFile;
        for (const auto& tensor : outputs) {
            const std::string file = outputFile(o.outputDir, tensor);
            const auto [seen, fresh] = byFile.emplace(file, tensor);
            if (!fresh) {
                return "outputs '" + vexart::printable(seen->second) + "' and '" + vexart::printable(tensor) +
                       "' would both be written to " + vexart::printable(file);
            }
            written.emplace_back(file, "output '" + vexart::printable(tensor) + "'");
        }
    }
    for (const auto& [file, what] : written) {
        for (const auto& [source, kind] : read) {
            if (sameFile(file, source)) {
                return what + " would write " + vexart::printable(file) + ", " + kind + " the run reads";
            }
        }
    }
    return {};
}

bool save(const std::string& path, const void* data, size_t bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    f.close();
    if (!f) std::cerr << "vexa-bench: could not write " << vexart::printable(path) << ": " << std::strerror(errno) << "\n";
    return static_cast<bool>(f);
}

}  // namespace

int benchmark(int argc, char** argv) {
    Options o;
    if (const int status = parse(argc, argv, o); status >= 0) return status;
    // The CPU runtime reads its thread count when the network is built.
    if (o.threads > 0) setenv("VEXA_NUM_THREADS", std::to_string(o.threads).c_str(), 1);

    // Every dimension the model leaves open is set, and how is said (read
    // before the load is timed: the library reads the container again).
    std::vector<vexart::bench::OpenChoice> choices;
    try {
        bool encoded = false;
        const auto declared = vexart::bench::declaredInputs(o.container, o.graph, encoded);
        if (o.fixedPoint && !encoded) {
            std::cerr << "vexa-bench: warning: the container holds no encodings for this graph, so --fixed-point has "
                         "no calibrated ranges to run on: these are not a quantized model's figures (vexa-dlc-quantize "
                         "makes the encodings)\n";
        }
        const std::string why = vexart::bench::settleOpenDims(declared, o.namedDims, o.freeDims, o.dims, choices);
        if (!why.empty()) {
            std::cerr << "vexa-bench: " << why << "\n";
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "vexa-bench: " << vexart::printable(e.what(), std::string::npos) << "\n";
        return 1;
    }
    const auto loadStart = Clock::now();
    DlContainerHandle container(Vexa_DlContainer_Open(o.container.c_str()));
    if (!container) {
        std::cerr << "vexa-bench: " << libraryError() << "\n";
        return 1;
    }
    BuilderHandle builder(Vexa_VEXABuilder_Create(container.get()));
    Vexa_VEXABuilder_SetProfilingLevel(builder.get(), o.profileDir.empty() ? 0 : 2);
    Vexa_VEXABuilder_SetCpuFixedPointMode(builder.get(), o.fixedPoint ? 1 : 0);
    if (!o.dims.empty()) {
        const TensorShapeMapHandle map(Vexa_TensorShapeMap_Create());
        for (const auto& [name, d] : o.dims) {
            const TensorShapeHandle shape(Vexa_TensorShape_CreateDimsSize(d.data(), d.size()));
            Vexa_TensorShapeMap_Add(map.get(), name.c_str(), shape.get());
        }
        // Shapes for one graph of several apply to it alone.
        if (o.graph.empty()) {
            Vexa_VEXABuilder_SetInputDimensions(builder.get(), map.get());
        } else {
            Vexa_VEXABuilder_SetInputDimensionsForNetwork(builder.get(), o.graph.c_str(), map.get());
        }
    }
    NetworkHandleOwner net(Vexa_VEXABuilder_Build(builder.get()));
    if (!net) {
        std::cerr << "vexa-bench: " << libraryError() << "\n";
        return 1;
    }
    const double loadMs = msSince(loadStart);
    if (!o.profileDir.empty()) {
        Vexa_IDiagLog_Handle_t log = Vexa_VEXA_GetDiagLogInterface_Ref(net.get());
        const OptionsHandle options(log != nullptr ? Vexa_IDiagLog_GetOptions(log) : nullptr);
        if (options) Vexa_Options_SetLogFileDirectory(options.get(), o.profileDir.c_str());
        if (!options || Vexa_IDiagLog_SetOptions(log, options.get()) != 0 || Vexa_IDiagLog_Start(log) != 0) {
            std::cerr << "vexa-bench: cannot write the diagnostic log into " << o.profileDir << ": " << libraryError()
                      << "\n";
            return 1;
        }
    }

    const StringListHandle graphs(Vexa_VEXA_GetNetworkNames(net.get()));
    const std::vector<std::string> names = items(graphs.get());
    const std::string graph = o.graph.empty() && !names.empty() ? names.front() : o.graph;
    if (std::find(names.begin(), names.end(), graph) == names.end()) {
        std::cerr << "vexa-bench: the container has no graph '" << vexart::printable(graph) << "'\n";
        return 1;
    }
    const StringListHandle inNames(Vexa_VEXA_GetInputTensorNamesForNetwork(net.get(), graph.c_str()));
    const StringListHandle outNames(Vexa_VEXA_GetOutputTensorNamesForNetwork(net.get(), graph.c_str()));
    std::mt19937 rng(12345);
    std::vector<Input> inputs;
    for (const auto& name : items(inNames.get())) {
        Input in;
        in.name = name;
        in.dims.reset(Vexa_VEXA_GetInputDimensionsForNetwork(net.get(), graph.c_str(), name.c_str()));
        const BufferAttributesHandle attributes(
            Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net.get(), graph.c_str(), name.c_str()));
        if (attributes) in.type = Vexa_IBufferAttributes_GetEncodingType(attributes.get());
        // Counted before anything is made: a shape whose elements overflow
        // or exceed what one tensor may hold is refused, not allocated.
        size_t n = 1;
        bool fits = true;
        for (size_t k = 0; in.dims && k < Vexa_TensorShape_Rank(in.dims.get()); ++k) {
            const size_t d = Vexa_TensorShape_At(in.dims.get(), k);
            fits = fits && (d == 0 || n <= kLargestInput / d);
            n = fits ? n * d : n;
        }
        if (!fits) {
            std::cerr << "vexa-bench: input '" << vexart::printable(name) << "' of shape " << shapeText(in.dims.get())
                      << " has more than " << kLargestInput << " elements\n";
            return 1;
        }
        in.values.resize(n);
        auto file = o.inputFiles.find(name);
        if (file == o.inputFiles.end() && inputs.empty()) file = o.inputFiles.find("");
        if (file != o.inputFiles.end()) {
            // Sized before it is read: a directory or a device never reaches the stream.
            std::error_code ec;
            const std::string shown = vexart::printable(file->second);
            const auto status = std::filesystem::status(file->second, ec);
            if (ec || !std::filesystem::exists(status)) {
                std::cerr << "vexa-bench: cannot read " << shown << " for input '" << vexart::printable(name)
                          << "': " << (ec && status.type() != std::filesystem::file_type::not_found ? ec.message() : "no such file") << "\n";
                return 1;
            }
            const bool regular = std::filesystem::is_regular_file(file->second, ec);
            const uintmax_t size = regular ? std::filesystem::file_size(file->second, ec) : 0;
            if (!regular || ec) {
                std::cerr << "vexa-bench: cannot read " << shown << " for input '" << vexart::printable(name)
                          << "': not a regular file\n";
                return 1;
            }
            std::ifstream f;
            if (size == n * 4) f.open(file->second, std::ios::binary);
            if (!f.is_open() || !f.read(reinterpret_cast<char*>(in.values.data()), std::streamsize(n * 4))) {
                std::cerr << "vexa-bench: " << shown << " holds " << size << " bytes; input '" << vexart::printable(name)
                          << "' of shape " << shapeText(in.dims.get()) << " needs " << n << " float32 values (" << n * 4
                          << " bytes)\n";
                return 1;
            }
        } else {
            fill(o, in.type, rng, in.values);
        }
        inputs.push_back(std::move(in));
    }
    for (const auto& [name, path] : o.inputFiles) {
        if (!name.empty() && std::none_of(inputs.begin(), inputs.end(), [&](const Input& in) { return in.name == name; })) {
            std::cerr << "vexa-bench: graph '" << vexart::printable(graph) << "' has no input '" << vexart::printable(name)
                      << "'\n";
            return 1;
        }
    }

    if (const std::string why = checkOutputs(o, items(outNames.get())); !why.empty()) {
        std::cerr << "vexa-bench: " << why << "\n";
        return 1;
    }

    std::vector<std::pair<std::string, std::vector<float>>> firstOutputs;
    // The inputs are made once, as an application that feeds a camera would
    // reuse its tensors: an execution times the library, not their making.
    const TensorMapHandle in(Vexa_TensorMap_Create());
    std::vector<ITensorHandle> tensors;
    for (const Input& i : inputs) {
        tensors.emplace_back(Vexa_Util_CreateITensor(i.dims.get()));
        std::copy(i.values.begin(), i.values.end(), Vexa_ITensor_GetData(tensors.back().get()));
        Vexa_TensorMap_Add(in.get(), i.name.c_str(), tensors.back().get());
    }
    auto execute = [&](bool keep) {
        const TensorMapHandle out(Vexa_TensorMap_Create());
        if (Vexa_VEXA_ExecuteITensorsForNetwork(net.get(), graph.c_str(), in.get(), out.get()) != 0) return false;
        for (size_t k = 0; keep && k < Vexa_StringList_Size(outNames.get()); ++k) {
            const char* name = Vexa_StringList_At(outNames.get(), k);
            Vexa_ITensor_Handle_t t = Vexa_TensorMap_GetTensor_Ref(out.get(), name);
            if (t != nullptr) firstOutputs.emplace_back(name, std::vector<float>(Vexa_ITensor_GetData(t), Vexa_ITensor_GetData(t) + Vexa_ITensor_GetSize(t)));
        }
        return true;
    };
    const auto firstStart = Clock::now();
    if (!execute(true)) {
        std::cerr << "vexa-bench: the first execution failed: " << libraryError() << "\n";
        return 1;
    }
    const double firstMs = msSince(firstStart);
    for (long i = 0; i < o.warmup; ++i) execute(false);

    // A counter on one line for a person watching a long run.
    const bool terminal = isatty(STDERR_FILENO) != 0;
    vexart::bench::LatencyRecorder times;
    const auto steadyStart = Clock::now();
    double lastShown = 0;
    for (;;) {
        const double elapsed = msSince(steadyStart) / 1000;
        if (o.duration > 0 ? elapsed >= o.duration : static_cast<long>(times.count()) >= o.iterations) break;
        if (terminal && elapsed > 2 && elapsed - lastShown >= 0.5) {
            std::fprintf(stderr, "\r%zu executions, %.0f s", times.count(), elapsed);
            lastShown = elapsed;
        }
        const auto t = Clock::now();
        if (!execute(false)) {
            std::cerr << "vexa-bench: execution " << times.count() + 2 << " failed: " << libraryError() << "\n";
            return 1;
        }
        times.add(msSince(t));
    }
    const double wallS = msSince(steadyStart) / 1000;
    if (lastShown > 0) std::fputc('\n', stderr);
    const auto l = times.summary();
    if (l.count == 0) {
        // A duration shorter than one execution: every figure would be 0.
        std::cerr << "vexa-bench: no execution was measured in " << o.duration << " s; give a longer --duration\n";
        return 1;
    }
    const double throughput = wallS > 0 ? static_cast<double>(l.count) / wallS : 0;
    // What the figures were measured on: the thread count the runtime took
    // (every core unless asked), the cores, the shapes that ran.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned threads = o.threads > 0 ? static_cast<unsigned>(o.threads) : cores;
    nlohmann::json shapes = nlohmann::json::array();
    std::string shapesText;
    for (const Input& i : inputs) {
        std::vector<size_t> dims;
        for (size_t k = 0; i.dims && k < Vexa_TensorShape_Rank(i.dims.get()); ++k) dims.push_back(Vexa_TensorShape_At(i.dims.get(), k));
        shapes.push_back({{"name", i.name}, {"shape", dims}, {"type", typeName(i.type)}});
        shapesText += (shapesText.empty() ? "" : ", ") + vexart::printable(i.name) + " " + shapeText(i.dims.get()) + " " +
                      typeName(i.type);
    }
    // A batch is the first axis of the first input: samples per second count its items.
    const size_t batch = inputs.empty() || !inputs[0].dims || Vexa_TensorShape_Rank(inputs[0].dims.get()) == 0
                             ? 1
                             : std::max<size_t>(1, Vexa_TensorShape_At(inputs[0].dims.get(), 0));
    nlohmann::json openJson = nlohmann::json::array();
    std::string openText;
    for (const auto& c : choices) {
        openJson.push_back({{"input", c.input}, {"axis", c.axis}, {"name", c.name}, {"value", c.value}, {"by", c.by}});
        openText += (openText.empty() ? "" : ", ") + vexart::printable(c.input) + "[" + std::to_string(c.axis) + "]" +
                    (c.name.empty() ? "" : " (" + vexart::printable(c.name) + ")") + " = " + std::to_string(c.value) +
                    " by " + c.by;
    }
    std::string version = "unknown";
    if (const DlVersionHandle v(Vexa_Util_GetLibraryVersion()); v) {
        if (const char* text = Vexa_DlVersion_ToString(v.get())) version = text;
    }
    // A run whose slow executions dwarf its typical one measured the machine's
    // other work as much as the model.
    const bool unstable = l.p50Ms > 0 && (l.p99Ms > 3 * l.p50Ms || l.meanMs > 1.5 * l.p50Ms);
    const uint64_t rss = vexart::bench::peakResidentBytes();
    const std::string isa = vexart::bench::instructionSet();
    net.reset();  // closes the diagnostic log

    const nlohmann::json doc = {
        {"container", o.container}, {"graph", graph}, {"fixed_point", o.fixedPoint},
        {"threads", threads}, {"cores", cores}, {"isa", isa}, {"version", version}, {"inputs", shapes},
        {"batch", batch}, {"samples_per_s", throughput * static_cast<double>(batch)}, {"unstable", unstable},
        {"open_dimensions", openJson},
        {"load_ms", loadMs}, {"first_ms", firstMs}, {"warmup", o.warmup}, {"iterations", l.count},
        {"mean_ms", l.meanMs}, {"stddev_ms", l.stddevMs}, {"percentiles_from", l.sampled}, {"median_ms", l.p50Ms}, {"p90_ms", l.p90Ms}, {"p99_ms", l.p99Ms},
        {"min_ms", l.minMs}, {"max_ms", l.maxMs}, {"wall_s", wallS}, {"throughput_per_s", throughput},
        {"peak_rss_mb", static_cast<double>(rss) / (1 << 20)}};
    if (threads > cores) {
        std::cerr << "vexa-bench: warning: " << threads << " threads on " << cores
                  << " cores: threads wait for each other, the figures measure that\n";
    }
    if (unstable) {
        std::cerr << "vexa-bench: warning: the run was unstable (p99 " << l.p99Ms << " ms, mean " << l.meanMs
                  << " ms against p50 " << l.p50Ms << " ms): other work on the machine took part; quote p50\n";
    }
    // The figures first: an output that cannot be written loses nothing measured.
    if (o.json && o.jsonPath.empty()) {
        std::cout << doc.dump() << "\n";
    } else {
        std::printf("%s, graph %s%s: %u threads on %u cores, %s, library %s\n", vexart::printable(o.container).c_str(),
                    vexart::printable(graph).c_str(), o.fixedPoint ? " (fixed point)" : "", threads, cores, isa.c_str(),
                    vexart::printable(version).c_str());
        std::printf("Inputs: %s\n", shapesText.c_str());
        if (!openText.empty()) std::printf("Open dimensions: %s\n", openText.c_str());
        std::printf("Load (open and build): %10.3f ms\n", loadMs);
        std::printf("First execution:       %10.3f ms\n", firstMs);
        std::printf("Steady state, %ld executions after %ld warm-up (ms): mean %.3f  p50 %.3f  p90 %.3f  p99 %.3f  "
                    "min %.3f  max %.3f\n",
                    static_cast<long>(l.count), o.warmup, l.meanMs, l.p50Ms, l.p90Ms, l.p99Ms, l.minMs, l.maxMs);
        if (l.sampled < l.count) {
            std::printf("  (percentiles from a uniform sample of %zu of the %zu executions)\n", l.sampled, l.count);
        }
        std::printf("Throughput (wall clock): %.1f executions/s", throughput);
        if (batch > 1) std::printf(", %.1f samples/s (batch %zu)", throughput * static_cast<double>(batch), batch);
        std::printf("\n");
        std::printf("Peak resident memory: %.1f MB\n", static_cast<double>(rss) / (1 << 20));
        if (!o.profileDir.empty()) {
            std::printf("Diagnostic log: %s/VEXADiag.log\n", vexart::printable(o.profileDir).c_str());
        }
    }
    std::fflush(stdout);
    bool written = true;
    if (!o.jsonPath.empty()) {
        const std::string text = doc.dump(2) + "\n";
        written = save(o.jsonPath, text.data(), text.size()) && written;
    }
    if (!o.outputPath.empty() && !firstOutputs.empty()) {
        written = save(o.outputPath, firstOutputs[0].second.data(), firstOutputs[0].second.size() * 4) && written;
    }
    for (const auto& [name, values] : o.outputDir.empty() ? decltype(firstOutputs){} : firstOutputs) {
        written = save(outputFile(o.outputDir, name), values.data(), values.size() * 4) && written;
    }
    return written ? 0 : 1;
}

int main(int argc, char** argv) {
    try {
        return benchmark(argc, argv);
    } catch (const std::bad_alloc&) {
        // Inputs and outputs are sized before they are made; this is the
        // machine running out all the same.
        std::cerr << "vexa-bench: out of memory\n";
        return 1;
    }
}
