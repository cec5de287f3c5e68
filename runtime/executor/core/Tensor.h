// Dense tensors of the executor: an element type, a shape and owned
// storage that is kept (and reused) across executions.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Buffer.h"
#include "core/Layout.h"

namespace vexart {

// Element types, numbered as in the ONNX format.
enum class DType : int32_t {
    Undefined = 0,
    Float = 1,
    UInt8 = 2,
    Int8 = 3,
    UInt16 = 4,
    Int16 = 5,
    Int32 = 6,
    Int64 = 7,
    String = 8,
    Bool = 9,
    Float16 = 10,
    Double = 11,
    UInt32 = 12,
    UInt64 = 13,
    BFloat16 = 16,
    // Not element types: values that hold other tensors (see Tensor::items).
    Sequence = 1000,
    Optional = 1001,
};

// Whether values of the type hold tensors rather than elements.
inline bool holdsTensors(DType t) { return t == DType::Sequence || t == DType::Optional; }

size_t dtypeSize(DType t);
const char* dtypeName(DType t);

using Shape = std::vector<int64_t>;

int64_t elementCount(const Shape& s);
// Throws, as Tensor::reset would, when no tensor of shape `s` can be made
// (a negative dimension, or more elements than the cap): for kernels that
// size other buffers from an output shape before making the output.
void requireAllocatable(const Shape& s);
std::string shapeText(const Shape& s);

// Thrown by kernels and the graph loader; the API turns it into an error
// code and text.
struct ExecError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Tensor;
// The physical shape of a logical rank-4 shape in a layout (see Tensor::layout).
Shape physicalShape(const Shape& logical, Layout layout);

class Tensor {
public:
    Tensor() = default;
    Tensor(DType type, const Shape& shape) { reset(type, shape); }

    // Sets type and shape; storage is kept when it is large enough.
    // The shape is copied into the one held, so a kernel that resets an
    // output to a shape it keeps allocates nothing.
    void reset(DType type, const Shape& shape);

    DType type() const { return type_; }
    const Shape& shape() const { return shape_; }
    // Checked: kernels index dimensions from attributes of untrusted models.
    int64_t dim(size_t i) const {
        if (i >= shape_.size()) throw ExecError("axis " + std::to_string(i) + " is outside shape " + shapeText(shape_));
        return shape_[i];
    }
    size_t rank() const { return shape_.size(); }
    int64_t size() const { return count_; }
    size_t bytes() const { return static_cast<size_t>(count_) * width_; }

    void* raw() {
        zeroed_ = false;
        return data_;
    }
    const void* raw() const { return data_; }
    // Elements as T. Checked to be as wide as the element type: kernels take
    // the type of one input for all, and an input of another width (from
    // an untrusted model) would be read past its end.
    template <typename T>
    T* data() {
        checkWidth(sizeof(T));
        zeroed_ = false;
        return static_cast<T*>(data_);
    }
    template <typename T>
    const T* data() const {
        checkWidth(sizeof(T));
        return static_cast<const T*>(data_);
    }

    // Layouts of a logical [N,C,H,W] besides the plain one; shape() is the
    // physical shape. The graph shows them only to kernels that take them.
    //   kChannelsLast: [N,H,W,C];  a block b > 0: [N,C/b,H,W,b] (C a multiple of b).
    // A volume [N,C,D,H,W] may be channels last too: [N,D,H,W,C].
    static constexpr int kPlain = 0, kChannelsLast = -1;
    Layout layout() const { return layout_; }
    void setLayout(Layout layout) { layout_ = layout; }
    bool isPlain() const { return layout_.isPlain(); }
    // Logical shape: [N,C,H,W] in every layout.
    Shape logicalShape() const;
    // One logical dimension, without building the shape.
    int64_t logicalDim(size_t i) const {
        if (layout_.isChannelsLast() && shape_.size() == 4) return shape_[i == 0 ? 0 : i == 1 ? 3 : i - 1];
        if (layout_.isChannelsLast() && shape_.size() == 5) return shape_[i == 0 ? 0 : i == 1 ? 4 : i - 1];
        if (layout_.isChannelsLast() && shape_.size() == 3) return shape_[i == 0 ? 0 : i == 1 ? 2 : 1];
        if (layout_.isBlocked() && shape_.size() == 5) return i == 1 ? shape_[1] * shape_[4] : shape_[i];
        return dim(i);
    }

    // Uses `data` (owned elsewhere, at least bytes() of this shape) instead of
    // own storage; a later reset() that needs more allocates its own again.
    void view(DType type, Shape shape, void* data);
    // Takes over `from`'s elements and storage without copying; `from`
    // keeps its type but no data until its next reset().
    void adopt(Tensor& from);
    // Points a view at the data's new place.
    void repoint(void* data) {
        data_ = data;
        zeroed_ = false;
    }
    // Gives the storage back; the tensor keeps type and shape but no data
    // until the next reset().
    void release();
    bool ownsStorage() const { return storage_ != nullptr; }
    // Fills the elements with zero bytes. Storage fresh from the system
    // already reads as zero: left untouched, its pages cost nothing until
    // something writes them (a plan's values that kernels only shape).
    void zero();

    // Values of an integer tensor of any integer type, widened.
    std::vector<int64_t> toInt64() const;
    double scalarAsDouble(int64_t index = 0) const;

    std::vector<std::string> strings;  // String tensors only
    // The tensors of a Sequence, or the one or none of an Optional.
    std::vector<Tensor> items;

private:
    void checkWidth(size_t width) const {
        if (__builtin_expect(width != width_ && count_ != 0, 0)) widthMismatch(width);
    }
    [[noreturn]] void widthMismatch(size_t width) const;

    DType type_ = DType::Undefined;
    size_t width_ = 0;  // dtypeSize(type_), kept for the inline width check
    Shape shape_;
    int64_t count_ = 0;
    // Hands own storage to the active StoragePool (or frees it).
    void giveBack();
    Buffer storage_;
    size_t capacity_ = 0;
    void* data_ = nullptr;
    bool zeroed_ = false;  // new pages that nothing has been handed to write
    Layout layout_;
};

}  // namespace vexart
