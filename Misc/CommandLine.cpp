#include "Misc/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace Misc {

const char* const kVersionText = "2.48.0.260626120635";

namespace {

constexpr size_t kNameTableRows = 100;  // the last row always terminates the table
constexpr size_t kHelpColumn = 20;

[[noreturn]] void cannotConvert() { throw std::runtime_error("Value cannot be converted"); }

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Leading blanks, an optional sign and decimal digits, as the standard
// string-to-integer conversions read them. Returns false when no digit
// follows or the magnitude exceeds `limit`.
bool readDecimal(const std::string& text, uint64_t limit, bool& negative, uint64_t& magnitude) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (!overflow) {
            magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
            if (magnitude > limit) overflow = true;
        }
    }
    return !overflow;
}

template <typename T>
void setList(void* target, const std::vector<std::string>& values, T (*convert)(const std::string&)) {
    auto& list = *static_cast<std::vector<T>*>(target);
    list.clear();
    for (const auto& v : values) list.push_back(convert(v));
}

const std::string& firstValue(const Option& option) {
    // A value made only of spaces yields no token; there is nothing to convert.
    if (option.values.empty()) cannotConvert();
    return option.values.front();
}

void convertInto(const Option& option) {
    void* t = option.target;
    switch (option.kind) {
        case OptionKind::Bool: *static_cast<bool*>(t) = toBool(firstValue(option)); break;
        case OptionKind::Int: *static_cast<int32_t*>(t) = toInt32(firstValue(option)); break;
        case OptionKind::UInt:
        case OptionKind::ULong: *static_cast<uint32_t*>(t) = toUInt32(firstValue(option)); break;
        case OptionKind::UInt64: *static_cast<uint64_t*>(t) = toUInt32(firstValue(option)); break;
        case OptionKind::Float: *static_cast<float*>(t) = toFloat(firstValue(option)); break;
        case OptionKind::Double: *static_cast<double*>(t) = toDouble(firstValue(option)); break;
        case OptionKind::Text: *static_cast<std::string*>(t) = firstValue(option); break;
        case OptionKind::BoolList: {
            auto& list = *static_cast<std::vector<bool>*>(t);
            list.clear();
            for (const auto& v : option.values) list.push_back(toBool(v));
            break;
        }
        case OptionKind::IntList: setList<int32_t>(t, option.values, toInt32); break;
        case OptionKind::UIntList: setList<uint32_t>(t, option.values, toUInt32); break;
        case OptionKind::FloatList: setList<float>(t, option.values, toFloat); break;
        case OptionKind::DoubleList: setList<double>(t, option.values, toDouble); break;
        case OptionKind::TextList: *static_cast<std::vector<std::string>*>(t) = option.values; break;
    }
}

std::vector<std::string> splitOnSpaces(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

struct NameRow {
    std::string name;
    uint32_t argumentMode;
    size_t index;
};

std::vector<NameRow> buildNameTable(const OptionGroup& group) {
    std::vector<NameRow> rows;
    for (size_t i = 0; i < group.options.size(); ++i) {
        const Option& o = *group.options[i];
        if (!o.longName.empty()) rows.push_back({o.longName, o.argumentMode, i});
        if (!o.shortName.empty()) rows.push_back({o.shortName, o.argumentMode, i});
    }
    if (rows.size() >= kNameTableRows) throw std::logic_error("too many option names for the name table");
    return rows;
}

// One pass of the scanner over argv. Reports each argument either as an
// option (with its value text) or as unknown (with the word passed over).
class Scanner {
public:
    enum class Result { End, Found, Unknown };

    Scanner(const std::vector<NameRow>& rows, int argc, const char* const* argv)
        : rows_(rows), argc_(argc), argv_(argv) {}

    Result next() {
        if (index_ >= argc_) return Result::End;
        const std::string a = argv_[index_];
        passed_ = a;
        hasValue_ = false;
        value_.clear();
        if (a.empty() || a[0] != '-' || a.size() == 1) return unknown();

        size_t nameStart;
        if (a.size() == 2 || (a.size() >= 4 && a[2] == '=')) {
            nameStart = 1;
        } else if (a[1] != '-' && a[1] != '=') {
            return unknown();
        } else {
            nameStart = 2;
        }
        const std::string nameText = a.substr(nameStart);
        const std::string key = nameText.substr(0, nameText.find('='));
        const NameRow* row = nullptr;
        for (const auto& r : rows_) {
            if (r.name == key) {
                row = &r;
                break;
            }
        }
        if (row == nullptr) return unknown();
        optionIndex_ = row->index;

        if (row->argumentMode == 0) {
            ++index_;
            return Result::Found;
        }
        const size_t eq = a.find('=');
        if (eq != std::string::npos) {
            value_ = a.substr(eq + 1);
        } else {
            ++index_;
            if (index_ >= argc_) return Result::Unknown;
            value_ = argv_[index_];
        }
        hasValue_ = true;
        ++index_;
        return Result::Found;
    }

    size_t optionIndex() const { return optionIndex_; }
    bool hasValue() const { return hasValue_; }
    const std::string& value() const { return value_; }
    const std::string& passedOver() const { return passed_; }

private:
    Result unknown() {
        ++index_;
        return Result::Unknown;
    }

    const std::vector<NameRow>& rows_;
    int argc_;
    const char* const* argv_;
    int index_ = 1;
    size_t optionIndex_ = 0;
    bool hasValue_ = false;
    std::string value_;
    std::string passed_;
};

std::string stripDashes(const std::string& name) {
    size_t i = 0;
    while (i < name.size() && name[i] == '-') ++i;
    return name.substr(i);
}

}  // namespace

