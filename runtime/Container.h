// Model containers: a ZIP archive with a JSON manifest, one ONNX graph per
// network, optional quantization encodings per tensor and cache records.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FileReplace.h"

namespace google::protobuf {
class MessageLite;
}

namespace vexart {

struct TensorEncoding {
    uint32_t bitWidth = 8;
    float stepSize = 0;
    uint64_t stepExactly0 = 0;
    // Weights may have a step per index along `axis` (stepSize is then the
    // largest, for readers that take one).
    int64_t axis = -1;
    std::vector<float> channelSteps;
    // On a product's output: what calibration found its fixed-point result
    // to lack, per output channel, on average (added to the bias there).
    std::vector<float> biasCorrection;
};

struct CacheRecord {
    std::string name;
    std::vector<std::string> graphs;
    std::string digest;  // of the graphs the record was made for
};

// A stored graph entry of the archive a container was opened from. Its bytes
// stay in the file until a build streams them into a parsed model, so a large
// model is never held as bytes and parsed at once.
struct ArchivedGraph {
    uint64_t index = 0;  // entry in the archive
    uint64_t size = 0;
    uint32_t crc = 0;
};

struct ContainerGraph {
    ContainerGraph() = default;
    ContainerGraph(std::string name_, std::string onnx_, std::map<std::string, TensorEncoding> encodings_ = {},
                   std::string file_ = {})
        : name(std::move(name_)), onnx(std::move(onnx_)), encodings(std::move(encodings_)), file(std::move(file_)) {}

    std::string name;
    std::string onnx;  // serialized ModelProto, unless `archived`
    std::map<std::string, TensorEncoding> encodings;
    std::string file;  // archive entry; empty: the writer picks one
    std::shared_ptr<const ArchivedGraph> archived;  // set: the bytes are read from `ContainerModel::archive`
};

class ContainerArchive;  // an open archive; see openContainerFile

struct ContainerModel {
    std::string modelVersion;
    std::vector<ContainerGraph> graphs;
    std::vector<CacheRecord> cacheRecords;
    // What this library does not interpret is kept so that a save loses
    // nothing: the manifest as read (its unknown keys are written back) and
    // every other archive entry, by name.
    std::string manifestText;
    std::map<std::string, std::string> otherEntries;
    std::shared_ptr<ContainerArchive> archive;  // where archived graphs are read from
    // The file it was opened from (resolved) and that file's version when
    // read or last saved to: a save over it refuses to replace a version
    // that another program wrote meanwhile.
    std::string sourcePath;
    mutable FileVersion sourceVersion;
};

// Bounds on what reading a container may decompress: memory follows the
// bytes actually inflated, never the sizes an archive declares.
struct ContainerLimits {
    uint64_t totalBytes = uint64_t{8} << 30;
};
// The defaults, with VEXA_CONTAINER_MAX_BYTES (a byte count) overriding the total.
ContainerLimits containerLimitsFromEnvironment();

// The file itself could not be read (as opposed to a malformed archive).
struct ContainerFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws std::runtime_error with a reason on anything malformed. Every graph
// is read into memory.
ContainerModel readContainer(const uint8_t* bytes, size_t size, const ContainerLimits& limits = {});
// The same from a regular file, which stays open: stored graph entries are
// checked against the file's size and read when a build asks for them
// (`parseGraph`); deflated ones are read now.
ContainerModel openContainerFile(const std::string& path, const ContainerLimits& limits = {});
// Parses a graph into `out` from memory or, streamed, from the archive;
// false if the bytes are not such a message. Throws if the archive cannot be read.
bool parseGraph(const ContainerModel& model, const ContainerGraph& graph, google::protobuf::MessageLite& out);
// A graph's serialized bytes, from wherever they are held.
std::string graphBytes(const ContainerModel& model, const ContainerGraph& graph);
// A regular file's bytes (no device, pipe or directory), at most `maxBytes`;
// throws ContainerFileError with the reason.
std::vector<uint8_t> readRegularFile(const std::string& path, uint64_t maxBytes);
// Writes the archive; "version needed" is the ZIP64 one (45) in every header.
// The archive is written to a fresh temporary file beside the target and
// renamed over it, so a failed save leaves the old file intact; a symlinked
// target is written through to the file it names, keeping its permissions.
void writeContainer(const ContainerModel& model, const std::string& path);
// The same for a caller that holds the lock from before it read the
// container (a read-modify-write round).
void writeContainer(const ContainerModel& model, const std::string& path, const FileUpdateLock& held);

// A per-tensor encoding from its JSON form; throws with the tensor's name
// when the bit width, step size or offset cannot be used.
TensorEncoding encodingFromJson(const std::string& tensor, const nlohmann::json& e);

// Digest of the graphs a cache record covers (their sizes and CRC-32s, which
// the archive records), to detect stale records.
std::string graphsDigest(const ContainerModel& model, const std::vector<std::string>& graphs);

}  // namespace vexart
