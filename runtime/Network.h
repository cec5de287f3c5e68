// Library-side objects of containers, builders, built networks, tensors,
// encodings and user buffers, and the execution of a built network.
#pragma once

#include <fstream>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Container.h"
#include "Objects.h"
#include "executor/Engine.h"

namespace vexart {

struct DlContainer : Tagged<Tag::Container> {
    ContainerModel model;
    double openMicroseconds = 0;
};

struct PerfSettings {
    bool custom = false;
    uint32_t preset = 1;
    std::map<std::string, int64_t> values;
};

struct VexaPerfProfile : Tagged<Tag::PerfProfile> {
    PerfSettings settings;
};

struct Builder : Tagged<Tag::Builder> {
    DlContainer* container = nullptr;
    std::vector<std::string> networkInit;
    std::map<std::string, std::vector<std::string>> outputLayers;   // "" = default graph
    std::map<std::string, std::vector<std::string>> outputTensors;  // "" = default graph
    std::map<std::string, std::map<std::string, std::vector<size_t>>> inputDims;
    bool debug = false;
    uint32_t profilingLevel = 0;
    uint32_t priority = 0;
    bool userBuffers = false;
    std::map<std::string, std::string> platformOptions;
    bool initCache = false;
    std::vector<uint32_t> runtimes;
    bool unconsumedAsOutputs = false;
    uint64_t timeout = 0;
    bool cpuFixedPoint = false;
    uint32_t cacheMode = 0;
    uint32_t deferredInit = 0;
    std::optional<std::pair<uint64_t, uint64_t>> multiContextGroup;
    std::string modelName;
    PerfSettings perf;
};

struct Encoding : Tagged<Tag::Encoding> {
    uint32_t elementType = 1;  // Vexa_UserBufferEncoding_ElementType_t
    uint32_t bitWidth = 32;
    uint64_t stepExactly0 = 0;
    float stepSize = 0;
};

struct NetworkGraph {
    std::string name;
    std::unique_ptr<Engine> graph;
    std::map<std::string, TensorEncoding> encodings;
    std::set<std::string> registeredMemory;
    // Set when shapes depend on input values: the graph is prepared again
    // with each execution's data.
    bool prepareEachRun = false;
    // Such a graph is not planned on zeros at build: the plan would be made
    // again anyway. Shapes and types of its tensors are known once it has
    // run, or once planShapes() plans it on zeros for a caller that asks first.
    bool planDeferred = false;
    std::string buildError;  // why preparing at build time failed
    std::map<std::string, Shape> inputShapes;
    std::vector<std::string> requestedOutputs;
};

class DiagLogWriter;
struct Network;

struct DiagLogHandle : Tagged<Tag::DiagLog> {
    Network* network = nullptr;
    std::string directory;
};

struct Network : Tagged<Tag::Network> {
    std::string modelVersion;
    uint32_t runtime = 0;
    uint32_t profilingLevel = 0;
    bool userBuffers = false;
    bool finalized = true;
    uint32_t deferredInit = 0;
    uint64_t weightBytes = 0;
    uint64_t spillFillBytes = 0;
    uint32_t threads = 1;          // for the kernels, the calling thread included
    double loadMicroseconds = 0;   // container open and build
    PerfSettings perf;
    std::vector<NetworkGraph> graphs;
    std::unique_ptr<DiagLogWriter> diagLog;
    DiagLogHandle diagHandle;  // the interface handed out for this network
    uint64_t executions = 0;

    Network();
    ~Network();

    NetworkGraph* find(const char* name, const char* function);
};

// Threads for a network under `perf`: VEXA_NUM_THREADS when set, else one
// for the power-saving presets and every core for the others.
uint32_t threadsFor(const PerfSettings& perf);

struct ITensor : Tagged<Tag::ITensor> {
    std::vector<size_t> shape;
    // Large ones mapped as the engine's tensors are: a fresh output then
    // faults in per 2 MiB, not per 4 KiB.
    std::vector<float, BufferAllocator<float>> data;
};

struct TensorMap : Tagged<Tag::TensorMap> {
    std::map<std::string, ITensor*> tensors;
    std::vector<std::unique_ptr<ITensor>> owned;  // outputs written by an execution
};

struct BufferAttributes : Tagged<Tag::BufferAttributes> {
    std::vector<size_t> dims;
    Encoding encoding;
};

struct UserBuffer : Tagged<Tag::UserBuffer> {
    uint8_t* data = nullptr;
    size_t size = 0;
    std::vector<size_t> strides;
    Encoding encoding;
    size_t outputSize = 0;
};

struct UserBufferMap : Tagged<Tag::UserBufferMap> {
    std::map<std::string, UserBuffer*> buffers;
};

struct MemoryEntry {
    void* address = nullptr;
    size_t totalSize = 0;
    int fd = -1;
    uint64_t offset = 0;
};

struct UserMemoryMap : Tagged<Tag::UserMemoryMap> {
    std::map<std::string, std::vector<MemoryEntry>> entries;
};

// Builds the network instance from a builder; throws ExecError with the reason.
std::unique_ptr<Network> buildNetwork(const Builder& builder);

void executeTensors(Network& net, NetworkGraph& g, const TensorMap& in, TensorMap& out);
void executeUserBuffers(Network& net, NetworkGraph& g, const UserBufferMap& in, const UserBufferMap& out);

// The encoding a user of the tensor's buffer should use; false when the
// element type has no user-buffer encoding.
// Plans a graph whose plan was deferred (NetworkGraph::planDeferred) on
// zeros, for a caller that asks its tensors' shapes before it has run.
void planShapes(NetworkGraph& g);
bool nativeEncoding(const NetworkGraph& g, const std::string& tensor, Encoding& out);

bool runtimeAvailable(uint32_t runtime, std::string& why);

}  // namespace vexart
