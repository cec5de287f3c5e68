// The host runtime through its C interface: ownership and error
// conventions, containers, builder settings, encodings and user buffers.
#include <gtest/gtest.h>

#include <limits>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>
#include <type_traits>

#include "Container.h"
#include "RunModel.h"
#include "runtimelib/UniqueHandle.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

std::string lastError() { return Vexa_ErrorCode_GetLastErrorString(); }

std::vector<std::string> items(Vexa_StringList_Handle_t list) {
    std::vector<std::string> v;
    for (size_t i = 0; i < Vexa_StringList_Size(list); ++i) v.emplace_back(Vexa_StringList_At(list, i));
    return v;
}

struct Built {
    DlContainerHandle container;
    BuilderHandle builder;
    NetworkHandleOwner network;
};

// Opens `path`, applies `configure` to the builder and builds.
Built build(const std::string& path, const std::function<void(Vexa_VEXABuilder_Handle_t)>& configure = {}) {
    Built b;
    b.container.reset(Vexa_DlContainer_Open(path.c_str()));
    EXPECT_TRUE(b.container) << lastError();
    b.builder.reset(Vexa_VEXABuilder_Create(b.container.get()));
    if (configure) configure(b.builder.get());
    b.network.reset(Vexa_VEXABuilder_Build(b.builder.get()));
    return b;
}

StringListHandle list(const std::vector<std::string>& names) {
    StringListHandle l(Vexa_StringList_Create());
    for (const auto& n : names) Vexa_StringList_Append(l.get(), n.c_str());
    return l;
}

TEST(RuntimeHandles, NullAndForeignHandlesAreRefused) {
    EXPECT_EQ(Vexa_StringList_Append(nullptr, "x"), VEXA_ERRORCODE_INVALID_HANDLE);
    EXPECT_NE(lastError().find("invalid handle"), std::string::npos);
    const TensorShapeHandle shape(Vexa_TensorShape_Create());
    EXPECT_EQ(Vexa_StringList_Size(shape.get()), 0u);  // a shape is not a string list
    EXPECT_EQ(Vexa_VEXABuilder_Build(shape.get()), nullptr);
    EXPECT_EQ(Vexa_ErrorCode_getLastErrorCode(), static_cast<uint32_t>(VEXA_ERRORCODE_INVALID_HANDLE));
    const StringListHandle l = list({"a"});
    EXPECT_EQ(Vexa_StringList_At(l.get(), 1), nullptr);
    EXPECT_STREQ(Vexa_StringList_At(l.get(), 0), "a");
}

// Every entry point that takes a handle first, called with a null handle
// and with a live handle of another class: each refuses with its failure
// result, and nothing crashes or throws across the interface.
template <typename R, typename... A>
void expectRefused(const char* name, R (*fn)(A...), void* handle) {
    std::tuple<A...> args{};
    using First = std::tuple_element_t<0, std::tuple<A...>>;
    std::get<0>(args) = static_cast<First>(handle);
    if constexpr (std::is_void_v<R>) {
        std::apply(fn, args);
    } else {
        const R result = std::apply(fn, args);
        if constexpr (std::is_same_v<R, int>) {
            // Flag results fail as 0, error codes as non-zero.
            const bool flag = std::string(name).find("PlatformConfig_SetPlatformOption") != std::string::npos;
            EXPECT_EQ(result == 0, flag) << name;
        } else if constexpr (std::is_same_v<R, const char*>) {
            EXPECT_TRUE(result == nullptr || *result == '\0') << name;  // no text
        } else if constexpr (std::is_pointer_v<R>) {
            EXPECT_EQ(result, nullptr) << name;
        } else if (std::string(name) == "Vexa_RuntimeList_At") {
            EXPECT_EQ(result, VEXA_RUNTIME_UNSET) << name;  // runtimes fail as "unset"
        } else {
            EXPECT_EQ(result, R{}) << name;
        }
    }
}

struct Entry {
    const char* name;
    std::function<void(const char*, void*)> call;
};
#define ENTRY(fn) Entry{#fn, [](const char* n, void* h) { expectRefused(n, fn, h); }}

