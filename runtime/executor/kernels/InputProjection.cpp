#include "kernels/InputProjection.h"

namespace vexart {

namespace dn = onednn;
using dnnl::memory;

void InputProjection::prepare(int64_t rows, int64_t in, int64_t cols, const float* weights, bool constant) {
    if (constant && weights == packedFrom_ && rows == rows_ && in == in_ && cols == cols_) return;
    try {
        auto& s = dn::threadStream();
        if (rows != rows_ || in != in_ || cols != cols_) {
            // The primitive, its packed weights and the packing are made
            // once per shape; weights given anew are only packed again.
            auto& eng = dn::cpuEngine();
            const auto f32 = memory::data_type::f32;
            const memory::desc src({rows, in}, f32, memory::format_tag::ab), dst({rows, cols}, f32, memory::format_tag::ab),
                bias({1, cols}, f32, memory::format_tag::ab), user({in, cols}, f32, memory::format_tag::ba);
            const dnnl::matmul::primitive_desc pd(
                dnnl::matmul::desc(src, memory::desc({in, cols}, f32, memory::format_tag::any), bias, dst), eng);
            weights_ = dn::ownedMemory(pd.weights_desc(), weightBytes_);
            user_ = memory(user, eng, nullptr);
            pack_ = dn::Call(dnnl::reorder(user_, weights_), {{DNNL_ARG_FROM, user_}, {DNNL_ARG_TO, weights_}});
            src_ = memory(src, eng, nullptr);
            dst_ = memory(dst, eng, nullptr);
            bias_ = memory(bias, eng, nullptr);
            call_ = dn::Call(dnnl::matmul(pd),
                             {{DNNL_ARG_SRC, src_}, {DNNL_ARG_WEIGHTS, weights_}, {DNNL_ARG_BIAS, bias_}, {DNNL_ARG_DST, dst_}});
            rows_ = rows;
            in_ = in;
            cols_ = cols;
        }
        user_.set_data_handle(const_cast<float*>(weights));
        pack_.run(s);
        s.wait();
    } catch (const dnnl::error& e) {
        dn::rethrow(e, "recurrent input projection");
    }
    packedFrom_ = constant ? weights : nullptr;
}

void InputProjection::run(const float* x, const float* bias, float* out) {
    src_.set_data_handle(const_cast<float*>(x));
    bias_.set_data_handle(const_cast<float*>(bias));
    dst_.set_data_handle(out);
    auto& s = dn::threadStream();
    call_.run(s);
    s.wait();
}

}  // namespace vexart
