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
    // Rows of class scores (one per result, or per batch item and position
    // where the shape has those axes) whose largest score is the same class.
    uint64_t top1Agree = 0, top1Total = 0;
    std::vector<std::string> problems;      // missing files, differing sizes
    std::string note;                       // why top-1 was not taken where a shape was declared
};

struct Tolerances {
    std::optional<double> maxAbs, minCosine, minSqnrDb, minTop1;
};

// Tensors that look like class scores get a top-1 agreement per row: rows
// of at most this many classes. Without a shape (raw files carry none), a
// tensor of at most this many elements is one row. With one, the classes
// lie along the last axis longer than 1 (or the axis asked for) and the
// rows along at most a batch axis (the first) and one sequence axis.
constexpr uint64_t kTop1MaxElements = 1 << 16;

struct ClassRows {
    uint64_t outer = 0, classes = 0, inner = 1;  // outer * inner rows of `classes`, `inner` apart
};
// How a tensor of `elements` (of `shape`, where declared) holds class
// scores; false where it does not look like them. `axis` picks the class
// axis (negative from the end); nullopt: the last one longer than 1.
bool classRows(uint64_t elements, const std::vector<int64_t>* shape, std::optional<int64_t> axis, ClassRows& rows);

// Shapes by the tensor's place in a result directory (see outputKey), where
// a model declares them.
using TensorShapes = std::map<std::string, std::vector<int64_t>>;

// The path under Result_N (without ".raw") that the tool gives a tensor name.
std::string outputKey(const std::string& tensorName);

// `out` against `ref`. A flat reference stands for every result of `out`.
// Throws std::runtime_error when a file cannot be read.
std::vector<TensorReport> compareTrees(const OutputTree& out, const OutputTree& ref, const TensorShapes& shapes = {},
                                       std::optional<int64_t> classesAxis = std::nullopt);

// Empty when `r` is within every tolerance given, else why not.
std::string toleranceFailure(const TensorReport& r, const Tolerances& t);

}  // namespace vexart
