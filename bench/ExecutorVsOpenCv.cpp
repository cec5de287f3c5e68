// Time per inference of our executor (through the runtime library's C
// interface) beside OpenCV's DNN module on the same models, one thread each.
//   bench-executor-vs-opencv [iterations]
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "Container.h"
#include "bench/Models.h"
#include "runtimelib/UniqueHandle.h"

namespace {

using Clock = std::chrono::steady_clock;

// Median of `runs` timings of `f`, in milliseconds, after a warm-up call.
double medianMs(int runs, const std::function<void()>& f) {
    f();
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto s = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

double timeVexa(const std::string& onnx, const std::vector<int>& shape, int runs, float& checksum) {
    const std::string path = (std::filesystem::temp_directory_path() / "vexa-bench.dlc").string();
    vexart::ContainerModel model;
    model.graphs.push_back({"g", onnx, {}, {}});
    vexart::writeContainer(model, path);
    DlContainerHandle c(Vexa_DlContainer_Open(path.c_str()));
    BuilderHandle b(Vexa_VEXABuilder_Create(c.get()));
    NetworkHandleOwner net(Vexa_VEXABuilder_Build(b.get()));
    if (!net) {
        std::fprintf(stderr, "build failed: %s\n", Vexa_ErrorCode_GetLastErrorString());
        std::exit(1);
    }
    std::vector<size_t> dims(shape.begin(), shape.end());
    TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(dims.data(), dims.size()));
    ITensorHandle in(Vexa_Util_CreateITensor(s.get()));
    float* data = Vexa_ITensor_GetData(in.get());
    for (size_t i = 0; i < Vexa_ITensor_GetSize(in.get()); ++i) data[i] = static_cast<float>(i % 7) * 0.1f;
    TensorMapHandle inputs(Vexa_TensorMap_Create());
    Vexa_TensorMap_Add(inputs.get(), "input", in.get());
    const double ms = medianMs(runs, [&] {
        TensorMapHandle outputs(Vexa_TensorMap_Create());
        Vexa_VEXA_ExecuteITensorsForNetwork(net.get(), "g", inputs.get(), outputs.get());
        checksum = Vexa_ITensor_GetData(Vexa_TensorMap_GetTensor_Ref(outputs.get(), "output"))[0];
    });
    std::filesystem::remove(path);
    return ms;
}

double timeOpenCv(const std::string& onnx, const std::vector<int>& shape, int runs, float& checksum) {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx.data(), onnx.size());
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    cv::Mat in(static_cast<int>(shape.size()), shape.data(), CV_32F);
    for (size_t i = 0; i < in.total(); ++i) in.ptr<float>()[i] = static_cast<float>(i % 7) * 0.1f;
    return medianMs(runs, [&] {
        net.setInput(in);
        checksum = net.forward().ptr<float>()[0];
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    cv::setNumThreads(1);
    struct Case {
        const char* name;
        std::string onnx;
        std::vector<int> shape;
    };
    const std::vector<Case> cases = {
        {"vgg_like", benchmodels::vggLike(), {1, 3, 112, 112}},
        {"resnet_like", benchmodels::resnetLike(), {1, 64, 56, 56}},
        {"mobilenet_like", benchmodels::mobilenetLike(), {1, 32, 112, 112}},
    };
    std::printf("%-16s %12s %12s %8s %s\n", "model", "vexa ms", "opencv ms", "ratio", "outputs[0]");
    for (const auto& c : cases) {
        float a = 0, b = 0;
        const double ours = timeVexa(c.onnx, c.shape, runs, a);
        const double theirs = timeOpenCv(c.onnx, c.shape, runs, b);
        std::printf("%-16s %12.3f %12.3f %8.2f %g / %g\n", c.name, ours, theirs, ours / theirs, a, b);
    }
    return 0;
}
