#include "planner/Liveness.h"

#include <algorithm>

namespace vexart {

void computeLiveness(GraphState& g, const std::vector<int>& wanted, const std::vector<int>& inputs) {
    const size_t N = g.nodes.size(), V = g.values.size();
    g.needed.assign(N, false);
    g.skipped.assign(N, false);
    g.consumers.assign(V, {});
    g.wanted.assign(V, false);
    g.ready.assign(V, false);
    g.producer.assign(V, -1);
    std::vector<bool> live(V, false);
    for (int w : wanted) live[static_cast<size_t>(w)] = g.wanted[static_cast<size_t>(w)] = true;
    for (size_t k = N; k-- > 0;) {
        const Node& n = *g.nodes[k];
        bool produces = false;
        for (int o : n.outputs) produces = produces || (o >= 0 && live[static_cast<size_t>(o)]);
        if (!produces) continue;
        g.needed[k] = true;
        for (int i : n.inputs) {
            if (i >= 0) live[static_cast<size_t>(i)] = true;
        }
    }
    for (size_t k = 0; k < N; ++k) {
        for (int o : g.nodes[k]->outputs) {
            if (o >= 0) g.producer[static_cast<size_t>(o)] = static_cast<int>(k);
        }
        if (!g.needed[k]) continue;
        for (int i : g.nodes[k]->inputs) {
            if (i < 0) continue;
            auto& c = g.consumers[static_cast<size_t>(i)];
            if (c.empty() || c.back() != k) c.push_back(k);
        }
    }
    for (size_t v = 0; v < V; ++v) g.ready[v] = g.isConst[v];
    for (int i : inputs) g.ready[static_cast<size_t>(i)] = true;
}

ValueRelease::ValueRelease(const GraphState& g, const std::vector<int>& inputs) : lives_(g.values.size()) {
    const size_t V = g.values.size();
    keep_.assign(V, false);
    for (size_t v = 0; v < V; ++v) {
        for (size_t c : g.consumers[v]) lives_.read(v, c);
        keep_[v] = g.isConst[v] || g.wanted[v];
    }
    for (int i : inputs) keep_[static_cast<size_t>(i)] = true;
    releaseAfter_.assign(g.nodes.size(), {});
    for (size_t v = 0; v < V; ++v) {
        if (!keep_[v] && !g.consumers[v].empty()) releaseAfter_[lives_.lastRead(v)].push_back(static_cast<int>(v));
    }
    pinned_.assign(V, false);
}

std::vector<int> ValueRelease::due(size_t k, const std::vector<bool>& isConst) {
    std::vector<int> out;
    for (size_t i = 0; i < releaseAfter_[k].size(); ++i) {
        const int v = releaseAfter_[k][i];
        const auto u = static_cast<size_t>(v);
        if (isConst[u] || pinned_[u]) continue;
        const size_t last = lives_.lastRead(u);
        if (last > k) {
            releaseAfter_[last].push_back(v);  // an alias reads it later
            continue;
        }
        out.push_back(v);
    }
    return out;
}

void ValueRelease::alias(int view, int of) {
    lives_.view(static_cast<size_t>(view), static_cast<size_t>(of));
    if (keep_[static_cast<size_t>(view)]) pinned_[lives_.owner(static_cast<size_t>(of))] = true;
}

}  // namespace vexart
