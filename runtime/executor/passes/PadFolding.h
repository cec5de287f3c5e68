// Zero padding written as a node of its own (Pad, then Conv or
// AveragePool), as converters from other frameworks and some exporters
// write it: the reader takes the padding into its own window instead, so
// no padded copy of the tensor is made on each run. A convolution pads
// with zeros, and an average pool that counts its padding divides by the
// whole window, so every value is the same.
#pragma once

#include <set>
#include <string>

namespace onnx {
class GraphProto;
}  // namespace onnx

namespace vexart {

// Rewrites `graph` (of operator set `opset`): each Pad with constant zero
// padding over the spatial axes alone, whose result only one Conv or
// AveragePool reads (with explicit padding, and counting it for an average),
// is taken into that reader, which then reads the Pad's input. The Pad node
// stays, so its result can still be asked for; its name is added to `stillRead`
// (the model's reader still reads it).
void foldPadsIntoReaders(onnx::GraphProto& graph, int64_t opset, std::set<std::string>& stillRead);

}  // namespace vexart
