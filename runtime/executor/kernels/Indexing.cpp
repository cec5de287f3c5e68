// Operators that pick, place or count elements by index or condition:
// GatherND, ScatterND, ScatterElements, OneHot, Compress, NonZero, Unique,
// ReverseSequence, EyeLike, MaxUnpool. Indices come from the model or its
// inputs, so every one is checked before it is used.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "core/Threads.h"

namespace vexart {
namespace {

const uint8_t* bytesOf(const Tensor& t) { return static_cast<const uint8_t*>(t.raw()); }
uint8_t* bytesOf(Tensor& t) { return static_cast<uint8_t*>(t.raw()); }

void copyInto(const Tensor& src, Tensor& dst) {
    dst.reset(src.type(), src.shape());
    if (src.bytes() != 0 && src.raw() != dst.raw()) std::memcpy(dst.raw(), src.raw(), src.bytes());
}

// The length of the index tuples that the last axis of `indices` ([..., k])
// holds, checked against `data` and the `batch` leading axes both share.
int64_t tupleLength(const Tensor& data, const Tensor& indices, int64_t batch) {
    if (indices.rank() == 0 || batch < 0 || static_cast<size_t>(batch) >= indices.rank() ||
        static_cast<size_t>(batch) > data.rank()) {
        throw ExecError("indices of shape " + shapeText(indices.shape()) + " do not fit the data");
    }
    const int64_t k = indices.shape().back();
    if (k < 0 || static_cast<size_t>(batch + k) > data.rank()) throw ExecError("index tuples are longer than the data's rank");
    for (int64_t b = 0; b < batch; ++b) {
        if (data.dim(static_cast<size_t>(b)) != indices.dim(static_cast<size_t>(b))) throw ExecError("batch dimensions differ");
    }
    return k;
}

// The element offsets that the last axis of `indices` names in `data`.
std::vector<int64_t> ndOffsets(const Tensor& data, const Tensor& indices, int64_t batch, int64_t& sliceSize) {
    const int64_t k = tupleLength(data, indices, batch);
    const auto strides = stridesOf(data.shape());
    sliceSize = elementCount(Shape(data.shape().begin() + batch + k, data.shape().end()));
    const int64_t batches = elementCount(Shape(data.shape().begin(), data.shape().begin() + batch));
    const int64_t batchStride = batch == 0 ? 0 : strides[static_cast<size_t>(batch - 1)];
    const auto idx = indices.toInt64();
    const int64_t tuples = k == 0 ? elementCount(Shape(indices.shape().begin(), indices.shape().end() - 1))
                                  : static_cast<int64_t>(idx.size()) / k;
    const int64_t perBatch = batches == 0 ? 0 : tuples / batches;
    std::vector<int64_t> offsets(static_cast<size_t>(tuples));
    for (int64_t t = 0; t < tuples; ++t) {
        int64_t off = perBatch == 0 ? 0 : (t / perBatch) * batchStride;
        for (int64_t j = 0; j < k; ++j) {
            const auto axis = static_cast<size_t>(batch + j);
            off += checkedIndex(idx[static_cast<size_t>(t * k + j)], data.dim(axis), "ND") * strides[axis];
        }
        offsets[static_cast<size_t>(t)] = off;
    }
    return offsets;
}

// GatherND over int32 or int64 index tuples read where they lie, each slice
// copied straight to its place: no offset table (a detector's score filter
// gathers millions of single elements), and the copies split between
// threads. An index out of range is found in a first pass, since nothing
// may be thrown from the parallel one.
template <typename I>
void gatherND(const Tensor& data, const I* idx, const Tensor& indices, int64_t batch, KernelContext& ctx) {
    const int64_t k = tupleLength(data, indices, batch);
    const auto strides = stridesOf(data.shape());
    const int64_t slice = elementCount(Shape(data.shape().begin() + batch + k, data.shape().end()));
    const int64_t batches = elementCount(Shape(data.shape().begin(), data.shape().begin() + batch));
    const int64_t batchStride = batch == 0 ? 0 : strides[static_cast<size_t>(batch - 1)];
    const int64_t tuples = elementCount(Shape(indices.shape().begin(), indices.shape().end() - 1));
    const int64_t perBatch = batches == 0 ? 0 : tuples / batches;
    for (int64_t i = 0; i < tuples * k; ++i) {
        checkedIndex(static_cast<int64_t>(idx[i]), data.dim(static_cast<size_t>(batch + i % k)), "ND");
    }
    Shape shape(indices.shape().begin(), indices.shape().end() - 1);
    shape.insert(shape.end(), data.shape().begin() + batch + k, data.shape().end());
    Tensor& out = ctx.out(0, data.type(), shape);
    const size_t es = elementBytes(data);
    if (ctx.dryRun() || out.size() == 0) return;
    auto offsetOf = [&](int64_t t) {
        int64_t off = perBatch == 0 ? 0 : (t / perBatch) * batchStride;
        for (int64_t j = 0; j < k; ++j) {
            const auto axis = static_cast<size_t>(batch + j);
            const int64_t i = static_cast<int64_t>(idx[t * k + j]);
            off += (i < 0 ? i + data.dim(axis) : i) * strides[axis];
        }
        return off;
    };
    auto copy = [&](auto* to, const auto* from) {
        parallelFor(tuples, tuples * slice, [&](int64_t t) {
            const auto* src = from + offsetOf(t);
            for (int64_t e = 0; e < slice; ++e) to[t * slice + e] = src[e];
        });
    };
    if (es == 4) return copy(static_cast<uint32_t*>(out.raw()), static_cast<const uint32_t*>(data.raw()));
    if (es == 8) return copy(static_cast<uint64_t*>(out.raw()), static_cast<const uint64_t*>(data.raw()));
    const uint8_t* from = bytesOf(data);
    uint8_t* to = bytesOf(out);
    parallelFor(tuples, tuples * slice, [&](int64_t t) {
        std::memcpy(to + t * slice * static_cast<int64_t>(es), from + offsetOf(t) * static_cast<int64_t>(es),
                    static_cast<size_t>(slice) * es);
    });
}

enum class Reduce { None, Add, Mul, Max, Min };

Reduce reduceOf(const onnx::NodeProto& n) {
    const std::string r = Attrs(n).s("reduction", "none");
    if (r == "none") return Reduce::None;
    if (r == "add") return Reduce::Add;
    if (r == "mul") return Reduce::Mul;
    if (r == "max") return Reduce::Max;
    if (r == "min") return Reduce::Min;
    throw ExecError("unknown reduction '" + r + "'");
}

// dst[i] = src[j], or combined with what is there.
void place(Reduce r, Tensor& dst, int64_t i, const Tensor& src, int64_t j, int64_t n) {
    if (r == Reduce::None) {
        const size_t es = elementBytes(dst);
        std::memcpy(bytesOf(dst) + i * es, bytesOf(src) + j * es, static_cast<size_t>(n) * es);
        return;
    }
    VEXA_DISPATCH_NUMERIC(dst.type(), {
        T* d = dst.data<T>() + i;
        const T* s = src.data<T>() + j;
        for (int64_t k = 0; k < n; ++k) {
            switch (r) {
                case Reduce::Add: d[k] = wrapAdd(d[k], s[k]); break;
                case Reduce::Mul: d[k] = wrapMul(d[k], s[k]); break;
                case Reduce::Max: d[k] = std::max(d[k], s[k]); break;
                case Reduce::Min: d[k] = std::min(d[k], s[k]); break;
                case Reduce::None: break;
            }
        }
    })
}

// out[index with idx in place of the axis coordinate] = upd (or combined
// with what is there), a row of the last axis at a time: the row's offset
// is worked out once, and plain copies move whole elements of their width.
template <typename I>
void scatterElements(const I* idx, const Shape& shape, const Tensor& upd, size_t axis, Reduce r, Tensor& out) {
    const size_t rank = shape.size();
    const int64_t inner = shape[rank - 1], rows = inner == 0 ? 0 : upd.size() / inner;
    const auto ds = stridesOf(out.shape());
    const int64_t axisDim = out.dim(axis), axisStride = ds[axis];
    const bool alongRow = axis == rank - 1;
    const size_t es = elementBytes(out);
    std::vector<int64_t> pos(rank, 0);
    for (int64_t row = 0; row < rows; ++row) {
        int64_t base = 0;
        for (size_t d = 0; d + 1 < rank; ++d) base += d == axis ? 0 : pos[d] * ds[d];
        const I* ri = idx + row * inner;
        const int64_t u0 = row * inner;
        if (r == Reduce::None && (es == 4 || es == 8)) {
            auto copy = [&](auto* dst, const auto* src) {
                for (int64_t j = 0; j < inner; ++j) {
                    const int64_t at = checkedIndex(static_cast<int64_t>(ri[j]), axisDim, "scatter");
                    dst[base + (alongRow ? 0 : j) + at * axisStride] = src[u0 + j];
                }
            };
            if (es == 4) {
                copy(static_cast<uint32_t*>(out.raw()), static_cast<const uint32_t*>(upd.raw()));
            } else {
                copy(static_cast<uint64_t*>(out.raw()), static_cast<const uint64_t*>(upd.raw()));
            }
        } else {
            for (int64_t j = 0; j < inner; ++j) {
                const int64_t at = checkedIndex(static_cast<int64_t>(ri[j]), axisDim, "scatter");
                place(r, out, base + (alongRow ? 0 : j) + at * axisStride, upd, u0 + j, 1);
            }
        }
        for (size_t d = rank - 1; d-- > 0;) {
            if (++pos[d] < shape[d]) break;
            pos[d] = 0;
        }
    }
}

void registerGatherScatter() {
    registerKernel("GatherND", [](const onnx::NodeProto& n, int64_t) {
        const int64_t batch = Attrs(n).i("batch_dims", 0);
        return lambdaKernel([batch](KernelContext& ctx) {
            const Tensor& data = ctx.in(0);
            const Tensor& indices = ctx.in(1);
            if (indices.type() == DType::Int64) return gatherND(data, indices.data<int64_t>(), indices, batch, ctx);
            if (indices.type() == DType::Int32) return gatherND(data, indices.data<int32_t>(), indices, batch, ctx);
            int64_t slice = 0;
            const auto offsets = ndOffsets(data, indices, batch, slice);
            Shape shape(indices.shape().begin(), indices.shape().end() - 1);
            shape.insert(shape.end(), data.shape().begin() + batch + indices.shape().back(), data.shape().end());
            Tensor& out = ctx.out(0, data.type(), shape);
            const size_t es = elementBytes(data);
            for (size_t t = 0; t < offsets.size(); ++t) {
                std::memcpy(bytesOf(out) + t * static_cast<size_t>(slice) * es, bytesOf(data) + offsets[t] * es,
                            static_cast<size_t>(slice) * es);
            }
        });
    });
    registerKernel("ScatterND", [](const onnx::NodeProto& n, int64_t) {
        const Reduce r = reduceOf(n);
        return lambdaKernel([r](KernelContext& ctx) {
            const Tensor& data = ctx.in(0);
            const Tensor& updates = ctx.in(2);
            int64_t slice = 0;
            const auto offsets = ndOffsets(data, ctx.in(1), 0, slice);
            if (updates.type() != data.type() || updates.size() != static_cast<int64_t>(offsets.size()) * slice) {
                throw ExecError("updates of shape " + shapeText(updates.shape()) + " do not fit the indices");
            }
            Tensor& out = ctx.out(0, data.type(), data.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            copyInto(data, out);
            for (size_t t = 0; t < offsets.size(); ++t) place(r, out, offsets[t], updates, static_cast<int64_t>(t) * slice, slice);
        });
    });
    // Scatter is ScatterElements under its older name.
    for (const char* name : {"ScatterElements", "Scatter"}) {
        registerKernel(name, [](const onnx::NodeProto& n, int64_t) {
            const int64_t axisAttr = Attrs(n).i("axis", 0);
            const Reduce r = reduceOf(n);
            return lambdaKernel([axisAttr, r](KernelContext& ctx) {
                const Tensor& data = ctx.in(0);
                const Tensor& ind = ctx.in(1);
                const Tensor& upd = ctx.in(2);
                const auto axis = static_cast<size_t>(normAxis(axisAttr, data.rank()));
                if (ind.shape() != upd.shape() || ind.rank() != data.rank() || upd.type() != data.type()) {
                    throw ExecError("indices and updates must share a shape of the data's rank");
                }
                for (size_t d = 0; d < data.rank(); ++d) {
                    if (d != axis && ind.dim(d) > data.dim(d)) throw ExecError("indices exceed the data");
                }
                Tensor& out = ctx.out(0, data.type(), data.shape());
                if (ctx.dryRun()) return ctx.zeroOutputs();
                copyInto(data, out);
                if (ind.type() == DType::Int32) {
                    scatterElements(ind.data<int32_t>(), ind.shape(), upd, axis, r, out);
                } else if (ind.type() != DType::Int64) {
                    throw ExecError("scatter indices must be int32 or int64");
                } else {
                    scatterElements(ind.data<int64_t>(), ind.shape(), upd, axis, r, out);
                }
            });
        });
    }
}

void registerSelection() {
    registerKernel("OneHot", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axisAttr = Attrs(n).i("axis", -1);
        return lambdaKernel([axisAttr](KernelContext& ctx) {
            const Tensor& ind = ctx.in(0);
            const Tensor& values = ctx.in(2);
            const double depthValue = ctx.in(1).scalarAsDouble(0);
            if (!(depthValue >= 1 && depthValue <= 1e8) || values.size() != 2) {
                throw ExecError("OneHot needs a positive depth and two values");
            }
            const auto depth = static_cast<int64_t>(depthValue);
            const auto axis = static_cast<size_t>(normAxis(axisAttr, ind.rank() + 1));
            Shape shape = ind.shape();
            shape.insert(shape.begin() + static_cast<long>(axis), depth);
            Tensor& out = ctx.out(0, values.type(), shape);
            if (ctx.dryRun()) return ctx.zeroOutputs();
            const int64_t outer = elementCount(Shape(ind.shape().begin(), ind.shape().begin() + static_cast<long>(axis)));
            const int64_t inner = elementCount(Shape(ind.shape().begin() + static_cast<long>(axis), ind.shape().end()));
            const auto idx = ind.toInt64();
            const size_t es = elementBytes(values);
            for (int64_t o = 0; o < outer; ++o) {
                for (int64_t d = 0; d < depth; ++d) {
                    for (int64_t i = 0; i < inner; ++i) {
                        int64_t v = idx[static_cast<size_t>(o * inner + i)];
                        if (v < 0) v += depth;
                        std::memcpy(bytesOf(out) + ((o * depth + d) * inner + i) * es, bytesOf(values) + (v == d ? es : 0), es);
                    }
                }
            }
        });
    }, OpTraits::valueShaped(1u << 1));
    registerKernel("Compress", [](const onnx::NodeProto& n, int64_t) {
        const bool hasAxis = Attrs(n).has("axis");
        const int64_t axisAttr = Attrs(n).i("axis", 0);
        return lambdaKernel([hasAxis, axisAttr](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto cond = ctx.in(1).toInt64();
            const Shape shape = hasAxis ? x.shape() : Shape{x.size()};
            const auto axis = hasAxis ? static_cast<size_t>(normAxis(axisAttr, x.rank())) : 0;
            const int64_t dim = shape[axis];
            if (static_cast<int64_t>(cond.size()) > dim) throw ExecError("Compress condition is longer than the axis");
            std::vector<int64_t> kept;
            for (size_t i = 0; i < cond.size(); ++i) {
                if (cond[i] != 0) kept.push_back(static_cast<int64_t>(i));
            }
            Shape outShape = shape;
            outShape[axis] = static_cast<int64_t>(kept.size());
            Tensor& out = ctx.out(0, x.type(), outShape);
            const int64_t outer = elementCount(Shape(shape.begin(), shape.begin() + static_cast<long>(axis)));
            const int64_t inner = elementCount(Shape(shape.begin() + static_cast<long>(axis) + 1, shape.end()));
            const size_t es = elementBytes(x), run = static_cast<size_t>(inner) * es;
            uint8_t* dst = bytesOf(out);
            for (int64_t o = 0; o < outer; ++o) {
                for (int64_t k : kept) {
                    std::memcpy(dst, bytesOf(x) + (o * dim + k) * static_cast<int64_t>(run), run);
                    dst += run;
                }
            }
        });
    }, OpTraits::valueShaped(1u << 1));
    registerKernel("NonZero", [](const onnx::NodeProto&, int64_t) {
        return lambdaKernel([](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            // Counted first, so that the output is sized once; then each
            // hit's coordinates from a running index, without division.
            int64_t count = 0;
            VEXA_DISPATCH_ALL(x.type(), {
                const T* p = x.data<T>();
                for (int64_t i = 0; i < x.size(); ++i) count += p[i] != T(0) ? 1 : 0;
            })
            const size_t rank = x.rank();
            Tensor& out = ctx.out(0, DType::Int64, {static_cast<int64_t>(rank), count});
            int64_t* po = out.data<int64_t>();
            if (rank == 1) {
                // Branch-free: each index is written, and kept when its element is set
                // (a score filter keeps an unpredictable half of a million).
                VEXA_DISPATCH_ALL(x.type(), {
                    const T* p = x.data<T>();
                    int64_t h = 0;
                    for (int64_t i = 0; i < x.size() && h < count; ++i) {
                        po[h] = i;
                        h += p[i] != T(0) ? 1 : 0;
                    }
                })
                return;
            }
            // Row by row along the last axis: its index is written branch-free
            // as above, then the row's leading coordinates are filled in
            // for the hits it had.
            const int64_t width = x.dim(rank - 1), rows = width == 0 ? 0 : x.size() / width;
            int64_t* last = po + static_cast<int64_t>(rank - 1) * count;
            std::vector<int64_t> at(rank - 1, 0);
            int64_t h = 0;
            VEXA_DISPATCH_ALL(x.type(), {
                const T* p = x.data<T>();
                for (int64_t r = 0; r < rows && h < count; ++r) {
                    const T* row = p + r * width;
                    const int64_t from = h;
                    for (int64_t j = 0; j < width && h < count; ++j) {
                        last[h] = j;
                        h += row[j] != T(0) ? 1 : 0;
                    }
                    for (size_t d = 0; d + 1 < rank; ++d) {
                        std::fill(po + static_cast<int64_t>(d) * count + from, po + static_cast<int64_t>(d) * count + h, at[d]);
                    }
                    for (size_t d = rank - 1; d-- > 0;) {
                        if (++at[d] < x.dim(d)) break;
                        at[d] = 0;
                    }
                }
            })
        });
    }, OpTraits::valueShaped(1u << 0));
}

// Unique slices along an axis (or unique elements), in sorted order or in
// order of first appearance, with where each came from and how often.
class UniqueKernel : public Kernel {
public:
    UniqueKernel(bool hasAxis, int64_t axis, bool sorted) : hasAxis_(hasAxis), axis_(axis), sorted_(sorted) {}
    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        VEXA_DISPATCH_NUMERIC(x.type(), runTyped<T>(ctx, x))
    }

private:
    template <typename T>
    void runTyped(KernelContext& ctx, const Tensor& x) {
        const Shape shape = hasAxis_ ? x.shape() : Shape{x.size()};
        const auto axis = hasAxis_ ? static_cast<size_t>(normAxis(axis_, x.rank())) : 0;
        const int64_t outer = elementCount(Shape(shape.begin(), shape.begin() + static_cast<long>(axis)));
        const int64_t dim = shape[axis];
        const int64_t inner = elementCount(Shape(shape.begin() + static_cast<long>(axis) + 1, shape.end()));
        const T* p = x.data<T>();
        // Slice s, element (o, i): compared in that order.
        auto at = [&](int64_t s, int64_t e) { return p[((e / inner) * dim + s) * inner + e % inner]; };
        const int64_t len = outer * inner;
        auto less = [&](int64_t a, int64_t b) {
            for (int64_t e = 0; e < len; ++e) {
                if (at(a, e) != at(b, e)) return at(a, e) < at(b, e);
            }
            return false;
        };
        std::vector<int64_t> order(static_cast<size_t>(dim));
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), less);
        // Groups of equal slices; each group's first index is its first appearance.
        std::vector<int64_t> groupOf(static_cast<size_t>(dim)), firsts, counts;
        for (size_t k = 0; k < order.size(); ++k) {
            if (k == 0 || less(order[k - 1], order[k])) {
                firsts.push_back(order[k]);
                counts.push_back(0);
            }
            groupOf[static_cast<size_t>(order[k])] = static_cast<int64_t>(firsts.size()) - 1;
            ++counts.back();
        }
        std::vector<int64_t> rank(firsts.size());  // group -> output position
        std::iota(rank.begin(), rank.end(), 0);
        if (!sorted_) {
            std::vector<int64_t> byAppearance(firsts.size());
            std::iota(byAppearance.begin(), byAppearance.end(), 0);
            std::sort(byAppearance.begin(), byAppearance.end(),
                      [&](int64_t a, int64_t b) { return firsts[static_cast<size_t>(a)] < firsts[static_cast<size_t>(b)]; });
            for (size_t r = 0; r < byAppearance.size(); ++r) rank[static_cast<size_t>(byAppearance[r])] = static_cast<int64_t>(r);
        }
        const auto groups = static_cast<int64_t>(firsts.size());
        Shape outShape = shape;
        outShape[axis] = groups;
        Tensor& y = ctx.out(0, x.type(), outShape);
        T* py = y.data<T>();
        std::vector<int64_t> first(firsts.size()), count(firsts.size());
        for (int64_t g = 0; g < groups; ++g) {
            const int64_t r = rank[static_cast<size_t>(g)];
            first[static_cast<size_t>(r)] = firsts[static_cast<size_t>(g)];
            count[static_cast<size_t>(r)] = counts[static_cast<size_t>(g)];
            for (int64_t e = 0; e < len; ++e) {
                py[((e / inner) * groups + r) * inner + e % inner] = at(firsts[static_cast<size_t>(g)], e);
            }
        }
        if (ctx.wantsOutput(1)) std::copy(first.begin(), first.end(), ctx.out(1, DType::Int64, {groups}).data<int64_t>());
        if (ctx.wantsOutput(2)) {
            int64_t* inv = ctx.out(2, DType::Int64, {dim}).data<int64_t>();
            for (int64_t s = 0; s < dim; ++s) inv[s] = rank[static_cast<size_t>(groupOf[static_cast<size_t>(s)])];
        }
        if (ctx.wantsOutput(3)) std::copy(count.begin(), count.end(), ctx.out(3, DType::Int64, {groups}).data<int64_t>());
    }
    bool hasAxis_;
    int64_t axis_;
    bool sorted_;
};

