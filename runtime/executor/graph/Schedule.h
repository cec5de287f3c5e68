// Scheduling: the order the nodes run in. ONNX asks for nodes listed in
// topological order, but editing tools and hand-made graphs do not always
// keep it, and other engines run such graphs all the same. A node runs
// after the nodes that make what it reads, including what the graphs in
// its attributes (If branches, Loop and Scan bodies) read from it.
#pragma once

namespace onnx {
class GraphProto;
}  // namespace onnx

namespace vexart {

// Reorders the nodes of `graph`, and of every graph nested in its nodes'
// attributes, so that each comes after the producers of what it reads;
// nodes already in such an order keep it, and otherwise each keeps its
// place among those ready with it. A cycle throws ExecError naming a node
// on it. Names that no node of a graph produces (its inputs, initializers,
// enclosing graphs' values, or names that do not exist) impose no order.
void scheduleNodes(onnx::GraphProto& graph);

}  // namespace vexart
