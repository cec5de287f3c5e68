// Model containers: a ZIP archive with a JSON manifest, one ONNX graph per
// network, optional quantization encodings per tensor and cache records.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexart {

struct TensorEncoding {
    uint32_t bitWidth = 8;
    float stepSize = 0;
    uint64_t stepExactly0 = 0;
};

struct CacheRecord {
    std::string name;
    std::vector<std::string> graphs;
    std::string digest;  // of the graphs the record was made for
};

struct ContainerGraph {
    std::string name;
    std::string onnx;  // serialized ModelProto
    std::map<std::string, TensorEncoding> encodings;
};

struct ContainerModel {
    std::string modelVersion;
    std::vector<ContainerGraph> graphs;
    std::vector<CacheRecord> cacheRecords;
};

// Throws std::runtime_error with a reason on anything malformed.
ContainerModel readContainer(const uint8_t* bytes, size_t size);
// Writes the archive; "version needed" is the ZIP64 one (45) in every header.
void writeContainer(const ContainerModel& model, const std::string& path);

// Digest of the graphs a cache record covers, to detect stale records.
std::string graphsDigest(const ContainerModel& model, const std::vector<std::string>& graphs);

}  // namespace vexart
