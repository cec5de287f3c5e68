// The library-side objects behind the opaque handles of the simple classes.
// Every object starts with a tag so that a handle of the wrong class, or a
// stale one, is refused instead of being misread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ErrorState.h"

namespace vexart {

enum class Tag : uint32_t {
    StringList = 0x5653'4c31,
    TensorShape,
    TensorShapeMap,
    RuntimeList,
    PlatformConfig,
    DlVersion,
    Container,
    Builder,
    Network,
    ITensor,
    TensorMap,
    Encoding,
    BufferAttributes,
    UserBuffer,
    UserBufferMap,
    UserMemoryMap,
    PerfProfile,
    Options,
    DiagLog,
    Dead = 0xdead'dead,
};

template <Tag T>
struct Tagged {
    static constexpr Tag kTag = T;
    Tag tag = T;
    ~Tagged() { tag = Tag::Dead; }
};

struct StringList : Tagged<Tag::StringList> {
    std::vector<std::string> items;
};

struct TensorShape : Tagged<Tag::TensorShape> {
    std::vector<size_t> dims;
};

struct TensorShapeMap : Tagged<Tag::TensorShapeMap> {
    std::map<std::string, std::vector<size_t>> shapes;
};

struct RuntimeList : Tagged<Tag::RuntimeList> {
    std::vector<uint32_t> runtimes;
};

struct PlatformConfig : Tagged<Tag::PlatformConfig> {
    std::string options;
    std::map<std::string, std::string> values;
};

struct DlVersion : Tagged<Tag::DlVersion> {
    std::string text;
};

// The object behind `handle` when it is of class T, else null with the
// error recorded.
template <typename T>
T* as(void* handle, const char* function) {
    auto* object = static_cast<T*>(handle);
    if (object == nullptr || object->tag != T::kTag) {
        setError(3, std::string(function) + ": invalid handle");
        return nullptr;
    }
    return object;
}

}  // namespace vexart
