#include <onnx/onnx_pb.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "core/Kernel.h"

namespace vexart {
namespace {

struct Registration {
    KernelFactory factory;
    OpTraits traits;
    std::string source;
};

std::unordered_map<std::string, Registration>& registry() {
    static std::unordered_map<std::string, Registration> r;
    return r;
}

void registerAll() {
    registerElementwiseKernels();
    registerShapeKernels();
    registerNnKernels();
    registerConvKernels();
    registerPoolKernels();
    registerMatMulKernels();
    registerConcatKernels();
    registerLayerNormKernels();
    registerSoftmaxKernels();
    registerBatchNormKernels();
    registerResizeKernels();
    registerReductionKernels();
    registerTopKKernels();
    registerLossKernels();
    registerIndexingKernels();
    registerQuantizedKernels();
    registerRecurrentKernels();
    registerControlFlowKernels();
    registerSignalKernels();
    registerAlgebraKernels();
    registerDetectionKernels();
    registerGridSampleKernels();
    registerNormalizationKernels();
    registerSequenceKernels();
    registerStringKernels();
    registerLpPoolKernels();
    registerConvTransposeKernels();
}

// Counts are compared before anything is allocated: a model may declare
// 2^40 elements and carry none.
template <typename T, typename Field>
void copyTyped(const Field& field, DType type, const Shape& shape, Tensor& out) {
    if (static_cast<int64_t>(field.size()) != elementCount(shape)) throw ExecError("tensor data does not match its shape");
    out.reset(type, shape);
    T* dst = out.data<T>();
    for (int64_t i = 0; i < out.size(); ++i) dst[i] = static_cast<T>(field.Get(static_cast<int>(i)));
}

}  // namespace

static const std::unordered_map<std::string, Registration>& registered() {
    static std::once_flag once;
    std::call_once(once, registerAll);
    return registry();
}

const KernelFactory* findKernel(const std::string& opType) {
    const auto it = registered().find(opType);
    return it == registered().end() ? nullptr : &it->second.factory;
}

void registerKernel(const std::string& opType, KernelFactory factory, OpTraits traits, const char* source) {
    std::string file = source;
    const auto slash = file.find("executor/");
    if (slash != std::string::npos) file.erase(0, slash + 9);
    registry()[opType] = {std::move(factory), std::move(traits), std::move(file)};
}

const OpTraits& opTraits(const std::string& opType) {
    static const OpTraits none;
    const auto it = registered().find(opType);
    return it == registered().end() ? none : it->second.traits;
}

std::vector<std::pair<std::string, std::string>> registeredOperators() {
    std::vector<std::pair<std::string, std::string>> ops;
    for (const auto& [name, r] : registered()) ops.emplace_back(name, r.source);
    std::sort(ops.begin(), ops.end());
    return ops;
}

const void* Attrs::find(const char* name) const {
    for (const auto& a : node_.attribute()) {
        if (a.name() == name) return &a;
    }
    return nullptr;
}

bool Attrs::has(const char* name) const { return find(name) != nullptr; }

int64_t Attrs::i(const char* name, int64_t fallback) const {
    const auto* a = static_cast<const onnx::AttributeProto*>(find(name));
    return a != nullptr ? a->i() : fallback;
}

float Attrs::f(const char* name, float fallback) const {
    const auto* a = static_cast<const onnx::AttributeProto*>(find(name));
    return a != nullptr ? a->f() : fallback;
}

std::string Attrs::s(const char* name, const std::string& fallback) const {
    const auto* a = static_cast<const onnx::AttributeProto*>(find(name));
    return a != nullptr ? a->s() : fallback;
}

std::vector<int64_t> Attrs::ints(const char* name) const {
    const auto* a = static_cast<const onnx::AttributeProto*>(find(name));
    if (a == nullptr) return {};
    return {a->ints().begin(), a->ints().end()};
}

std::vector<float> Attrs::floats(const char* name) const {
    const auto* a = static_cast<const onnx::AttributeProto*>(find(name));
    if (a == nullptr) return {};
    return {a->floats().begin(), a->floats().end()};
}

const onnx::TensorProto* Attrs::tensor(const char* name) const {
    const auto* a = static_cast<const onnx::AttributeProto*>(find(name));
    return a != nullptr && a->has_t() ? &a->t() : nullptr;
}

void tensorFromProto(const onnx::TensorProto& proto, Tensor& out, bool shareRaw) {
    if (proto.data_location() == onnx::TensorProto::EXTERNAL) {
        throw ExecError("tensor " + proto.name() + " keeps its data in an external file, which is not supported");
    }
    const auto type = static_cast<DType>(proto.data_type());
    Shape shape(proto.dims().begin(), proto.dims().end());
    requireAllocatable(shape);
    const int64_t count = elementCount(shape);
    if (type == DType::String) {
        if (proto.string_data_size() != count) throw ExecError("string tensor data does not match its shape");
        out.reset(type, shape);
        for (int i = 0; i < proto.string_data_size(); ++i) out.strings[static_cast<size_t>(i)] = proto.string_data(i);
        return;
    }
    if (dtypeSize(type) == 0) throw ExecError("tensor " + proto.name() + " has an unsupported element type");
    if (proto.has_raw_data()) {
        // count is at most 2^40 and an element 16 bytes: no overflow.
        if (proto.raw_data().size() != static_cast<uint64_t>(count) * dtypeSize(type)) {
            throw ExecError("tensor " + proto.name() + " data size mismatch");
        }
        if (shareRaw) {
            // Never written: kernels write only their outputs.
            out.view(type, shape, const_cast<char*>(proto.raw_data().data()));
            return;
        }
        out.reset(type, shape);
        if (out.bytes() != 0) std::memcpy(out.raw(), proto.raw_data().data(), out.bytes());
        return;
    }
    switch (type) {
        case DType::Float: copyTyped<float>(proto.float_data(), type, shape, out); break;
        case DType::Double: copyTyped<double>(proto.double_data(), type, shape, out); break;
        case DType::Int64: copyTyped<int64_t>(proto.int64_data(), type, shape, out); break;
        case DType::UInt64: copyTyped<uint64_t>(proto.uint64_data(), type, shape, out); break;
        case DType::UInt32: copyTyped<uint32_t>(proto.uint64_data(), type, shape, out); break;
        case DType::Int32: copyTyped<int32_t>(proto.int32_data(), type, shape, out); break;
        case DType::Int16: copyTyped<int16_t>(proto.int32_data(), type, shape, out); break;
        case DType::UInt16: copyTyped<uint16_t>(proto.int32_data(), type, shape, out); break;
        case DType::Int8: copyTyped<int8_t>(proto.int32_data(), type, shape, out); break;
        case DType::UInt8: copyTyped<uint8_t>(proto.int32_data(), type, shape, out); break;
        case DType::Bool: copyTyped<uint8_t>(proto.int32_data(), type, shape, out); break;
        case DType::Float16: copyTyped<uint16_t>(proto.int32_data(), type, shape, out); break;
        case DType::BFloat16: copyTyped<uint16_t>(proto.int32_data(), type, shape, out); break;
        default: throw ExecError("tensor " + proto.name() + " has an unsupported element type");
    }
}

}  // namespace vexart
