// The dimensions a model leaves open, read from the container: a benchmark
// runs one shape, and which one is the user's choice to state, not a 1 the
// runtime picks unseen.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexart::bench {

struct DeclaredDim {
    int64_t length = -1;  // -1: open
    std::string name;     // the model's name for an open one ("sequence"), where it gives one
};
struct DeclaredInput {
    std::string name;
    std::vector<DeclaredDim> dims;
};

// The inputs of `graph` (the first when empty) as its model declares them,
// initializers left out, and whether the container holds fixed-point
// encodings for it. Throws std::runtime_error.
std::vector<DeclaredInput> declaredInputs(const std::string& container, const std::string& graph, bool& encoded);

// How one open dimension was set.
struct OpenChoice {
    std::string input, name, by;
    size_t axis = 0, value = 0;
};

// Shapes for the inputs with open dimensions that `given` leaves out: each
// open one from `named` (by its name) or `freeDims` (any, where >= 0).
// Empty when every open dimension is set, else which is not and how to set it.
std::string settleOpenDims(const std::vector<DeclaredInput>& inputs, const std::map<std::string, size_t>& named,
                           int64_t freeDims, std::map<std::string, std::vector<size_t>>& given,
                           std::vector<OpenChoice>& choices);

}  // namespace vexart::bench