TEST(RuntimeHandles, EveryEntryPointRefusesNullAndForeignHandles) {
    const std::vector<Entry> entries = {
        ENTRY(Vexa_DlContainer_Delete),
        ENTRY(Vexa_DlContainer_Save),
        ENTRY(Vexa_VEXABuilder_Create),
        ENTRY(Vexa_VEXABuilder_Delete),
        ENTRY(Vexa_VEXABuilder_SetPerformanceProfile),
        ENTRY(Vexa_VEXABuilder_SetCustomPerfProfile),
        ENTRY(Vexa_VEXABuilder_NetworkInit),
        ENTRY(Vexa_VEXABuilder_SetOutputLayers),
        ENTRY(Vexa_VEXABuilder_SetOutputLayersForNetwork),
        ENTRY(Vexa_VEXABuilder_SetOutputTensors),
        ENTRY(Vexa_VEXABuilder_SetOutputTensorsForNetwork),
        ENTRY(Vexa_VEXABuilder_SetInputDimensions),
        ENTRY(Vexa_VEXABuilder_SetInputDimensionsForNetwork),
        ENTRY(Vexa_VEXABuilder_SetDebugMode),
        ENTRY(Vexa_VEXABuilder_SetProfilingLevel),
        ENTRY(Vexa_VEXABuilder_SetExecutionPriorityHint),
        ENTRY(Vexa_VEXABuilder_SetUseUserSuppliedBuffers),
        ENTRY(Vexa_VEXABuilder_SetPlatformConfig),
        ENTRY(Vexa_VEXABuilder_SetInitCacheMode),
        ENTRY(Vexa_VEXABuilder_SetRuntimeProcessorOrder),
        ENTRY(Vexa_VEXABuilder_SetUnconsumedTensorsAsOutputs),
        ENTRY(Vexa_VEXABuilder_SetTimeOut),
        ENTRY(Vexa_VEXABuilder_SetSingleThreadedInit),
        ENTRY(Vexa_VEXABuilder_SetCpuFixedPointMode),
        ENTRY(Vexa_VEXABuilder_SetAcceleratedInit),
        ENTRY(Vexa_VEXABuilder_SetModelName),
        ENTRY(Vexa_VEXABuilder_SetCacheCompatibilityMode),
        ENTRY(Vexa_VEXABuilder_SetCpuZmxMode),
        ENTRY(Vexa_VEXABuilder_SetDeferredInit),
        ENTRY(Vexa_VEXABuilder_SetMemoryLimitHint),
        ENTRY(Vexa_VEXABuilder_SetFileReadMemoryBudget),
        ENTRY(Vexa_VEXABuilder_RegisterMultiContext),
        ENTRY(Vexa_VEXABuilder_ValidateCache),
        ENTRY(Vexa_VEXABuilder_Build),
        ENTRY(Vexa_VEXA_Delete),
        ENTRY(Vexa_VEXA_GetModelVersion),
        ENTRY(Vexa_VEXA_GetNetworkNames),
        ENTRY(Vexa_VEXA_GetInputTensorNamesForNetwork),
        ENTRY(Vexa_VEXA_GetOutputTensorNamesForNetwork),
        ENTRY(Vexa_VEXA_GetInputDimensionsForNetwork),
        ENTRY(Vexa_VEXA_GetInputOutputBufferAttributesForNetwork),
        ENTRY(Vexa_VEXA_ExecuteITensorsForNetwork),
        ENTRY(Vexa_VEXA_ExecuteUserBuffersForNetwork),
        ENTRY(Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork),
        ENTRY(Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork),
        ENTRY(Vexa_VEXA_SetCustomPerfProfile),
        ENTRY(Vexa_VEXA_SetDspVtcmRetention),
        ENTRY(Vexa_VEXA_GetSpillFillBufferSize),
        ENTRY(Vexa_VEXA_GetWeightsBufferSize),
        ENTRY(Vexa_VEXA_GetBufferAlignment),
        ENTRY(Vexa_VEXA_Finalize),
        ENTRY(Vexa_VEXA_GetDiagLogInterface_Ref),
        ENTRY(Vexa_IDiagLog_GetOptions),
        ENTRY(Vexa_IDiagLog_SetOptions),
        ENTRY(Vexa_IDiagLog_Start),
        ENTRY(Vexa_Options_Delete),
        ENTRY(Vexa_Options_SetLogFileDirectory),
        ENTRY(Vexa_VEXAPerfProfile_Delete),
        ENTRY(Vexa_StringList_Delete),
        ENTRY(Vexa_StringList_Append),
        ENTRY(Vexa_StringList_Size),
        ENTRY(Vexa_StringList_At),
        ENTRY(Vexa_TensorShape_Delete),
        ENTRY(Vexa_TensorShape_Concatenate),
        ENTRY(Vexa_TensorShape_Rank),
        ENTRY(Vexa_TensorShape_At),
        ENTRY(Vexa_TensorShapeMap_Delete),
        ENTRY(Vexa_TensorShapeMap_Add),
        ENTRY(Vexa_Util_CreateITensor),
        ENTRY(Vexa_Util_CreateITensor_NV21),
        ENTRY(Vexa_ITensor_Delete),
        ENTRY(Vexa_ITensor_GetData),
        ENTRY(Vexa_ITensor_GetSize),
        ENTRY(Vexa_ITensor_GetShape),
        ENTRY(Vexa_TensorMap_Delete),
        ENTRY(Vexa_TensorMap_Add),
        ENTRY(Vexa_TensorMap_GetTensor_Ref),
        ENTRY(Vexa_TensorMap_GetTensorNames),
        ENTRY(Vexa_UserBufferEncoding_Delete),
        ENTRY(Vexa_UserBufferEncoding_GetElementType),
        ENTRY(Vexa_UserBufferEncodingTfN_GetStepExactly0),
        ENTRY(Vexa_UserBufferEncodingTfN_GetQuantizedStepSize),
        ENTRY(Vexa_UserBufferEncodingTfN_SetStepExactly0),
        ENTRY(Vexa_UserBufferEncodingTfN_SetQuantizedStepSize),
        ENTRY(Vexa_IBufferAttributes_Delete),
        ENTRY(Vexa_IBufferAttributes_GetDims),
        ENTRY(Vexa_IBufferAttributes_GetEncodingType),
        ENTRY(Vexa_IBufferAttributes_GetEncoding_Ref),
        ENTRY(Vexa_IUserBuffer_Delete),
        ENTRY(Vexa_IUserBuffer_GetEncoding_Ref),
        ENTRY(Vexa_IUserBuffer_GetSize),
        ENTRY(Vexa_IUserBuffer_GetOutputSize),
        ENTRY(Vexa_UserBufferMap_Delete),
        ENTRY(Vexa_UserBufferMap_Add),
        ENTRY(Vexa_UserBufferMap_GetUserBuffer_Ref),
        ENTRY(Vexa_UserBufferMap_GetUserBufferNames),
        ENTRY(Vexa_UserMemoryMap_Delete),
        ENTRY(Vexa_UserMemoryMap_Add),
        ENTRY(Vexa_UserMemoryMap_AddFdOffset),
        ENTRY(Vexa_UserMemoryMap_GetUserBufferNames),
        ENTRY(Vexa_UserMemoryMap_GetUserMemoryAddressCount),
        ENTRY(Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex),
        ENTRY(Vexa_UserMemoryMap_GetUserMemoryOffsetAtIndex),
        ENTRY(Vexa_DlVersion_ToString),
        ENTRY(Vexa_DlVersion_Delete),
        ENTRY(Vexa_RuntimeList_Delete),
        ENTRY(Vexa_RuntimeList_Add),
        ENTRY(Vexa_RuntimeList_Size),
        ENTRY(Vexa_RuntimeList_At),
        ENTRY(Vexa_PlatformConfig_Delete),
        ENTRY(Vexa_PlatformConfig_SetPlatformOptions),
        ENTRY(Vexa_PlatformConfig_SetPlatformOptionValue),
    };
    const StringListHandle strings = list({"a"});
    const TensorShapeHandle shape(Vexa_TensorShape_Create());
    for (const auto& e : entries) {
        // A string list is foreign to every class but its own; a shape is foreign to string lists.
        void* foreign = std::string(e.name).rfind("Vexa_StringList_", 0) == 0 ? shape.get() : strings.get();
        e.call(e.name, nullptr);
        e.call(e.name, foreign);
    }
    EXPECT_EQ(Vexa_StringList_Size(strings.get()), 1u);  // the foreign handles survived
    EXPECT_EQ(Vexa_TensorShape_Rank(shape.get()), 0u);
}
#undef ENTRY

