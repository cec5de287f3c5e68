#include "core/Tensor.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "core/StoragePool.h"

#include <cstdlib>
#include <new>

#include "core/Dispatch.h"
#include "Half.h"

namespace vexart {

size_t dtypeSize(DType t) {
    switch (t) {
        case DType::Float: return 4;
        case DType::UInt8: return 1;
        case DType::Int8: return 1;
        case DType::UInt16: return 2;
        case DType::Int16: return 2;
        case DType::Int32: return 4;
        case DType::Int64: return 8;
        case DType::Bool: return 1;
        case DType::Float16: return 2;
        case DType::BFloat16: return 2;
        case DType::Double: return 8;
        case DType::UInt32: return 4;
        case DType::UInt64: return 8;
        case DType::String: return 0;
        default: return 0;
    }
}

const char* dtypeName(DType t) {
    switch (t) {
        case DType::Float: return "float32";
        case DType::UInt8: return "uint8";
        case DType::Int8: return "int8";
        case DType::UInt16: return "uint16";
        case DType::Int16: return "int16";
        case DType::Int32: return "int32";
        case DType::Int64: return "int64";
        case DType::Bool: return "bool";
        case DType::Float16: return "float16";
        case DType::BFloat16: return "bfloat16";
        case DType::Double: return "float64";
        case DType::UInt32: return "uint32";
        case DType::UInt64: return "uint64";
        case DType::String: return "string";
        case DType::Sequence: return "sequence";
        case DType::Optional: return "optional";
        default: return "undefined";
    }
}

int64_t elementCount(const Shape& s) {
    // Shapes may come straight from a model's data: overflow is an error,
    // not a wrapped count.
    int64_t n = 1;
    for (int64_t d : s) {
        if (__builtin_mul_overflow(n, d, &n)) throw ExecError("shape " + shapeText(s) + " is too large");
    }
    return n;
}

std::string shapeText(const Shape& s) {
    std::string t = "[";
    for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
    return t + "]";
}

namespace {

// Under AddressSanitizer the block behind an empty tensor is poisoned: a
// kernel that reads "element 0" of an empty input (clamping an index to
// [0, -1], taking a scalar of nothing) is caught, where the block's
// minimum size and alignment slack would hide it.
#if defined(__SANITIZE_ADDRESS__)
void poison(const void* p, size_t bytes) { __asan_poison_memory_region(p, bytes); }
void unpoison(const void* p, size_t bytes) { __asan_unpoison_memory_region(p, bytes); }
#else
void poison(const void*, size_t) {}
void unpoison(const void*, size_t) {}
#endif

// 2^40 elements: beyond any memory this runs on, far from 64-bit overflow.
// Fuzzing builds lower it so that fuzzed shapes stay within a test's memory
// and time.
#ifndef VEXA_MAX_TENSOR_ELEMENTS
#define VEXA_MAX_TENSOR_ELEMENTS (int64_t{1} << 40)
#endif
constexpr int64_t kMaxElements = VEXA_MAX_TENSOR_ELEMENTS;
}  // namespace

void requireAllocatable(const Shape& shape) {
    // Shapes come from untrusted files: refuse counts whose byte size overflows
    // rather than allocate a wrapped-around size and write past it.
    for (int64_t d : shape) {
        if (d < 0) throw ExecError("negative dimension in shape " + shapeText(shape));
    }
    if (elementCount(shape) > kMaxElements) throw ExecError("shape " + shapeText(shape) + " is too large");
}

void Tensor::reset(DType type, const Shape& shape) {
    requireAllocatable(shape);
    const int64_t count = elementCount(shape);
    type_ = type;
    width_ = dtypeSize(type);
    shape_ = shape;
    count_ = count;
    if (type_ == DType::String) {
        strings.resize(static_cast<size_t>(count_));
        data_ = nullptr;
        return;
    }
    if (holdsTensors(type_)) {
        data_ = nullptr;
        return;
    }
    const size_t need = static_cast<size_t>(count_) * width_;
    zeroed_ = false;
    if (storage_ != nullptr) unpoison(storage_.get(), capacity_ + 64);
    if (need > capacity_ || data_ == nullptr) {
        // 64-byte alignment for vectorised kernels; one spare cache line.
        // Blocks are capacity + 64 bytes: the alignment's slack.
        giveBack();
        size_t block = 0;
        storage_ = StoragePool::take(std::max<size_t>(need, 64) + 128, block, zeroed_);
        capacity_ = block - 64;
        auto p = reinterpret_cast<uintptr_t>(storage_.get());
        data_ = reinterpret_cast<void*>((p + 63) & ~uintptr_t{63});
    }
    if (need == 0) poison(storage_.get(), capacity_ + 64);
}

void Tensor::giveBack() {
    if (storage_ != nullptr) {
        unpoison(storage_.get(), capacity_ + 64);
        StoragePool::give(std::move(storage_), capacity_ + 64);
    }
    storage_.reset();
}

void Tensor::zero() {
    if (!zeroed_ && bytes() != 0) std::memset(data_, 0, bytes());
}

void Tensor::view(DType type, Shape shape, void* data) {
    const int64_t count = elementCount(shape);
    type_ = type;
    width_ = dtypeSize(type);
    shape_ = std::move(shape);
    count_ = count;
    giveBack();
    capacity_ = static_cast<size_t>(count_) * width_;
    data_ = data;
    zeroed_ = false;
}

void Tensor::adopt(Tensor& from) {
    if (&from == this) return;
    giveBack();
    type_ = from.type_;
    width_ = from.width_;
    shape_ = from.shape_;
    count_ = from.count_;
    storage_ = std::move(from.storage_);
    capacity_ = from.capacity_;
    data_ = from.data_;
    zeroed_ = from.zeroed_;
    layout_ = from.layout_;
    from.release();
}

void Tensor::release() {
    giveBack();
    capacity_ = 0;
    data_ = nullptr;
    zeroed_ = false;
}

Shape Tensor::logicalShape() const {
    if (layout_.isChannelsLast() && shape_.size() == 4) return {shape_[0], shape_[3], shape_[1], shape_[2]};
    if (layout_.isChannelsLast() && shape_.size() == 5) return {shape_[0], shape_[4], shape_[1], shape_[2], shape_[3]};
    if (layout_.isChannelsLast() && shape_.size() == 3) return {shape_[0], shape_[2], shape_[1]};
    if (layout_.isBlocked() && shape_.size() == 5) return {shape_[0], shape_[1] * shape_[4], shape_[2], shape_[3]};
    return shape_;
}

Shape physicalShape(const Shape& logical, Layout layout) {
    if (layout == Layout::plain()) return logical;
    // Volumes [N,C,D,H,W] go channels last ([N,D,H,W,C]), never in blocks.
    if (layout == Layout::channelsLast() && logical.size() == 5) return {logical[0], logical[2], logical[3], logical[4], logical[1]};
    // Sequences [N,C,W] go channels last ([N,W,C]), never in blocks.
    if (layout == Layout::channelsLast() && logical.size() == 3) return {logical[0], logical[2], logical[1]};
    if (logical.size() != 4) return logical;
    if (layout == Layout::channelsLast()) return {logical[0], logical[2], logical[3], logical[1]};
    const int b = layout.block();
    if (b == 0) throw ExecError("no physical shape in the " + layout.name() + " layout");
    if (logical[1] % b != 0) throw ExecError("channels " + std::to_string(logical[1]) + " do not fill blocks of " + std::to_string(b));
    return {logical[0], logical[1] / b, logical[2], logical[3], b};
}

void Tensor::widthMismatch(size_t width) const {
    throw ExecError(std::string(dtypeName(type_)) + " tensor read as elements of " + std::to_string(width) + " bytes");
}

std::vector<int64_t> Tensor::toInt64() const {
    std::vector<int64_t> v(static_cast<size_t>(count_));
    if (type_ == DType::Int64) {
        if (count_ != 0) std::memcpy(v.data(), data_, v.size() * 8);
        return v;
    }
    // Values beyond int64 (a uint64 index, a float shape from a fuzzed
    // model) saturate instead of converting out of range.
    for (int64_t i = 0; i < count_; ++i) v[static_cast<size_t>(i)] = castValue<int64_t>(scalarAsDouble(i));
    return v;
}

static double scalarOf(DType t, const void* p, int64_t i) {
    switch (t) {
        case DType::Float: return static_cast<const float*>(p)[i];
        case DType::Double: return static_cast<const double*>(p)[i];
        case DType::UInt8: return static_cast<const uint8_t*>(p)[i];
        case DType::Int8: return static_cast<const int8_t*>(p)[i];
        case DType::UInt16: return static_cast<const uint16_t*>(p)[i];
        case DType::Int16: return static_cast<const int16_t*>(p)[i];
        case DType::Int32: return static_cast<const int32_t*>(p)[i];
        case DType::Int64: return static_cast<double>(static_cast<const int64_t*>(p)[i]);
        case DType::UInt32: return static_cast<const uint32_t*>(p)[i];
        case DType::UInt64: return static_cast<double>(static_cast<const uint64_t*>(p)[i]);
        case DType::Bool: return static_cast<const uint8_t*>(p)[i];
        case DType::Float16: return halfToFloat(static_cast<const uint16_t*>(p)[i]);
        case DType::BFloat16: {
            const uint32_t bits = static_cast<uint32_t>(static_cast<const uint16_t*>(p)[i]) << 16;
            float f;
            std::memcpy(&f, &bits, 4);
            return f;
        }
        default: throw ExecError(std::string("no numeric value for type ") + dtypeName(t));
    }
}

double Tensor::scalarAsDouble(int64_t index) const {
    // Callers take "the" scalar of inputs that a model may make empty.
    if (index < 0 || index >= count_) {
        throw ExecError("element " + std::to_string(index) + " of a tensor of shape " + shapeText(shape_) + " was read");
    }
    return scalarOf(type_, data_, index);
}

}  // namespace vexart
