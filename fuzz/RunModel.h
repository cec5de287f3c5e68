// What the executor fuzz target does with one input, shared with the test
// that replays the inputs it once crashed on.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstddef>
#include <cstdint>
#include <exception>

#include "graph/Graph.h"

// Builds, prepares and twice executes the model in `data` on zero inputs;
// false when the bytes or the model are rejected.
inline bool runFuzzedModel(const uint8_t* data, size_t size) {
    onnx::ModelProto model;
    if (!model.ParseFromArray(data, static_cast<int>(size))) return false;
    try {
        vexart::Graph graph(model);
        graph.prepare({}, graph.declaredOutputs());
        graph.run();
        graph.run();  // a second execution reuses what the first allocated
    } catch (const std::exception&) {
        return false;  // the library reports these as error codes
    }
    return true;
}