TEST(RuntimeHandles, RuntimesAndTheirNames) {
    EXPECT_EQ(Vexa_RuntimeList_StringToRuntime("cpu"), 0u);
    EXPECT_EQ(Vexa_RuntimeList_StringToRuntime("gpu"), 1u);
    EXPECT_EQ(Vexa_RuntimeList_StringToRuntime("dsp"), 2u);
    EXPECT_EQ(Vexa_RuntimeList_StringToRuntime("gpu_float16"), 3u);
    EXPECT_EQ(Vexa_RuntimeList_StringToRuntime("aip"), 5u);
    EXPECT_EQ(Vexa_RuntimeList_StringToRuntime("CPU"), VEXA_RUNTIME_UNSET);
    EXPECT_NE(Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(0, 0, 0), 0);
    for (uint32_t r : {1u, 2u, 3u, 5u}) {
        EXPECT_EQ(Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(r, 0, 0), 0);
        EXPECT_NE(std::string(Vexa_Util_GetLastError()).find("not available"), std::string::npos);
    }
    const RuntimeListHandle rl(Vexa_RuntimeList_Create());
    EXPECT_EQ(Vexa_RuntimeList_Add(rl.get(), 2), 0);
    EXPECT_NE(Vexa_RuntimeList_Add(rl.get(), 2), 0);
    EXPECT_NE(Vexa_RuntimeList_Add(rl.get(), 4), 0);
}

TEST(RuntimeContainers, MalformedArchivesFailWithAReason) {
    TempDir dir;
    const OnnxBuilder m = affineModel("m", {1, 2}, 2, 1);
    const std::string good = readFile(packContainer(dir.file("good.dlc"), {{"m", &m}}));
    struct Case {
        std::string bytes;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"", "container has no entry 'manifest.json'"},
        {"PK\x03\x04 not really", "not a valid container archive"},
        {good.substr(0, good.size() - 30), "not a valid container archive"},
        {good.substr(0, 60) + std::string(good.size() - 60, '\0'), "not a valid container archive"},
    };
    for (const auto& c : cases) {
        const DlContainerHandle h(Vexa_DlContainer_OpenBuffer(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                                             c.bytes.size()));
        EXPECT_FALSE(h);
        EXPECT_NE(lastError().find(c.reason), std::string::npos) << lastError() << " for " << c.bytes.size();
    }
    const DlContainerHandle ok(
        Vexa_DlContainer_OpenBuffer(reinterpret_cast<const uint8_t*>(good.data()), good.size()));
    EXPECT_TRUE(ok) << lastError();
    EXPECT_FALSE(DlContainerHandle(Vexa_DlContainer_Open(dir.file("absent.dlc").c_str())));
    EXPECT_NE(lastError().find("cannot read the file"), std::string::npos);
}

TEST(RuntimeContainers, SaveAfterAnInitCacheBuildAddsAValidRecord) {
    TempDir dir;
    const OnnxBuilder m = affineModel("m", {1, 2}, 2, 1);
    const std::string path = packContainer(dir.file("m.dlc"), {{"m", &m}});
    {
        Built b = build(path);
        EXPECT_EQ(Vexa_VEXABuilder_ValidateCache(b.builder.get()), VEXA_ERRORCODE_NO_CACHE_RECORDS);
    }
    {
        Built b = build(path, [](Vexa_VEXABuilder_Handle_t h) { Vexa_VEXABuilder_SetInitCacheMode(h, 1); });
        ASSERT_TRUE(b.network);
        EXPECT_EQ(Vexa_DlContainer_Save(b.container.get(), path.c_str()), 0) << lastError();
    }
    Built b = build(path);
    EXPECT_EQ(Vexa_VEXABuilder_ValidateCache(b.builder.get()), 0);
    const std::string bytes = readFile(path);
    EXPECT_EQ(bytes[4], 45);  // ZIP64 "version needed" in the first local header
}

// A file container keeps its stored graphs in the file until a build reads
// them; what happens to the file in between decides what the build sees.
TEST(RuntimeContainers, GraphsAreReadFromTheOpenFileWhenBuilt) {
    TempDir dir;
    OnnxBuilder m = affineModel("m", {1, 2}, 2, 1);
    // Unused weights larger than any read buffer, so that a change in the
    // middle of the graph is in the file, not in memory.
    m.initializerRaw("unused", {1 << 18}, std::vector<float>(1 << 18, 0.5f));
    const OnnxBuilder other = affineModel("m", {1, 5}, 2, 1);
    const std::string graph = m.serialize();
    const std::string path = packContainer(dir.file("m.dlc"), {{"m", &m}});
    const std::string bytes = readFile(path);

    const auto opened = vexart::openContainerFile(path);
    ASSERT_NE(opened.graphs.at(0).archived, nullptr);
    EXPECT_TRUE(opened.graphs[0].onnx.empty());
    EXPECT_EQ(vexart::graphBytes(opened, opened.graphs[0]), graph);
    // Held in memory or left in the file, a graph has one digest.
    const auto held = vexart::readContainer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(vexart::graphsDigest(held, {"m"}), vexart::graphsDigest(opened, {"m"}));

    const size_t at = bytes.find(graph);
    ASSERT_NE(at, std::string::npos);
    struct Case {
        std::string name;
        std::function<void()> change;
        std::string error;  // empty: the build gets the graph as it was opened
    };
    const std::vector<Case> cases = {
        {"replaced by another container", [&] {
             packContainer(dir.file("new.dlc"), {{"m", &other}});
             std::filesystem::rename(dir.file("new.dlc"), path);
         }, ""},
        {"a graph byte overwritten in place", [&] {
             std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(at + graph.size() / 2));
             f.put(static_cast<char>(graph[graph.size() / 2] ^ 0x55));
         }, "truncated or corrupt"},
        {"the graph's last byte overwritten in place", [&] {
             std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(at + graph.size() - 1));
             f.put(static_cast<char>(graph.back() ^ 0x01));
         }, "truncated or corrupt"},
        {"truncated inside the graph", [&] { std::filesystem::resize_file(path, at + graph.size() / 2); }, "container entry"},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        const DlContainerHandle container(Vexa_DlContainer_Open(path.c_str()));
        ASSERT_TRUE(container) << lastError();
        c.change();
        const BuilderHandle builder(Vexa_VEXABuilder_Create(container.get()));
        const NetworkHandleOwner net(Vexa_VEXABuilder_Build(builder.get()));
        if (c.error.empty()) {
            ASSERT_TRUE(net) << c.name << ": " << lastError();
            const TensorShapeHandle shape(Vexa_VEXA_GetInputDimensionsForNetwork(net.get(), "m", "x"));
            EXPECT_EQ(Vexa_TensorShape_At(shape.get(), 1), 2u) << c.name;
        } else {
            EXPECT_FALSE(net) << c.name;
            EXPECT_NE(lastError().find(c.error), std::string::npos) << c.name << ": " << lastError();
        }
    }
}

