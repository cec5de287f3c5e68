// StringNormalizer: stop words removed, then case changed, for the text
// front ends of small language models. Case is folded in ASCII; the
// locale attribute names no tables this runtime carries.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "core/Kernel.h"

namespace vexart {
namespace {

std::string withCase(std::string s, bool upper) {
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(upper ? std::toupper(u) : std::tolower(u));
    }
    return s;
}

}  // namespace

void registerStringKernels() {
    registerKernel("StringNormalizer", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        const std::string action = a.s("case_change_action", "NONE");
        if (action != "NONE" && action != "LOWER" && action != "UPPER") throw ExecError("unknown case_change_action '" + action + "'");
        const bool sensitive = a.i("is_case_sensitive", 0) != 0;
        std::set<std::string> stop;
        for (const auto& attr : n.attribute()) {
            if (attr.name() != "stopwords") continue;
            for (const auto& w : attr.strings()) stop.insert(sensitive ? w : withCase(w, false));
        }
        return lambdaKernel([action, sensitive, stop](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            if (x.type() != DType::String || x.rank() < 1 || x.rank() > 2 || (x.rank() == 2 && x.dim(0) != 1)) {
                throw ExecError("StringNormalizer takes strings of shape [C] or [1, C]");
            }
            std::vector<std::string> kept;
            for (const auto& s : x.strings) {
                if (stop.count(sensitive ? s : withCase(s, false)) != 0) continue;
                kept.push_back(action == "NONE" ? s : withCase(s, action == "UPPER"));
            }
            // Everything removed leaves one empty string.
            if (kept.empty()) kept.emplace_back();
            const auto count = static_cast<int64_t>(kept.size());
            Tensor& y = ctx.out(0, DType::String, x.rank() == 1 ? Shape{count} : Shape{1, count});
            y.strings = std::move(kept);
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
}

}  // namespace vexart
