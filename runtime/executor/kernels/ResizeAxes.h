// Resize as one pass per resized axis: every mode the operator defines
// (nearest, linear, cubic) weighs a fixed set of source indices per output
// index along each axis, and the weight of a source element is the product
// of its axes' weights. So a table per axis (taps and weights, made once
// per shape) and one pass per axis compute what the per-element definition
// does, with the inner axes contiguous under each pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexart {

// How source coordinates are found and weighed; the operator's attributes.
struct ResizeRule {
    std::string mode = "nearest";  // nearest, linear or cubic
    std::string coord = "half_pixel";
    std::string nearest = "round_prefer_floor";
    float cubicA = -0.75f;
    bool excludeOutside = false;
};

// One axis: `taps` source indices and weights per output index.
struct AxisTaps {
    int taps = 1;
    std::vector<int64_t> index;     // outLength * taps
    std::vector<float> weight;      // outLength * taps
    std::vector<uint8_t> outside;   // per output index: outside the region of interest
    bool identity = false;          // output index o reads source o alone
    bool anyOutside = false;
};

// The table of one axis of length `in` resized to `out` by `scale`.
// `fromScales`: the lengths came from scales (not sizes), which align_corners
// reads differently. `roiStart`/`roiEnd`: tf_crop_and_resize's region.
void makeAxisTaps(const ResizeRule& rule, int64_t in, int64_t out, float scale, bool fromScales, float roiStart,
                  float roiEnd, AxisTaps& taps);

// Resizes `x` (shape `inShape`) to `outShape` along every axis whose table
// is not the identity; `tables` has one per axis. `scratch` holds the
// passes between the first and the last; outside elements become `outsideValue`.
void resizeByAxes(const float* x, const std::vector<int64_t>& inShape, float* y, const std::vector<int64_t>& outShape,
                  const std::vector<AxisTaps>& tables, float outsideValue, std::vector<float>& scratch);

}  // namespace vexart