TEST(RuntimeBuild, OutputSelectionAndGraphSubsets) {
    TempDir dir;
    const OnnxBuilder g1 = affineModel("g1", {1, 2}, 2, 1);
    const OnnxBuilder g2 = affineModel("g2", {1, 3}, 1, 0);
    const std::string path = packContainer(dir.file("m.dlc"), {{"g1", &g1}, {"g2", &g2}});
    struct Case {
        std::function<void(Vexa_VEXABuilder_Handle_t)> configure;
        std::vector<std::string> outputs;
    };
    const std::vector<Case> cases = {
        {{}, {"y"}},
        {[](auto h) { Vexa_VEXABuilder_SetDebugMode(h, 1); }, {"scaled", "y"}},
        {[](auto h) { Vexa_VEXABuilder_SetOutputTensors(h, list({"scaled"}).get()); }, {"scaled"}},
        {[](auto h) { Vexa_VEXABuilder_SetOutputLayersForNetwork(h, "g1", list({"mul"}).get()); }, {"scaled"}},
        {[](auto h) {
             Vexa_VEXABuilder_SetOutputTensors(h, list({"y"}).get());
             Vexa_VEXABuilder_SetOutputLayers(h, list({"mul"}).get());
         },
         {"y", "scaled"}},
    };
    for (const auto& c : cases) {
        Built b = build(path, c.configure);
        ASSERT_TRUE(b.network) << lastError();
        const StringListHandle outs(Vexa_VEXA_GetOutputTensorNamesForNetwork(b.network.get(), "g1"));
        EXPECT_EQ(items(outs.get()), c.outputs);
    }
    Built sub = build(path, [](auto h) { Vexa_VEXABuilder_NetworkInit(h, list({"g2"}).get()); });
    ASSERT_TRUE(sub.network) << lastError();
    EXPECT_EQ(items(StringListHandle(Vexa_VEXA_GetNetworkNames(sub.network.get())).get()),
              std::vector<std::string>{"g2"});
    EXPECT_EQ(Vexa_VEXA_GetInputTensorNamesForNetwork(sub.network.get(), "g1"), nullptr);

    Built bad = build(path, [](auto h) { Vexa_VEXABuilder_SetOutputTensors(h, list({"nowhere"}).get()); });
    EXPECT_FALSE(bad.network);
    EXPECT_NE(lastError().find("output tensor 'nowhere' is not in graph 'g1'"), std::string::npos) << lastError();
}

// Graphs from untrusted files: each must fail its build with a reason, never
// allocate a wrapped-around size or read past a shape.
// Models the executor fuzz target once failed on: each is now executed or
// rejected without a memory error, undefined behaviour or abort (this
// matters in the sanitizer build).
TEST(RuntimeBuild, FuzzedModelsRunOrAreRejected) {
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VEXA_FUZZ_REGRESSIONS "/Graph")) {
        const std::string bytes = readFile(entry.path().string());
        runFuzzedModel(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}

TEST(RuntimeBuild, MalformedGraphsFailWithAReason) {
    TempDir dir;
    struct Case {
        std::function<void(OnnxBuilder&)> make;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {[](OnnxBuilder& b) {
             b.initializer("w", {int64_t{1} << 31, int64_t{1} << 31, int64_t{1} << 31}, {1.0f});
             b.node("Add", {"x", "w"}, {"y"});
         },
         "is too large"},
        {[](OnnxBuilder& b) {
             b.initializer("w", {2, 2}, {1.0f, 2.0f, 3.0f});
             b.node("Add", {"x", "w"}, {"y"});
         },
         "does not match its shape"},
        {[](OnnxBuilder& b) {
             b.initializerInts("axes", {0, 0});
             b.node("Unsqueeze", {"x", "axes"}, {"y"});
         },
         "outside shape"},
        {[](OnnxBuilder& b) {
             for (const char* p : {"s", "b", "m", "v"}) b.initializer(p, {3}, {1, 1, 1});
             b.node("BatchNormalization", {"x", "s", "b", "m", "v"}, {"y"});
         },
         "one value per channel"},
        {[](OnnxBuilder& b) { b.node("NoSuchOp", {"x"}, {"y"}); }, "operator NoSuchOp is not supported"},
    };
    for (const auto& c : cases) {
        OnnxBuilder m("g");
        m.input("x", {1, 2});
        c.make(m);
        m.output("y");
        Built b = build(packContainer(dir.file("m.dlc"), {{"g", &m}}));
        if (b.network) {  // shapes that depend on the data surface at the first execution
            const size_t dims[] = {1, 2};
            const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(dims, 2));
            const ITensorHandle t(Vexa_Util_CreateITensor(s.get()));
            const TensorMapHandle in(Vexa_TensorMap_Create()), out(Vexa_TensorMap_Create());
            Vexa_TensorMap_Add(in.get(), "x", t.get());
            EXPECT_NE(Vexa_VEXA_ExecuteITensorsForNetwork(b.network.get(), "g", in.get(), out.get()), 0);
        }
        EXPECT_NE(lastError().find(c.reason), std::string::npos) << lastError();
    }
}

