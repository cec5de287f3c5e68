#include "app/RunConfig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "app/StringUtil.h"

namespace {

// The DSP checks ask the SoC service, which a fake architecture in the
// environment would answer; these tests expect a machine without a DSP.
const bool kNoFakeDsp = [] {
    unsetenv("VEXA_FAKE_DSP_ARCH");
    return true;
}();

// Parses the tool's command line (with the two required options added) the
// way the entry point does, against a fresh runtime list.
struct Validation {
    RuntimeListHandle runtimeList{Vexa_RuntimeList_Create()};
    RunConfig config;
    int status = -2;
    std::string out;
    std::string err;

    explicit Validation(std::vector<std::string> args) {
        config.runtimeList = runtimeList.get();
        args.insert(args.begin(), {"vexa-net-run", "--container", "m.dlc", "--input_list", "in.txt"});
        std::vector<const char*> argv;
        for (auto& a : args) argv.push_back(a.c_str());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        status = parseCommandLine(static_cast<int>(argv.size()), argv.data(), config);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    // What validation wrote before the help listing that follows a failure.
    std::string message() const { return err.substr(0, err.find("Command Line Options:\n")); }
};

TEST(Validation, RefusedValuesAndCombinationsGiveTheirMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string pairing =
        "For multiple inputs, specify input name and its dimensions, then repeat it.\n"
        "Specify --input_name before --input_dimensions\n";
    const std::vector<Case> cases = {
        {{"--gpu_mode", "fp16"},
         "ERROR: Invalid setting pased to the argument --gpu_mode.\n Please check the Arguments section in the "
         "description below\n"},
        {{"--perf_profile", "BURST"},
         "ERROR: Invalid setting pased to the argument --perf_profile.\n Please check the Arguments section in the "
         "description below\n"},
        {{"--perf_profile", " burst"},
         "ERROR: Invalid setting pased to the argument --perf_profile.\n Please check the Arguments section in the "
         "description below\n"},
        {{"--encoding_type", "NV21"},
         "ERROR: Invalid setting pased to the argument --encoding_type.\n Please check the Arguments section in "
         "the description below\n"},
        {{"--userbuffer_tfN", "12"}, "ERROR: Invalid Userbuffer size provided. 12 not supported \n"},
        {{"--userbuffer_floatN", "8"}, "ERROR: Invalid Userbuffer size provided. 8 not supported \n"},
        // The two input widths share one setting: the later option's value is checked against both.
        {{"--userbuffer_tfN", "16", "--userbuffer_floatN", "32"},
         "ERROR: Invalid Userbuffer size provided. 32 not supported \n"},
        {{"--userbuffer_float", "--userbuffer_uintN_output", "16"},
         "ERROR: Invalid Userbuffer size provided. 16 not supported \n"},
        {{"--userbuffer_float", "--userbuffer_floatN_output", "8"},
         "ERROR: Invalid Userbuffer size provided. 8 not supported \n"},
        {{"--userbuffer_float", "--userbuffer_tfN_output", "32"},
         "ERROR: Invalid Userbuffer size provided. 32 not supported \n"},
        {{"--tensor_mode", "itensor"}, "Incorrect option provided for tensorMode.\n"},
        {{"--input_name", "a", "--input_name", "b", "--input_dimensions", "1,2"},
         "No dimensions were specified for input for at least one input name\n" + pairing},
        {{"--input_dimensions", "1,2"},
         "No input name was specified for input for at lease one set of dimensions\n" + pairing},
        {{"--priority_hint", "urgent"},
         "ERROR: Invalid setting passed to the argument --priority_hint\nPlease check the Arguments section in the "
         "description below.\n"},
        {{"--userbuffer_float", "--resizable_dim", "0"},
         "ERROR: Invalid setting passed to the argument --resizable_dim\nPlease check the Arguments section in the "
         "description below.\n"},
        {{"--resizable_dim", "4"}, "resizableDim is only applicable for user buffers\n"},
        {{"--userlogs", "loud"}, "ERROR: Invalid setting passed to the argument --userlogs\n"},
        {{"--userlogs", ","}, "ERROR: Invalid setting passed to the argument --userlogs\n"},
        {{"--profiling_level", "full"},
         "ERROR: Invalid setting passed to the argument --profiling_level\nPlease check the Arguments section in "
         "the description below.\n"},
        {{"--cache_compatibility_mode", "lax"},
         "ERROR: Invalid setting passed to the argument --cache_compatibility_mode\n"},
        {{"--inferences_per_duration", "0,5"},
         "Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive values "
         "for inferences and duration.\n"},
        {{"--inferences_per_duration", "5,-1"},
         "Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive values "
         "for inferences and duration.\n"},
        {{"--inferences_per_duration", "0x14,0x2"},
         "Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive values "
         "for inferences and duration.\n"},
        {{"--inferences_per_duration", "inf,1"},
         "Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive values "
         "for inferences and duration.\n"},
        {{"--inferences_per_duration", "5,nan"},
         "Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive values "
         "for inferences and duration.\n"},
        {{"--inferences_per_duration", "1,.e3"},
         "Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive values "
         "for inferences and duration.\n"},
        {{"--runtime_order", "cpu,dsp,cpu"},
         "Error: Invalid values passed to the argument --runtime_order.\nDuplicate entries in runtime order\n"},
        {{"--runtime_order", "cpu,npu"},
         "Error: Invalid values passed to the argument --runtime_order.\n Please provide comma seperated runtime "
         "order of precedence\n"},
        {{"--udo_package_path", "/nonexistent/libudo.so"},
         "Failed to load op package /nonexistent/libudo.so: /nonexistent/libudo.so: cannot open shared object "
         "file: No such file or directory\n"},
        {{"--userbuffer_float", "--userbuffer_memorymapped", "--userbuffer_memorymapped_shared"},
         "Cannot use --userbuffer_memorymapped  and --userbuffer_memorymapped_shared in the same run\n"},
        {{"--userbuffer_tf8", "--encoding_type", "nv21"},
         "Cannot use user buffer while specifying nv21 encoding type\n"},
        {{"--userbuffer_glbuffer", "--encoding_type", "nv21"},
         "Cannot use user buffer while specifying nv21 encoding type\n"},
        {{"--userbuffer_tf8_output"}, "Cannot use override user buffer output without specifying user buffer\n"},
        {{"--userbuffer_float", "--data_type_map", "in=float32"},
         "Cannot use data_type_map while specifying --userbuffer_xx options\n"},
        {{"--userbuffer_auto", "--userbuffer_float_output"},
         "Cannot specify user buffer outputs while using user buffer auto\n"},
        {{"--userbuffer_auto", "--userbuffer_tf8"}, "Cannot specify user buffer inputs while using user buffer auto\n"},
        {{"--use_native_input_files"}, "Cannot use native file I/O without specifying user buffer\n"},
        {{"--use_native_output_files"}, "Cannot use native file I/O without specifying user buffer\n"},
        {{"--tensor_mode", "iTensor"}, "Specify data type for tensors using --data_type_map along with --tensor_mode\n"},
        {{"--data_type_map", "in=float32"},
         "Specify data type for tensors using --data_type_map along with --tensor_mode\n"},
        {{"--userbuffer_memorymapped"}, "Cannot use --userbuffer_memorymapped without using --userbuffer_xxx\n"},
        {{"--runtime_order", "dsp", "--use_gpu"},
         "Invalid option cannot mix --runtime_order with --use_dsp or --use_gpu or --use_aip\n"},
        {{"--userbuffer_tf8", "--userbuffer_memorymapped", "--use_dsp"},
         "--userbuffer_memorymapped and --userbuffer_memorymapped_shared are only supported in dsp runtime on ktp "
         "devices and in gpu runtime.\n"},
        {{"--userbuffer_tf8", "--userbuffer_memorymapped_shared"},
         "--userbuffer_memorymapped and --userbuffer_memorymapped_shared are only supported in dsp runtime on ktp "
         "devices and in gpu runtime.\n"},
        {{"--deferred_init", "lazy"},
         "Invalid options to --deferred_init : \"lazy\", valid options are weights, spill-fill and all.\n"},
        {{"--group_id", "0"}, "--group_id and --max_spill_fill_buffer must be passed together.\n"},
        {{"--max_spill_fill_buffer", "10"}, "--group_id and --max_spill_fill_buffer must be passed together.\n"},
        {{"--group_id", "0", "--max_spill_fill_buffer", "10", "--use_dsp"},
         "Multi-Context registration is only supported in dsp runtime on ktp devices.\n"},
        {{"--enable_dsp_vtcm_retention", "--runtime_order", "dsp"},
         "--enable_dsp_vtcm_retention is only supported in dsp runtime on ktp devices.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Validation v(c.args);
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.message(), c.message);
        EXPECT_NE(v.err.find("Command Line Options:\n"), std::string::npos);
        EXPECT_EQ(v.out, "");
    }
}

// Two faults at once, one from each of two neighbouring validation steps:
// the earlier step's message, whatever the order on the command line.
TEST(Validation, TwoFaultsReportTheEarlierStep) {
    const std::string invalid = " Please check the Arguments section in the description below\n";
    struct Step {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Step> steps = {
        {{"--gpu_mode", "fp16"}, "ERROR: Invalid setting pased to the argument --gpu_mode.\n" + invalid},
        {{"--perf_profile", "BURST"}, "ERROR: Invalid setting pased to the argument --perf_profile.\n" + invalid},
        {{"--encoding_type", "NV21"}, "ERROR: Invalid setting pased to the argument --encoding_type.\n" + invalid},
        {{"--userbuffer_tfN", "12"}, "ERROR: Invalid Userbuffer size provided. 12 not supported \n"},
        {{"--tensor_mode", "itensor"}, "Incorrect option provided for tensorMode.\n"},
        {{"--input_dimensions", "1,2"}, "No input name was specified for input for at lease one set of dimensions\n"},
        {{"--priority_hint", "urgent"}, "ERROR: Invalid setting passed to the argument --priority_hint\n"},
        {{"--resizable_dim", "4"}, "resizableDim is only applicable for user buffers\n"},
        {{"--userlogs", "loud"}, "ERROR: Invalid setting passed to the argument --userlogs\n"},
        {{"--profiling_level", "full"}, "ERROR: Invalid setting passed to the argument --profiling_level\n"},
        {{"--cache_compatibility_mode", "lax"}, "ERROR: Invalid setting passed to the argument --cache_compatibility_mode\n"},
        {{"--inferences_per_duration", "0,5"}, "Error: Invalid values passed to the argument --interence_per_duration.\n"},
        {{"--runtime_order", "cpu,npu"}, "Error: Invalid values passed to the argument --runtime_order.\n"},
        {{"--udo_package_path", "/nonexistent/libudo.so"}, "Failed to load op package /nonexistent/libudo.so"},
        {{"--userbuffer_memorymapped", "--userbuffer_memorymapped_shared"},
         "Cannot use --userbuffer_memorymapped  and --userbuffer_memorymapped_shared in the same run\n"},
        {{"--use_native_input_files"}, "Cannot use native file I/O without specifying user buffer\n"},
        {{"--deferred_init", "lazy"}, "Invalid options to --deferred_init : \"lazy\""},
        {{"--group_id", "0"}, "--group_id and --max_spill_fill_buffer must be passed together.\n"},
    };
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        std::vector<std::string> args = steps[i + 1].args;  // the later fault first on the line
        args.insert(args.end(), steps[i].args.begin(), steps[i].args.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        const Validation v(args);
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.message().rfind(steps[i].message, 0), 0u) << v.message();
    }
}

TEST(Validation, DerivedSettings) {
    struct Case {
        std::vector<std::string> args;
        std::function<void(const RunConfig&)> check;
    };
    const std::vector<Case> cases = {
        {{}, [](const RunConfig& c) {
             EXPECT_EQ(c.runtime, 0u);
             EXPECT_EQ(c.perfProfile, 1u);
             EXPECT_EQ(c.profilingLevel, 2u);
             EXPECT_EQ(c.logLevel, 1u);
             EXPECT_TRUE(c.dynamicQuantization);
             EXPECT_FALSE(c.useUserBuffers);
             EXPECT_EQ(c.deferredInitMode, 0u);
         }},
        {{"--use_gpu", "--gpu_mode", "float16"}, [](const RunConfig& c) { EXPECT_EQ(c.runtime, 3u); }},
        {{"--use_gpu"}, [](const RunConfig& c) { EXPECT_EQ(c.runtime, 1u); }},
        {{"--use_gpu", "--use_dsp"}, [](const RunConfig& c) { EXPECT_EQ(c.runtime, 2u); }},
        {{"--gpu_mode", "default"}, [](const RunConfig& c) { EXPECT_EQ(c.runtime, 1u); }},
        {{"--perf_profile", "balanced"}, [](const RunConfig& c) { EXPECT_EQ(c.perfProfile, 0u); }},
        {{"--perf_profile", "burst"}, [](const RunConfig& c) { EXPECT_EQ(c.perfProfile, 5u); }},
        {{"--perf_profile", "extreme_power_saver"}, [](const RunConfig& c) { EXPECT_EQ(c.perfProfile, 9u); }},
        {{"--static_min_max"}, [](const RunConfig& c) { EXPECT_FALSE(c.dynamicQuantization); }},
        {{"--userbuffer_tfN", "16"},
         [](const RunConfig& c) {
             EXPECT_EQ(c.inputBitWidth, 16u);
             EXPECT_TRUE(c.userbufferTf8);
             EXPECT_TRUE(c.useUserBuffers);
         }},
        {{"--userbuffer_tfN", "16", "--userbuffer_tfN", "32"},
         [](const RunConfig& c) { EXPECT_EQ(c.inputBitWidth, 16u); }},
        {{"--userbuffer_float"}, [](const RunConfig& c) { EXPECT_EQ(c.inputBitWidth, 32u); }},
        {{"--userbuffer_floatN", "16"},
         [](const RunConfig& c) {
             EXPECT_EQ(c.inputBitWidth, 16u);
             EXPECT_TRUE(c.userbufferFloat);
         }},
        {{"--userbuffer_float", "--userbuffer_uintN_output", "32"},
         [](const RunConfig& c) {
             EXPECT_TRUE(c.uintOutput);
             EXPECT_TRUE(c.outputOverride);
             EXPECT_EQ(c.outputBitWidth, 32u);
         }},
        {{"--userbuffer_float", "--userbuffer_floatN_output", "16"},
         [](const RunConfig& c) {
             EXPECT_TRUE(c.floatOutput);
             EXPECT_EQ(c.outputBitWidth, 16u);
         }},
        {{"--tensor_mode", "userBuffer", "--data_type_map", "a=b=float16", "--data_type_map", "x=int8",
          "--data_type_map", "x=uint8"},
         [](const RunConfig& c) {
             EXPECT_TRUE(c.useUserBuffers);
             EXPECT_EQ(c.dataTypeMap.size(), 2u);
             EXPECT_EQ(c.dataTypeMap.at("a=b"), "float16");
             EXPECT_EQ(c.dataTypeMap.at("x"), "uint8");
         }},
        {{"--tensor_mode", "iTensor", "--data_type_map", "in=float32"},
         [](const RunConfig& c) { EXPECT_FALSE(c.useUserBuffers); }},
        {{"--inferences_per_duration", "10,2"},
         [](const RunConfig& c) { EXPECT_DOUBLE_EQ(c.secondsPerInference, 0.2); }},
        {{"--inferences_per_duration", "10"},
         [](const RunConfig& c) { EXPECT_DOUBLE_EQ(c.secondsPerInference, 1.0); }},
        {{"--inferences_per_duration", " 1e1x,+.5e0"},
         [](const RunConfig& c) { EXPECT_DOUBLE_EQ(c.secondsPerInference, 0.05); }},
        {{"--runtime_order", "dsp,gpu_float16,cpu"},
         [](const RunConfig& c) {
             EXPECT_EQ(runtimeListEntries(c.runtimeList), (std::vector<uint32_t>{2, 3, 0}));
         }},
        {{"--priority_hint", "critical_plus"}, [](const RunConfig& c) { EXPECT_EQ(c.priorityHint, 7u); }},
        {{"--profiling_level", "off"}, [](const RunConfig& c) { EXPECT_EQ(c.profilingLevel, 0u); }},
        {{"--profiling_level", "moderate"}, [](const RunConfig& c) { EXPECT_EQ(c.profilingLevel, 3u); }},
        {{"--cache_compatibility_mode", "always_generate_new"},
         [](const RunConfig& c) { EXPECT_EQ(c.cacheCompatibilityMode, 2u); }},
        {{"--deferred_init", "spill-fill"}, [](const RunConfig& c) { EXPECT_EQ(c.deferredInitMode, 2u); }},
        {{"--userlogs", "Info,/Tmp/Log"},
         [](const RunConfig& c) {
             EXPECT_EQ(c.logLevel, 3u);
             EXPECT_TRUE(c.userLoggingInitialised);
         }},
        {{"--graph_init", "g1,,g2\r", "--graph_execute", "g2"},
         [](const RunConfig& c) {
             EXPECT_EQ(c.graphInitList, (std::vector<std::string>{"g1", "g2"}));
             EXPECT_EQ(c.graphExecuteList, (std::vector<std::string>{"g2"}));
         }},
        {{"--userbuffer_float", "--userbuffer_memorymapped_shared", "--use_gpu"},
         [](const RunConfig& c) { EXPECT_TRUE(c.userbufferMemoryMapped); }},
        {{"--input_name", "in0", "--input_dimensions", "1,224,224,3", "--input_name", "g2 in1",
          "--input_dimensions", "g2 1,8"},
         [](const RunConfig& c) {
             ASSERT_EQ(c.inputDimensionTable.size(), 2u);
             EXPECT_TRUE(c.inputDimensionTable.count(""));
             EXPECT_TRUE(c.inputDimensionTable.count("g2"));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Validation v(c.args);
        EXPECT_EQ(v.status, -1) << v.err;
        c.check(v.config);
    }
}

TEST(Validation, BufferDataTypeIsANoOpWithANotice) {
    const Validation v({"--buffer_data_type", "in=float32"});
    EXPECT_EQ(v.status, -1);
    EXPECT_EQ(v.out, "This option is a no-op, please use --data_type_map for providing map for buffers.\n");
}

TEST(Validation, MissingRequiredOptionsFailEvenWithDefaults) {
    RuntimeListHandle list(Vexa_RuntimeList_Create());
    for (const std::vector<const char*>& argv :
         {std::vector<const char*>{"t", "--input_list", "x"}, std::vector<const char*>{"t", "--container", "x"}}) {
        RunConfig config;
        config.runtimeList = list.get();
        testing::internal::CaptureStderr();
        EXPECT_EQ(parseCommandLine(static_cast<int>(argv.size()), argv.data(), config), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                      "Command Line Error: Missing required argument\nCommand Line Options:\n", 0),
                  0u);
    }
}

TEST(OutputTensorRequests, GraphNamesSplitCommaListsOnlyAfterAGraph) {
    RunConfig c;
    c.setOutputTensors = {"g1 a,b", "a,b", "g1 c", "  ", "g2 x y"};
    buildOutputTensorRequests(c);
    EXPECT_EQ(c.outputTensorRequests.at("g1"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(c.outputTensorRequests.at(""), (std::vector<std::string>{"a,b"}));
    EXPECT_EQ(c.outputTensorRequests.at("g2"), (std::vector<std::string>{"x"}));
    EXPECT_EQ(c.outputTensorRequests.size(), 3u);
}

TEST(SplitString, DropsEmptyPiecesAndTrailingCarriageReturns) {
    EXPECT_EQ(splitString("a,,b\r,\r,", ','), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(splitString("", ','), std::vector<std::string>{});
    EXPECT_EQ(splitString("  x  y ", ' '), (std::vector<std::string>{"x", "y"}));
}

}  // namespace
