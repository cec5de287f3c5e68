// Small models and containers made by the tests themselves.
#pragma once

#include <string>
#include <vector>

#include "tools/OnnxBuilder.h"

// y = x * scale + bias, element-wise, for an input of `dims`.
OnnxBuilder affineModel(const std::string& graph, const std::vector<int64_t>& dims, float scale, float bias,
                        const std::string& input = "x", const std::string& output = "y");

// out = a - b, with the output named `output`.
OnnxBuilder differenceModel(const std::string& graph, const std::vector<int64_t>& dims, const std::string& output);

// A small image classifier with pseudo-random weights: two 3x3
// convolutions with ReLU, max pooling, global average pooling, a dense
// layer and softmax, for a 1x3x32x32 input named "image".
OnnxBuilder randomClassifier();

struct PackedGraph {
    std::string name;
    const OnnxBuilder* model;
};

// Writes a container with the graphs; returns its path.
std::string packContainer(const std::string& path, const std::vector<PackedGraph>& graphs,
                          const std::string& modelVersion = "test model");

std::string floatsToBytes(const std::vector<float>& v);
std::vector<float> bytesToFloats(const std::string& bytes);