TEST(RuntimeBuild, InputDimensionOverridesReshapeTheNetwork) {
    TempDir dir;
    const OnnxBuilder g = affineModel("g", {1, 2}, 2, 1);
    const std::string path = packContainer(dir.file("m.dlc"), {{"g", &g}});
    Built b = build(path, [](auto h) {
        const TensorShapeMapHandle m(Vexa_TensorShapeMap_Create());
        const size_t dims[] = {3, 2};
        const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(dims, 2));
        Vexa_TensorShapeMap_Add(m.get(), "x", s.get());
        Vexa_VEXABuilder_SetInputDimensions(h, m.get());
    });
    ASSERT_TRUE(b.network) << lastError();
    const TensorShapeHandle in(Vexa_VEXA_GetInputDimensionsForNetwork(b.network.get(), "g", "x"));
    EXPECT_EQ(Vexa_TensorShape_At(in.get(), 0), 3u);
    const BufferAttributesHandle out(Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(b.network.get(), "g", "y"));
    const TensorShapeHandle dims(Vexa_IBufferAttributes_GetDims(out.get()));
    EXPECT_EQ(Vexa_TensorShape_Rank(dims.get()), 2u);
    EXPECT_EQ(Vexa_TensorShape_At(dims.get(), 0), 3u);
}

TEST(RuntimeEncodings, WidthsAndElementTypes) {
    struct Case {
        std::function<void*()> make;
        uint32_t type;
    };
    const std::vector<Case> ok = {
        {[] { return Vexa_UserBufferEncodingFloatN_Create(32); }, 1},
        {[] { return Vexa_UserBufferEncodingFloatN_Create(16); }, 3},
        {[] { return Vexa_UserBufferEncodingTfN_Create(128, 0.5f, 8); }, 10},
        {[] { return Vexa_UserBufferEncodingTfN_Create(0, 0.5f, 16); }, 11},
        {[] { return Vexa_UserBufferEncodingIntN_Create(8); }, 14},
        {[] { return Vexa_UserBufferEncodingIntN_Create(64); }, 19},
        {[] { return Vexa_UserBufferEncodingUintN_Create(32); }, 13},
        {[] { return Vexa_UserBufferEncodingBool_Create(8); }, 18},
    };
    for (const auto& c : ok) {
        const EncodingHandle e(c.make());
        ASSERT_TRUE(e);
        EXPECT_EQ(Vexa_UserBufferEncoding_GetElementType(e.get()), c.type);
    }
    for (const auto& bad : std::vector<std::function<void*()>>{
             [] { return Vexa_UserBufferEncodingFloatN_Create(8); }, [] { return Vexa_UserBufferEncodingTfN_Create(0, 1, 32); },
             [] { return Vexa_UserBufferEncodingIntN_Create(12); }, [] { return Vexa_UserBufferEncodingBool_Create(16); }}) {
        EXPECT_EQ(bad(), nullptr);
        EXPECT_EQ(Vexa_ErrorCode_getLastErrorCode(), 11u);
    }
    const EncodingHandle tf(Vexa_UserBufferEncodingTfN_Create(128, 0.5f, 8));
    Vexa_UserBufferEncodingTfN_SetStepExactly0(tf.get(), 7);
    Vexa_UserBufferEncodingTfN_SetQuantizedStepSize(tf.get(), 0.25f);
    EXPECT_EQ(Vexa_UserBufferEncodingTfN_GetStepExactly0(tf.get()), 7u);
    EXPECT_EQ(Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(tf.get()), 0.25f);
    const EncodingHandle fl(Vexa_UserBufferEncodingFloatN_Create(32));
    EXPECT_NE(Vexa_UserBufferEncodingTfN_SetStepExactly0(fl.get(), 1), 0);
}

class UserBuffers : public ::testing::Test {
protected:
    TempDir dir;
    Built net;

    void SetUp() override {
        const OnnxBuilder g = affineModel("g", {2, 3}, 2, 1);
        vexart::ContainerModel model;
        model.graphs.push_back({"g", g.serialize(), {}, {}});
        model.graphs.back().encodings["scaled"] = {8, 0.1f, 10, -1, {}, {}};
        vexart::writeContainer(model, dir.file("m.dlc"));
        net = build(dir.file("m.dlc"), [](auto h) {
            Vexa_VEXABuilder_SetUseUserSuppliedBuffers(h, 1);
            Vexa_VEXABuilder_SetOutputTensors(h, list({"y", "scaled"}).get());
        });
        ASSERT_TRUE(net.network) << lastError();
    }

    UserBufferHandle buffer(void* memory, size_t size, const std::vector<size_t>& strides, void* encoding) {
        const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(strides.data(), strides.size()));
        return UserBufferHandle(Vexa_Util_CreateUserBuffer(memory, size, s.get(), encoding));
    }
};

TEST_F(UserBuffers, AttributesReportTheModelsTypesAndEncodings) {
    const BufferAttributesHandle x(Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net.network.get(), "g", "x"));
    EXPECT_EQ(Vexa_IBufferAttributes_GetEncodingType(x.get()), 1u);
    const BufferAttributesHandle s(
        Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net.network.get(), "g", "scaled"));
    EXPECT_EQ(Vexa_IBufferAttributes_GetEncodingType(s.get()), 10u);
    auto* enc = Vexa_IBufferAttributes_GetEncoding_Ref(s.get());
    EXPECT_EQ(Vexa_UserBufferEncodingTfN_GetStepExactly0(enc), 10u);
    EXPECT_FLOAT_EQ(Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(enc), 0.1f);
    EXPECT_EQ(Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net.network.get(), "g", "nope"), nullptr);
}