bool toBool(const std::string& text) {
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    cannotConvert();
}

int32_t toInt32(const std::string& text) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!readDecimal(text, uint64_t{1} << 31, negative, magnitude)) cannotConvert();
    if (!negative && magnitude > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) cannotConvert();
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

uint32_t toUInt32(const std::string& text) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!readDecimal(text, std::numeric_limits<uint32_t>::max(), negative, magnitude)) cannotConvert();
    const auto value = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0u - value) : value;
}

float toFloat(const std::string& text) {
    errno = 0;
    const char* begin = text.c_str();
    char* end = nullptr;
    const float v = std::strtof(begin, &end);
    if (end == begin || errno == ERANGE) cannotConvert();
    return v;
}

double toDouble(const std::string& text) {
    errno = 0;
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE) cannotConvert();
    return v;
}

CommandLine::CommandLine() {
    builtin_.ignoreUnknown = true;
    registerBuiltins(builtin_);
    registerBuiltins(main_);
}

void CommandLine::registerBuiltins(OptionGroup& group) {
    for (const auto& [names, description] :
         {std::pair<std::vector<std::string>, std::string>{{"-h", "--help"}, "Displays this help message."},
          std::pair<std::vector<std::string>, std::string>{{"--version"}, "Displays version information."}}) {
        auto option = std::make_unique<Option>();
        for (const auto& n : names) (n.size() == 2 ? option->shortName : option->longName) = stripDashes(n);
        option->kind = OptionKind::Bool;
        option->description = description;
        registerInto(group, std::move(option));
    }
}

void CommandLine::registerInto(OptionGroup& group, std::unique_ptr<Option> option) {
    if (group.options.size() >= OptionGroup::kMaxOptions) {
        std::cerr << "You have exceded max opterations of " << OptionGroup::kMaxOptions
                  << ", and must increase the value in CommandLine" << std::endl;
        throw std::runtime_error("Option overflow");
    }
    group.options.push_back(std::move(option));
}

void CommandLine::addOption(const std::vector<std::string>& names, OptionKind kind, void* target,
                            const std::string& description, uint32_t argumentMode, const std::string& flagA,
                            const std::string& flagB) {
    if (names.size() > 2) throw std::runtime_error("Bad Name");
    auto option = std::make_unique<Option>();
    for (const auto& name : names) {
        std::string* slot = nullptr;
        std::string stored;
        if (name.size() == 2 && name[0] == '-' && isAsciiLetter(name[1])) {
            slot = &option->shortName;
            stored = name.substr(1);
        } else if (name.size() > 2 && name[0] == '-' && name[1] == '-' && isAsciiLetter(name[2])) {
            slot = &option->longName;
            stored = name.substr(2);
        } else {
            throw std::runtime_error("Bad Name");
        }
        for (const auto& existing : main_.options) {
            if (existing->shortName == stored || existing->longName == stored) {
                throw std::runtime_error("Already Added");
            }
        }
        *slot = stored;
    }
    option->kind = kind;
    option->target = target;
    option->description = description;
    option->argumentMode = argumentMode;
    option->required = flagA == "required" || flagB == "required";
    option->secret = flagA == "secret" || flagB == "secret";
    registerInto(main_, std::move(option));
}

