#include <iostream>

#include "buffers/DataTypes.h"

bool assignDataTypes(const TypeChoices& c, const NetworkHandle& net, const std::string& network,
                     const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
                     DataTypeMap& fileTypes, DataTypeMap& userBufferTypes) {
    const bool mapGiven = !c.dataTypeMap.empty();
    const bool autoTypes = c.userbufferAuto || mapGiven;
    const std::string inWidth = std::to_string(c.inputBitWidth);
    const std::string outWidth = std::to_string(c.outputBitWidth);
    for (const auto& name : inputs) {
        std::string type = "float32";
        if (c.useNativeInputFiles && !lookupNativeDataType(net, name.c_str(), type, network)) return false;
        fileTypes[name] = type;
    }
    for (const auto& name : outputs) {
        std::string type = "float32";
        if (c.useNativeOutputFiles && !lookupNativeDataType(net, name.c_str(), type, network)) return false;
        fileTypes[name] = type;
    }
    for (const auto& name : inputs) {
        std::string type;
        if (autoTypes) {
            std::cout << "Input: " << name << std::endl;
            if (!lookupNativeDataType(net, name.c_str(), type, network)) return false;
        } else if (c.userbufferFloat) {
            type = "float" + inWidth;
        } else if (c.userbufferTf8) {
            type = "fixedPoint" + inWidth;
        }
        if (!type.empty()) userBufferTypes[name] = type;
    }
    for (const auto& name : outputs) {
        std::string type;
        if (autoTypes) {
            std::cout << "Output: " << name << std::endl;
            if (!lookupNativeDataType(net, name.c_str(), type, network)) return false;
        } else if (c.floatOutput) {
            type = "float" + outWidth;
        } else if (c.tfOutput) {
            type = "fixedPoint" + outWidth;
        } else if (c.uintOutput) {
            type = "uint" + outWidth;
        } else if (c.userbufferFloat) {
            type = "float" + inWidth;
        } else if (c.userbufferTf8) {
            type = "fixedPoint" + inWidth;
        }
        if (!type.empty()) userBufferTypes[name] = type;
    }
    for (const auto& [buffer, type] : c.dataTypeMap) userBufferTypes[buffer] = type;
    // Width options of one kind combined with a flag of the other (a float
    // flag with --userbuffer_tf8's width 8, say) name types that do not exist.
    for (const auto& [buffer, type] : userBufferTypes) {
        if (!isDataTypeName(type)) {
            std::cerr << "Error: the --userbuffer_* options given make the data type '" << type << "' for tensor '"
                      << buffer << "', which is not a data type; give float widths of 16 or 32 and fixed-point "
                      << "widths of 8 or 16." << std::endl;
            return false;
        }
    }
    return true;
}