TEST_F(UserBuffers, StridesQuantizationAndProducedSizes) {
    // Input: float rows padded to 4 elements (16-byte row stride).
    float in[8] = {1, 2, 3, -99, 4, 5, 6, -99};
    const EncodingHandle f32(Vexa_UserBufferEncodingFloatN_Create(32));
    const UserBufferHandle inBuf = buffer(in, sizeof in, {16, 4}, f32.get());
    // Output y as TfN8 with no encoding of its own: one is fitted and written back.
    uint8_t y[6] = {};
    const EncodingHandle tf(Vexa_UserBufferEncodingTfN_Create(0, 0.0f, 8));
    const UserBufferHandle yBuf = buffer(y, sizeof y, {3, 1}, tf.get());
    // Output scaled as TfN8: quantized with the model's encoding (step 0.1, offset 10).
    uint8_t scaled[6] = {};
    const UserBufferHandle sBuf = buffer(scaled, sizeof scaled, {3, 1}, tf.get());

    const UserBufferMapHandle ins(Vexa_UserBufferMap_Create()), outs(Vexa_UserBufferMap_Create());
    Vexa_UserBufferMap_Add(ins.get(), "x", inBuf.get());
    Vexa_UserBufferMap_Add(outs.get(), "y", yBuf.get());
    Vexa_UserBufferMap_Add(outs.get(), "scaled", sBuf.get());
    ASSERT_EQ(Vexa_VEXA_ExecuteUserBuffersForNetwork(net.network.get(), "g", ins.get(), outs.get()), 0) << lastError();

    // y = 2x + 1 spans [3, 13]; a fitted 8-bit range takes in 0: [0, 13],
    // 255 steps of 13/255 with 0 at code 0. So y's codes are round(y * 255 / 13).
    auto* yEnc = Vexa_IUserBuffer_GetEncoding_Ref(yBuf.get());
    EXPECT_FLOAT_EQ(Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(yEnc), 13.0f / 255);
    EXPECT_EQ(Vexa_UserBufferEncodingTfN_GetStepExactly0(yEnc), 0u);
    const float expected[6] = {3, 5, 7, 9, 11, 13};
    const uint8_t codes[6] = {59, 98, 137, 177, 216, 255};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(y[i], codes[i]) << i;
        EXPECT_EQ(scaled[i], static_cast<uint8_t>(std::lround(expected[i] - 1) * 10 + 10)) << i;
    }
    EXPECT_EQ(Vexa_IUserBuffer_GetOutputSize(yBuf.get()), 6u);

    // A buffer too small for the input is an execution error, not an overrun.
    const UserBufferHandle tiny = buffer(in, 8, {16, 4}, f32.get());
    Vexa_UserBufferMap_Add(ins.get(), "x", tiny.get());
    EXPECT_NE(Vexa_VEXA_ExecuteUserBuffersForNetwork(net.network.get(), "g", ins.get(), outs.get()), 0);
    EXPECT_NE(lastError().find("holds 8 bytes"), std::string::npos) << lastError();
}

// Integers through user buffers, every pair of a buffer type and a tensor
// type: copied exactly where the types hold them (token ids past 2^53 too),
// saturated at the narrower type's range where they do not, as a value
// converted by hand would be.
__extension__ typedef __int128 Whole;
__extension__ typedef unsigned __int128 UWhole;

struct IntType {
    const char* name;
    int32_t onnx;       // the tensor type, 0: none
    uint32_t code;      // the buffer type, 0: none
    uint8_t bits;
    bool isSigned;
    Whole lo, hi;
};

TEST(UserBufferIntegers, EveryPairCopiesExactlyAndSaturates) {
    const Whole i64min = std::numeric_limits<int64_t>::min(), i64max = std::numeric_limits<int64_t>::max();
    const Whole u64max = std::numeric_limits<uint64_t>::max();
    const std::vector<IntType> types = {
        {"int8", onnx::TensorProto::INT8, 14, 8, true, -128, 127},
        {"int16", onnx::TensorProto::INT16, 16, 16, true, -32768, 32767},
        {"int32", onnx::TensorProto::INT32, 12, 32, true, INT32_MIN, INT32_MAX},
        {"int64", onnx::TensorProto::INT64, 19, 64, true, i64min, i64max},
        {"uint8", onnx::TensorProto::UINT8, 15, 8, false, 0, 255},
        {"uint16", onnx::TensorProto::UINT16, 17, 16, false, 0, 65535},
        {"uint32", onnx::TensorProto::UINT32, 13, 32, false, 0, UINT32_MAX},
        {"uint64", onnx::TensorProto::UINT64, 20, 64, false, 0, u64max},
        {"bool", onnx::TensorProto::BOOL, 18, 8, false, 0, 1},
    };
    auto encoding = [](const IntType& t) {
        if (t.code == 18) return EncodingHandle(Vexa_UserBufferEncodingBool_Create(8));
        return EncodingHandle(t.isSigned ? Vexa_UserBufferEncodingIntN_Create(t.bits) : Vexa_UserBufferEncodingUintN_Create(t.bits));
    };
    auto clamp = [](Whole v, const IntType& t) {
        if (t.code == 18) return Whole(v != 0);
        return std::min(std::max(v, t.lo), t.hi);
    };
    auto toBytes = [](Whole v, const IntType& t, uint8_t* p) {
        const auto u = static_cast<UWhole>(v);  // two's complement, low bytes first
        for (int k = 0; k < t.bits / 8; ++k) p[k] = static_cast<uint8_t>(u >> (8 * k));
    };
    auto fromBytes = [](const uint8_t* p, const IntType& t) {
        UWhole u = 0;
        for (int k = 0; k < t.bits / 8; ++k) u |= static_cast<UWhole>(p[k]) << (8 * k);
        Whole v = static_cast<Whole>(u);
        if (t.isSigned && (u >> (t.bits - 1)) != 0) v -= Whole(1) << t.bits;
        return v;
    };
    size_t pairs = 0;
    for (const IntType& tensor : types) {
        TempDir dir;
        OnnxBuilder g("g", 13);
        const int64_t n = 8;
        g.input("x", {n}, tensor.onnx);
        g.node("Identity", {"x"}, {"y"});
        g.output("y", {n}, tensor.onnx);
        Built net = build(packContainer(dir.file("m.dlc"), {{"g", &g}}),
                          [](auto h) { Vexa_VEXABuilder_SetUseUserSuppliedBuffers(h, 1); });
        ASSERT_TRUE(net.network) << lastError();
        for (const IntType& buffer : types) {
            SCOPED_TRACE(std::string(buffer.name) + " buffer, " + tensor.name + " tensor");
            // The buffer type's extremes, its neighbours of 0, and 2^53 + 1.
            std::vector<Whole> values = {buffer.lo, buffer.lo + 1, 0, 1, buffer.hi - 1, buffer.hi, -1, (Whole(1) << 53) + 1};
            for (Whole& v : values) v = clamp(v, buffer);
            const size_t width = buffer.bits / 8;
            std::vector<uint8_t> in(n * width), out(n * width, 0xAB);
            for (int64_t i = 0; i < n; ++i) toBytes(values[static_cast<size_t>(i)], buffer, in.data() + i * width);
            const EncodingHandle e = encoding(buffer);
            const std::vector<size_t> strides = {width};
            const TensorShapeHandle st(Vexa_TensorShape_CreateDimsSize(strides.data(), 1));
            const UserBufferHandle inBuf(Vexa_Util_CreateUserBuffer(in.data(), in.size(), st.get(), e.get()));
            const UserBufferHandle outBuf(Vexa_Util_CreateUserBuffer(out.data(), out.size(), st.get(), e.get()));
            const UserBufferMapHandle ins(Vexa_UserBufferMap_Create()), outs(Vexa_UserBufferMap_Create());
            Vexa_UserBufferMap_Add(ins.get(), "x", inBuf.get());
            Vexa_UserBufferMap_Add(outs.get(), "y", outBuf.get());
            ASSERT_EQ(Vexa_VEXA_ExecuteUserBuffersForNetwork(net.network.get(), "g", ins.get(), outs.get()), 0) << lastError();
            for (int64_t i = 0; i < n; ++i) {
                const Whole expected = clamp(clamp(values[static_cast<size_t>(i)], tensor), buffer);
                const Whole got = fromBytes(out.data() + i * width, buffer);
                EXPECT_TRUE(got == expected) << "element " << i << ": " << static_cast<long double>(got) << " for "
                                             << static_cast<long double>(expected);
            }
            ++pairs;
        }
    }
    EXPECT_EQ(pairs, types.size() * types.size());
}

