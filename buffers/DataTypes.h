// Data-type names of user buffers and raw files, their widths and the
// runtime library's element-type codes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

using DataTypeMap = std::unordered_map<std::string, std::string>;

extern const std::unordered_map<std::string, uint32_t> DataTypeBitWidths;
extern const std::unordered_map<std::string, uint32_t> DataTypeElementCodes;
extern const std::map<uint32_t, std::string> ElementCodeNames;

bool isDataTypeName(const std::string& name);

enum class DataTypeMapResult { Ok, Malformed, UnsupportedType };

// Fills `map` from `--data_type_map` values ("buffer=type", split at the
// last '='), writing the error message on failure. The caller ends the
// process on anything but Ok.
DataTypeMapResult parseDataTypeMap(const std::vector<std::string>& values, DataTypeMap& map);

#include "runtimelib/Vexa.h"

struct NetworkHandle {
    Vexa_VEXA_Handle_t network = nullptr;
    bool parallel = false;
};

// The model's own data-type name of a tensor; false after the message.
bool lookupNativeDataType(const NetworkHandle& net, const char* tensor, std::string& type, const std::string& network);

// Whether the model's element type of `tensor` is that of its user-buffer
// type; ends the process when the library has no attributes for it.
bool checkMappedInputType(Vexa_VEXA_Handle_t net, const char* tensor, const DataTypeMap& userBufferTypes,
                          const std::string& network);

// The options that choose data types (see the tool's run configuration).
struct TypeChoices {
    bool useNativeInputFiles = false, useNativeOutputFiles = false;
    bool userbufferAuto = false, userbufferFloat = false, userbufferTf8 = false;
    bool floatOutput = false, tfOutput = false, uintOutput = false;
    uint32_t inputBitWidth = 8;   // shared by --userbuffer_floatN and --userbuffer_tfN
    uint32_t outputBitWidth = 8;  // shared by the three N-width output options
    DataTypeMap dataTypeMap;
};

// File and user-buffer data types of every input and output of a network.
bool assignDataTypes(const TypeChoices& config, const NetworkHandle& net, const std::string& network,
                     const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
                     DataTypeMap& fileTypes, DataTypeMap& userBufferTypes);
