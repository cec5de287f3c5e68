// Calibration: runs the float model over calibration inputs, records every
// tensor's range, fits encodings and measures the quantization noise each
// encoding adds to its tensor.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Encoding.h"
#include "Metrics.h"

namespace onnx {
class ModelProto;
}

namespace vexart {

// One line of an input list: (input name or "", raw file) per input; a file
// holds its input's elements in the input's own type (float32, int64 token
// ids, ...), as the tool's native input files do.
using CalibrationLine = std::vector<std::pair<std::string, std::string>>;

// The lines of an input list that feed inputs ("name:=file" or "file"
// tokens); output requests ("#", "%") and graph sections ("$") are skipped.
std::vector<CalibrationLine> readCalibrationList(const std::string& path);

struct CalibrationOptions {
    uint32_t activationBits = 8;
    uint32_t weightBits = 8;
    // Activation ranges: 100 keeps the observed min and max; below, each end
    // is clipped to that percentile of the values seen (outliers dropped).
    double percentile = 100;
    // Activation ranges chosen to hold the values seen with the least mean
    // squared error (Histogram::mseRange) instead.
    bool mse = false;
    // Weights of products (convolutions, dense layers) get a symmetric step
    // per output channel instead of one range.
    bool perChannel = true;  // weights of products: a step per output channel
    // Convolutions and Gemms get a bias correction per output channel (see
    // BiasCorrection.h), on the encoding of their output.
    bool biasCorrection = false;
    // Shapes of inputs whose dimensions the graph leaves open.
    std::map<std::string, std::vector<int64_t>> inputShapes;
    std::function<void(const std::string& pass, size_t done, size_t total)> progress;
};

struct LayerReport {
    std::string tensor;
    bool weight = false;
    float min = 0, max = 0;  // the range encoded (after clipping)
    TensorEncoding encoding;
    ErrorStats noise;  // the tensor against itself quantized, over the whole set
};

// Weights first, then the graph's inputs and every node output in order.
// Throws std::runtime_error with a reason (unreadable or mis-sized input,
// a model the executor cannot build).
std::vector<LayerReport> calibrate(onnx::ModelProto model, const std::vector<CalibrationLine>& lines,
                                   const CalibrationOptions& options);

}  // namespace vexart