void CommandLine::addOption(const std::vector<std::string>& names, bool* target, const std::string& description,
                            const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::Bool, target, description, 0, flagA, flagB);
}
void CommandLine::addOption(const std::vector<std::string>& names, int32_t* target, const std::string& description,
                            const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::Int, target, description, 1, flagA, flagB);
}
void CommandLine::addOption(const std::vector<std::string>& names, uint32_t* target,
                            const std::string& description, const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::UInt, target, description, 1, flagA, flagB);
}
void CommandLine::addOption(const std::vector<std::string>& names, uint64_t* target,
                            const std::string& description, const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::UInt64, target, description, 1, flagA, flagB);
}
void CommandLine::addOption(const std::vector<std::string>& names, double* target, const std::string& description,
                            const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::Double, target, description, 1, flagA, flagB);
}
void CommandLine::addOption(const std::vector<std::string>& names, std::string* target,
                            const std::string& description, const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::Text, target, description, 1, flagA, flagB);
}
void CommandLine::addOption(const std::vector<std::string>& names, std::vector<std::string>* target,
                            const std::string& description, const std::string& flagA, const std::string& flagB) {
    addOption(names, OptionKind::TextList, target, description, 1, flagA, flagB);
}

void CommandLine::addValidator(Validator validator) { validators_.push_back(std::move(validator)); }

void CommandLine::parseGroup(OptionGroup& group, int argc, const char* const* argv) {
    for (auto& o : group.options) {
        o->found = false;
        o->values.clear();
    }
    const std::vector<NameRow> rows = buildNameTable(group);
    Scanner scanner(rows, argc, argv);
    for (;;) {
        const Scanner::Result r = scanner.next();
        if (r == Scanner::Result::End) break;
        if (r == Scanner::Result::Unknown) {
            if (group.ignoreUnknown) continue;
            throw std::runtime_error("Invalid argument passed " + scanner.passedOver());
        }
        Option& o = *group.options[scanner.optionIndex()];
        const std::string text = scanner.hasValue() ? scanner.value() : std::string("true");
        o.found = true;
        if (o.kind == OptionKind::Text || o.kind == OptionKind::TextList) {
            o.values.push_back(text);
        } else {
            for (auto& piece : splitOnSpaces(text)) o.values.push_back(std::move(piece));
        }
        if (o.target != nullptr) convertInto(o);
    }
    for (const auto& o : group.options) {
        if (o->required && !o->found) throw std::runtime_error("Missing required argument");
    }
}

CommandLine::ParseResult CommandLine::parse(int argc, const char* const* argv, bool quiet) {
    const std::vector<const char*> copy(argv, argv + argc);
    parseGroup(builtin_, argc, copy.data());
    if (isBuiltinSet("help")) {
        if (!quiet) printHelp(std::cerr);
        return BuiltinHandled;
    }
    if (isBuiltinSet("version")) {
        std::cout << "VEXA v" << kVersionText << std::endl;
        return BuiltinHandled;
    }
    try {
        parseGroup(main_, argc, argv);
    } catch (const std::runtime_error& e) {
        std::cerr << "Command Line Error: " << e.what() << std::endl;
        if (!quiet) printHelp(std::cerr);
        return Error;
    }
    bool ok = true;
    for (const auto& v : validators_) ok = v(*this) && ok;
    if (ok) return Continue;
    if (!quiet) printHelp(std::cerr);
    return Error;
}

const Option& CommandLine::find(const OptionGroup& group, const std::string& name) {
    const std::string bare = stripDashes(name);
    for (const auto& o : group.options) {
        if (o->shortName == bare || o->longName == bare) return *o;
    }
    throw std::logic_error("option not registered: " + name);
}

bool CommandLine::isSet(const std::string& name) const { return find(main_, name).found; }
bool CommandLine::isBuiltinSet(const std::string& name) const { return find(builtin_, name).found; }

void CommandLine::printHelp(std::ostream& out) const {
    out << "Command Line Options:\n";
    for (const auto& o : main_.options) {
        if (o->secret) continue;
        std::string text;
        if (!o->shortName.empty()) text += "-" + o->shortName;
        if (!o->shortName.empty() && !o->longName.empty()) text += ", ";
        if (!o->longName.empty()) text += "--" + o->longName;
        if (o->argumentMode == 1) text += "=<val>";
        if (!o->required) text = "[ " + text + " ]";

        std::vector<std::string> lines;
        size_t start = 0;
        while (start < o->description.size()) {
            size_t end = o->description.find('\n', start);
            if (end == std::string::npos) end = o->description.size();
            lines.push_back(o->description.substr(start, end - start));
            start = end + 1;
        }

        const std::string indent(kHelpColumn + 4, ' ');
        size_t first = 0;
        if (text.size() <= kHelpColumn) {
            out << "  " << text << std::string(kHelpColumn - text.size(), ' ') << "  ";
            out << (lines.empty() ? std::string() : lines[0]) << '\n';
            first = 1;
        } else {
            out << "  " << text << '\n';
        }
        for (size_t i = first; i < lines.size(); ++i) out << indent << lines[i] << '\n';
    }
    out.flush();
}

}  // namespace Misc
