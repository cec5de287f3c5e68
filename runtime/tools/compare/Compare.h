// Pairs the tensors of two output trees and measures each against the
// reference, over every result in which both have it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Metrics.h"
#include "OutputTree.h"

namespace vexart {

struct TensorReport {
    std::string tensor;
    uint64_t results = 0;  // result pairs compared
    ErrorStats stats;
    uint64_t top1Agree = 0, top1Total = 0;  // results whose largest element is at the same index
    std::vector<std::string> problems;      // missing files, differing sizes
    std::string note;                       // why top-1 was not taken where a shape was declared
};

struct Tolerances {
    std::optional<double> maxAbs, minCosine, minSqnrDb, minTop1;
};

// Tensors that look like class scores get a top-1 agreement: one axis of at
// most this many classes once axes of 1 are dropped. Without a shape (raw
// files carry none), any tensor of at most this many elements.
constexpr uint64_t kTop1MaxElements = 1 << 16;

// Shapes by the tensor's place in a result directory (see outputKey), where
// a model declares them.
using TensorShapes = std::map<std::string, std::vector<int64_t>>;

// The path under Result_N (without ".raw") that the tool gives a tensor name.
std::string outputKey(const std::string& tensorName);

// `out` against `ref`. A flat reference stands for every result of `out`.
// Throws std::runtime_error when a file cannot be read.
std::vector<TensorReport> compareTrees(const OutputTree& out, const OutputTree& ref, const TensorShapes& shapes = {});

// Empty when `r` is within every tolerance given, else why not.
std::string toleranceFailure(const TensorReport& r, const Tolerances& t);

}  // namespace vexart
