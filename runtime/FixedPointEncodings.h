// A container's encodings as the executor takes them: activation grids,
// calibrated weight steps and bias corrections, by tensor.
#pragma once

#include <map>
#include <string>

#include "Container.h"
#include "executor/Engine.h"

namespace vexart {

inline EngineOptions fixedPointOptions(const std::map<std::string, TensorEncoding>& encodings) {
    EngineOptions options;
    options.fixedPoint = true;
    for (const auto& [tensor, e] : encodings) {
        if (e.channelSteps.empty()) {
            options.encodings[tensor] = {e.bitWidth, e.stepSize, e.stepExactly0};
        } else {
            options.weightSteps[tensor] = e.channelSteps;
        }
        if (!e.biasCorrection.empty()) options.biasCorrections[tensor] = e.biasCorrection;
    }
    return options;
}

}  // namespace vexart