void registerArrangement() {
    registerKernel("Unique", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        return std::make_unique<UniqueKernel>(a.has("axis"), a.i("axis", 0), a.i("sorted", 1) != 0);
    }, OpTraits::valueShaped(1u << 0));
    registerKernel("ReverseSequence", [](const onnx::NodeProto& n, int64_t) {
        const int64_t batchAttr = Attrs(n).i("batch_axis", 1), timeAttr = Attrs(n).i("time_axis", 0);
        return lambdaKernel([batchAttr, timeAttr](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            if (x.rank() < 2) throw ExecError("ReverseSequence input must have rank 2 or more");
            const auto b = static_cast<size_t>(normAxis(batchAttr, x.rank()));
            const auto t = static_cast<size_t>(normAxis(timeAttr, x.rank()));
            if (b == t || (b > 1 || t > 1)) throw ExecError("batch and time must be the first two axes");
            const auto lens = ctx.in(1).toInt64();
            if (static_cast<int64_t>(lens.size()) != x.dim(b)) throw ExecError("one sequence length per batch entry is needed");
            Tensor& out = ctx.out(0, x.type(), x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            copyInto(x, out);
            const auto strides = stridesOf(x.shape());
            const int64_t inner = x.size() / std::max<int64_t>(x.dim(0) * x.dim(1), 1);
            const size_t es = elementBytes(x), run = static_cast<size_t>(inner) * es;
            for (int64_t bi = 0; bi < x.dim(b); ++bi) {
                const int64_t len = lens[static_cast<size_t>(bi)];
                if (len < 0 || len > x.dim(t)) throw ExecError("sequence length out of range");
                for (int64_t ti = 0; ti < len; ++ti) {
                    const int64_t from = bi * strides[b] + (len - 1 - ti) * strides[t];
                    const int64_t to = bi * strides[b] + ti * strides[t];
                    std::memcpy(bytesOf(out) + static_cast<size_t>(to) * es, bytesOf(x) + static_cast<size_t>(from) * es, run);
                }
            }
        });
    });
    registerKernel("EyeLike", [](const onnx::NodeProto& n, int64_t) {
        const auto dtype = static_cast<DType>(Attrs(n).i("dtype", 0));
        const int64_t k = Attrs(n).i("k", 0);
        return lambdaKernel([dtype, k](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            if (x.rank() != 2) throw ExecError("EyeLike input must be a matrix");
            const DType type = dtype == DType::Undefined ? x.type() : dtype;
            Tensor& out = ctx.out(0, type, x.shape());
            if (out.bytes() != 0) std::memset(out.raw(), 0, out.bytes());
            VEXA_DISPATCH_ALL(type, {
                T* p = out.data<T>();
                for (int64_t r = 0; r < x.dim(0); ++r) {
                    const int64_t c = r + k;
                    if (c >= 0 && c < x.dim(1)) p[r * x.dim(1) + c] = T(1);
                }
            })
        });
    });
    // Places each value at the flat position its index names (as MaxPool
    // reports them), zeros elsewhere.
    registerKernel("MaxUnpool", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        const auto kernel = a.ints("kernel_shape"), pads = a.ints("pads");
        auto strides = a.ints("strides");
        return lambdaKernel([kernel, pads, strides](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const auto idx = ctx.in(1).toInt64();
            if (x.rank() < 3 || kernel.size() != x.rank() - 2 || static_cast<int64_t>(idx.size()) != x.size()) {
                throw ExecError("MaxUnpool needs one index per value and a kernel per spatial axis");
            }
            Shape inferred{x.dim(0), x.dim(1)};
            for (size_t d = 0; d < kernel.size(); ++d) {
                const int64_t s = d < strides.size() ? strides[d] : 1;
                const int64_t pb = pads.size() == 2 * kernel.size() ? pads[d] : 0;
                const int64_t pe = pads.size() == 2 * kernel.size() ? pads[d + kernel.size()] : 0;
                inferred.push_back((x.dim(d + 2) - 1) * s + kernel[d] - pb - pe);
            }
            // A larger output_shape keeps the values where the inferred
            // shape has them (the pooled input's size that strides lost).
            const Shape shape = ctx.has(2) ? ctx.in(2).toInt64() : inferred;
            if (shape.size() != x.rank()) throw ExecError("output_shape must have the input's rank");
            Tensor& out = ctx.out(0, x.type(), shape);
            if (out.bytes() != 0) std::memset(out.raw(), 0, out.bytes());
            if (ctx.dryRun()) return;
            const auto from = stridesOf(inferred), to = stridesOf(shape);
            const int64_t inferredSize = elementCount(inferred);
            const size_t es = elementBytes(x);
            for (int64_t i = 0; i < x.size(); ++i) {
                int64_t rest = checkedIndex(idx[static_cast<size_t>(i)], inferredSize, "unpool"), at = 0;
                for (size_t d = 0; d < shape.size(); ++d) {
                    const int64_t c = rest / from[d];
                    rest %= from[d];
                    if (c >= shape[d]) throw ExecError("unpool index falls outside output_shape");
                    at += c * to[d];
                }
                std::memcpy(bytesOf(out) + at * static_cast<int64_t>(es), bytesOf(x) + i * static_cast<int64_t>(es), es);
            }
        });
    }, OpTraits::valueShaped(1u << 2));
}

}  // namespace

void registerIndexingKernels() {
    registerGatherScatter();
    registerSelection();
    registerArrangement();
}

}  // namespace vexart
