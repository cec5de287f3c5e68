// Model containers: a ZIP archive with a JSON manifest, one ONNX graph per
// network, optional quantization encodings per tensor and cache records.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
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
    std::string file;  // archive entry; empty: the writer picks one
};

struct ContainerModel {
    std::string modelVersion;
    std::vector<ContainerGraph> graphs;
    std::vector<CacheRecord> cacheRecords;
    // What this library does not interpret is kept so that a save loses
    // nothing: the manifest as read (its unknown keys are written back) and
    // every other archive entry, by name.
    std::string manifestText;
    std::map<std::string, std::string> otherEntries;
};

// Bounds on what reading a container may decompress: memory follows the
// bytes actually inflated, never the sizes an archive declares.
struct ContainerLimits {
    uint64_t totalBytes = uint64_t{8} << 30;
};
// The defaults, with VEXA_CONTAINER_MAX_BYTES (a byte count) overriding the total.
ContainerLimits containerLimitsFromEnvironment();

// Throws std::runtime_error with a reason on anything malformed.
ContainerModel readContainer(const uint8_t* bytes, size_t size, const ContainerLimits& limits = {});
// A regular file's bytes (no device, pipe or directory), at most `maxBytes`.
std::vector<uint8_t> readContainerFile(const std::string& path, uint64_t maxBytes);
// Writes the archive; "version needed" is the ZIP64 one (45) in every header.
// The archive is written to a fresh temporary file beside the target and
// renamed over it, so a failed save leaves the old file intact; a symlinked
// target is written through to the file it names, keeping its permissions.
void writeContainer(const ContainerModel& model, const std::string& path);

// A per-tensor encoding from its JSON form; throws with the tensor's name
// when the bit width, step size or offset cannot be used.
TensorEncoding encodingFromJson(const std::string& tensor, const nlohmann::json& e);

// Digest of the graphs a cache record covers, to detect stale records.
std::string graphsDigest(const ContainerModel& model, const std::vector<std::string>& graphs);

}  // namespace vexart
