#include "buffers/DataTypes.h"

#include <iostream>

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
