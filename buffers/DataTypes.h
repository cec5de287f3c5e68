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