// Floats and fixed point into integer tensors: rounded toward zero and
// saturated (NaN to 0), never undefined.
TEST(UserBufferIntegers, RealsIntoIntegerTensorsSaturate) {
    TempDir dir;
    OnnxBuilder g("g", 13);
    g.input("x", {6}, onnx::TensorProto::INT64);
    g.node("Identity", {"x"}, {"y"});
    g.output("y", {6}, onnx::TensorProto::INT64);
    Built net = build(packContainer(dir.file("m.dlc"), {{"g", &g}}),
                      [](auto h) { Vexa_VEXABuilder_SetUseUserSuppliedBuffers(h, 1); });
    ASSERT_TRUE(net.network) << lastError();
    const float in[6] = {-3.7f, 2.9f, 1e30f, -1e30f, std::nanf(""), 9.0e18f};
    int64_t out[6] = {};
    const EncodingHandle f32(Vexa_UserBufferEncodingFloatN_Create(32)), i64(Vexa_UserBufferEncodingIntN_Create(64));
    const std::vector<size_t> s4 = {4}, s8 = {8};
    const TensorShapeHandle st4(Vexa_TensorShape_CreateDimsSize(s4.data(), 1)), st8(Vexa_TensorShape_CreateDimsSize(s8.data(), 1));
    const UserBufferHandle inBuf(Vexa_Util_CreateUserBuffer(const_cast<float*>(in), sizeof in, st4.get(), f32.get()));
    const UserBufferHandle outBuf(Vexa_Util_CreateUserBuffer(out, sizeof out, st8.get(), i64.get()));
    const UserBufferMapHandle ins(Vexa_UserBufferMap_Create()), outs(Vexa_UserBufferMap_Create());
    Vexa_UserBufferMap_Add(ins.get(), "x", inBuf.get());
    Vexa_UserBufferMap_Add(outs.get(), "y", outBuf.get());
    ASSERT_EQ(Vexa_VEXA_ExecuteUserBuffersForNetwork(net.network.get(), "g", ins.get(), outs.get()), 0) << lastError();
    const int64_t expected[6] = {-3, 2, INT64_MAX, INT64_MIN, 0, static_cast<int64_t>(9.0e18f)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], expected[i]) << i;
}

TEST(RuntimeTensors, ExecutionChecksItsInputs) {
    TempDir dir;
    const OnnxBuilder g = affineModel("g", {1, 2}, 2, 1);
    Built b = build(packContainer(dir.file("m.dlc"), {{"g", &g}}));
    ASSERT_TRUE(b.network);
    const TensorMapHandle in(Vexa_TensorMap_Create()), out(Vexa_TensorMap_Create());
    EXPECT_NE(Vexa_VEXA_ExecuteITensorsForNetwork(b.network.get(), "g", in.get(), out.get()), 0);
    EXPECT_NE(lastError().find("no data given for input 'x'"), std::string::npos) << lastError();
    const size_t wrong[] = {3};
    const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(wrong, 1));
    const ITensorHandle t(Vexa_Util_CreateITensor(s.get()));
    Vexa_TensorMap_Add(in.get(), "x", t.get());
    EXPECT_NE(Vexa_VEXA_ExecuteITensorsForNetwork(b.network.get(), "g", in.get(), out.get()), 0);
    EXPECT_NE(lastError().find("has 3 elements, the network expects 2"), std::string::npos) << lastError();
}

