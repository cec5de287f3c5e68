#include "buffers/DataTypes.h"

#include <cstdlib>
#include <iostream>

#include "runtimelib/UniqueHandle.h"

const std::unordered_map<std::string, uint32_t> DataTypeBitWidths = {
    {"float16", 16}, {"float32", 32}, {"fixedPoint8", 8}, {"fixedPoint16", 16}, {"int8", 8},
    {"int16", 16},   {"int32", 32},   {"int64", 64},      {"uint8", 8},         {"uint16", 16},
    {"uint32", 32},  {"uint64", 64},  {"bool8", 8},
};

const std::unordered_map<std::string, uint32_t> DataTypeElementCodes = {
    {"float16", 3}, {"float32", 1}, {"fixedPoint8", 10}, {"fixedPoint16", 11}, {"int8", 14},
    {"int16", 16},  {"int32", 12},  {"int64", 19},       {"uint8", 15},        {"uint16", 17},
    {"uint32", 13}, {"uint64", 20}, {"bool8", 18},
};

const std::map<uint32_t, std::string> ElementCodeNames = {
    {0, "float32"},  {1, "float32"}, {3, "float16"},  {10, "fixedPoint8"}, {11, "fixedPoint16"},
    {12, "int32"},   {13, "uint32"}, {14, "int8"},    {15, "uint8"},       {16, "int16"},
    {17, "uint16"},  {18, "bool8"},  {19, "int64"},   {20, "uint64"},
};

bool isDataTypeName(const std::string& name) { return DataTypeBitWidths.count(name) != 0; }

DataTypeMapResult parseDataTypeMap(const std::vector<std::string>& values, DataTypeMap& map) {
    for (const auto& value : values) {
        const size_t eq = value.rfind('=');
        if (value.empty() || eq == std::string::npos) {
            std::cerr << "Invalid argument: " << value << std::endl
                      << "Arguments should be formatted as:\n--data_type_map buffer_name1:buffer_name1_data_type "
                         "--data_type_map buffer_name2:buffer_name2_data_type"
                      << std::endl;
            return DataTypeMapResult::Malformed;
        }
        const std::string type = value.substr(eq + 1);
        map[value.substr(0, eq)] = type;
        if (!isDataTypeName(type)) {
            std::cerr << "Data type " << type << " not supported." << std::endl;
            return DataTypeMapResult::UnsupportedType;
        }
    }
    return DataTypeMapResult::Ok;
}

namespace {

Vexa_IBufferAttributes_Handle_t attributesOf(Vexa_VEXA_Handle_t net, const std::string& network, const char* tensor) {
    Vexa_IBufferAttributes_Handle_t a =
        Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net, network.c_str(), tensor);
    if (a == nullptr && Vexa_ErrorCode_getLastErrorCode() == VEXA_ERRORCODE_UNSUPPORTED_ENCODING) {
        std::cerr << "Encoding for: " << tensor << " is not currently supported in net-run.\n";
    }
    return a;
}

}  // namespace

bool lookupNativeDataType(const NetworkHandle& net, const char* tensor, std::string& type, const std::string& network) {
    const BufferAttributesHandle attrs(attributesOf(net.network, network, tensor));
    if (!attrs) return false;
    const uint32_t code =
        Vexa_UserBufferEncoding_GetElementType(Vexa_IBufferAttributes_GetEncoding_Ref(attrs.get()));
    const auto it = ElementCodeNames.find(code);
    if (it == ElementCodeNames.end()) {
        std::cout << "Can't find buffer datatype for: " << tensor << std::endl;
        return false;
    }
    type = it->second;
    return true;
}

bool checkMappedInputType(Vexa_VEXA_Handle_t net, const char* tensor, const DataTypeMap& userBufferTypes,
                          const std::string& network) {
    const BufferAttributesHandle attrs(attributesOf(net, network, tensor));
    if (!attrs) std::exit(1);
    const uint32_t code =
        Vexa_UserBufferEncoding_GetElementType(Vexa_IBufferAttributes_GetEncoding_Ref(attrs.get()));
    return code == DataTypeElementCodes.at(userBufferTypes.at(tensor));
}
