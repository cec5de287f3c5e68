// The tool's option parser: typed options bound to settings that live
// outside the parser, a built-in help/version pass, and the help listing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace Misc {

enum class OptionKind : uint32_t {
    Bool = 0,
    Int = 1,
    UInt = 2,
    UInt64 = 3,
    Float = 4,
    Double = 5,
    Text = 6,
    BoolList = 7,
    IntList = 8,
    UIntList = 9,
    ULong = 10,
    FloatList = 11,
    DoubleList = 12,
    TextList = 13,
};

struct Option {
    bool found = false;
    std::string shortName;
    std::string longName;
    OptionKind kind = OptionKind::Bool;
    std::vector<std::string> values;
    bool secret = false;
    bool required = false;
    uint32_t argumentMode = 0;  // 0: no value, 1: requires a value
    std::string description;
    void* target = nullptr;
};

struct OptionGroup {
    static constexpr size_t kMaxOptions = 100;
    bool ignoreUnknown = false;
    std::vector<std::unique_ptr<Option>> options;
};

class CommandLine {
public:
    using Validator = std::function<bool(const CommandLine&)>;
    enum ParseResult : int { Continue = 0, BuiltinHandled = 1, Error = 2 };

    CommandLine();

    // names: one or two of "-x" / "--word"; flagA/flagB: "required", "secret" or "".
    void addOption(const std::vector<std::string>& names, OptionKind kind, void* target,
                   const std::string& description, uint32_t argumentMode,
                   const std::string& flagA = "", const std::string& flagB = "");

    void addOption(const std::vector<std::string>& names, bool* target, const std::string& description,
                   const std::string& flagA = "", const std::string& flagB = "");
    void addOption(const std::vector<std::string>& names, int32_t* target, const std::string& description,
                   const std::string& flagA = "", const std::string& flagB = "");
    void addOption(const std::vector<std::string>& names, uint32_t* target, const std::string& description,
                   const std::string& flagA = "", const std::string& flagB = "");
    void addOption(const std::vector<std::string>& names, uint64_t* target, const std::string& description,
                   const std::string& flagA = "", const std::string& flagB = "");
    void addOption(const std::vector<std::string>& names, double* target, const std::string& description,
                   const std::string& flagA = "", const std::string& flagB = "");
    void addOption(const std::vector<std::string>& names, std::string* target, const std::string& description,
                   const std::string& flagA = "", const std::string& flagB = "");
    void addOption(const std::vector<std::string>& names, std::vector<std::string>* target,
                   const std::string& description, const std::string& flagA = "", const std::string& flagB = "");

    void addValidator(Validator validator);

    ParseResult parse(int argc, const char* const* argv, bool quiet);

    // Whether the option occurred in the latest parse; leading dashes are ignored.
    bool isSet(const std::string& name) const;
    bool isBuiltinSet(const std::string& name) const;

    void printHelp(std::ostream& out) const;

    const OptionGroup& mainGroup() const { return main_; }

private:
    static void registerInto(OptionGroup& group, std::unique_ptr<Option> option);
    static void registerBuiltins(OptionGroup& group);
    static void parseGroup(OptionGroup& group, int argc, const char* const* argv);
    static const Option& find(const OptionGroup& group, const std::string& name);

    OptionGroup main_;
    OptionGroup builtin_;
    std::vector<Validator> validators_;
};

// Conversions used by the parser, exposed for reuse and tests. Each throws
// std::runtime_error("Value cannot be converted") on failure.
int32_t toInt32(const std::string& text);
uint32_t toUInt32(const std::string& text);
bool toBool(const std::string& text);
float toFloat(const std::string& text);
double toDouble(const std::string& text);

extern const char* const kVersionText;  // "2.48.0.260626120635"

}  // namespace Misc