// A network whose shapes follow its input's values (here the count of
// NonZero, read through its shape) was built on zeros; each execution
// must be planned on its own input, not on those zeros.
TEST(RuntimeTensors, ShapesThatFollowValuesAreReplannedPerExecution) {
    TempDir dir;
    OnnxBuilder g("g");
    g.input("x", {6});
    g.node("NonZero", {"x"}, {"nz"});
    g.node("Shape", {"nz"}, {"s"});
    g.initializerInts("last", {1});
    g.node("Gather", {"s", "last"}, {"k"});
    OnnxBuilder::attr(g.node("Cast", {"k"}, {"count"}), "to", int64_t{onnx::TensorProto::FLOAT});
    g.output("count");
    Built b = build(packContainer(dir.file("m.dlc"), {{"g", &g}}));
    ASSERT_TRUE(b.network) << lastError();
    const size_t dims[] = {6};
    const TensorShapeHandle shape(Vexa_TensorShape_CreateDimsSize(dims, 1));
    for (const std::vector<float>& x : {std::vector<float>{0, 2, 0, 3, 0, 4}, std::vector<float>{1, 1, 0, 0, 0, 0},
                                        std::vector<float>{0, 0, 0, 0, 0, 0}}) {
        const ITensorHandle t(Vexa_Util_CreateITensor(shape.get()));
        std::copy(x.begin(), x.end(), Vexa_ITensor_GetData(t.get()));
        const TensorMapHandle in(Vexa_TensorMap_Create()), out(Vexa_TensorMap_Create());
        Vexa_TensorMap_Add(in.get(), "x", t.get());
        ASSERT_EQ(Vexa_VEXA_ExecuteITensorsForNetwork(b.network.get(), "g", in.get(), out.get()), 0) << lastError();
        const auto count = static_cast<float>(std::count_if(x.begin(), x.end(), [](float v) { return v != 0; }));
        EXPECT_EQ(*Vexa_ITensor_GetData(Vexa_TensorMap_GetTensor_Ref(out.get(), "count")), count);
    }
}

// Such a network is not planned on zeros at build; a caller that asks an
// output's size before executing still gets the size on zeros, and after
// an execution the size that execution gave.
TEST(RuntimeTensors, SizesOfValueShapedOutputsBeforeAndAfterAnExecution) {
    TempDir dir;
    OnnxBuilder g("g");
    g.input("x", {6});
    g.node("NonZero", {"x"}, {"nz"});
    g.node("Transpose", {"nz"}, {"at"});
    g.node("GatherND", {"x", "at"}, {"kept"});
    g.output("kept");
    Built b = build(packContainer(dir.file("m.dlc"), {{"g", &g}}));
    ASSERT_TRUE(b.network) << lastError();
    auto keptSize = [&] {
        const BufferAttributesHandle a(Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(b.network.get(), "g", "kept"));
        EXPECT_NE(a.get(), nullptr) << lastError();
        EXPECT_EQ(Vexa_IBufferAttributes_GetEncodingType(a.get()), 1u);
        const TensorShapeHandle dims(Vexa_IBufferAttributes_GetDims(a.get()));
        return Vexa_TensorShape_Rank(dims.get()) == 1 ? static_cast<int>(Vexa_TensorShape_At(dims.get(), 0)) : -1;
    };
    EXPECT_EQ(keptSize(), 0);
    const size_t dims[] = {6};
    const TensorShapeHandle shape(Vexa_TensorShape_CreateDimsSize(dims, 1));
    const ITensorHandle t(Vexa_Util_CreateITensor(shape.get()));
    const float x[] = {0, 2, 0, 3, 0, 4};
    std::copy(std::begin(x), std::end(x), Vexa_ITensor_GetData(t.get()));
    const TensorMapHandle in(Vexa_TensorMap_Create()), out(Vexa_TensorMap_Create());
    Vexa_TensorMap_Add(in.get(), "x", t.get());
    ASSERT_EQ(Vexa_VEXA_ExecuteITensorsForNetwork(b.network.get(), "g", in.get(), out.get()), 0) << lastError();
    EXPECT_EQ(keptSize(), 3);
}

// The builder keeps its own copy of a custom profile: the handle may go
// before the build, and the copy still decides the network. A power-saver
// preset runs the CPU runtime on one thread, which the diagnostic log shows.
TEST(RuntimePerf, ProfilesKeepTheirSettings) {
    EXPECT_EQ(Vexa_VEXAPerfProfile_CreatePreset(10), nullptr);
    EXPECT_NE(Vexa_VEXAPerfProfile_SetSleepDisable(nullptr, 1), 0);
    unsetenv("VEXA_NUM_THREADS");  // it would take precedence over the profile
    TempDir dir;
    const OnnxBuilder g = affineModel("g", {1, 2}, 2, 1);
    const std::string container = packContainer(dir.file("m.dlc"), {{"g", &g}});
    auto threadsOfABuild = [&](uint32_t preset, const std::string& logDir) {
        Built b = build(container, [&](Vexa_VEXABuilder_Handle_t builder) {
            PerfProfileHandle p(Vexa_VEXAPerfProfile_CreatePreset(preset));
            EXPECT_EQ(Vexa_VEXAPerfProfile_SetDspRpcPollingTime(p.get(), 9999), 0);
            EXPECT_EQ(Vexa_VEXABuilder_SetCustomPerfProfile(builder, p.get()), 0);
            p.reset();  // deleted before the build, as the tool deletes it
            Vexa_VEXABuilder_SetProfilingLevel(builder, 1);
        });
        EXPECT_TRUE(b.network) << lastError();
        Vexa_IDiagLog_Handle_t log = Vexa_VEXA_GetDiagLogInterface_Ref(b.network.get());
        const OptionsHandle options(Vexa_IDiagLog_GetOptions(log));
        Vexa_Options_SetLogFileDirectory(options.get(), dir.file(logDir).c_str());
        EXPECT_EQ(Vexa_IDiagLog_SetOptions(log, options.get()), 0);
        EXPECT_EQ(Vexa_IDiagLog_Start(log), 0);
        b.network.reset();
        const std::string text = readFile(dir.file(logDir + "/VEXADiag.log"));
        const size_t at = text.find(" threads=");
        return at == std::string::npos ? std::string("?") : text.substr(at + 9, text.find(' ', at + 9) - at - 9);
    };
    EXPECT_EQ(threadsOfABuild(2, "saver"), "1");  // power saver
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_NE(threadsOfABuild(5, "high"), "1");  // a high-performance preset takes every core
    }
}

}  // namespace
