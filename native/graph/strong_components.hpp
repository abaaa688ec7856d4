// Strongly connected components of a directed graph, found without
// recursion so that a long chain of cells cannot overflow a small stack.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace zuv::graph {

struct Edge {
  std::size_t from;
  std::size_t to;
};

// Adjacency in compressed rows: the successors of node v are
// targets[offsets[v] .. offsets[v + 1]), each with the index of its edge.
struct Adjacency {
  std::vector<std::size_t> offsets;
  std::vector<std::size_t> targets;
  std::vector<std::size_t> edge_index;

  Adjacency(std::size_t node_count, std::span<const Edge> edges, bool reverse = false);
  std::size_t begin(std::size_t v) const { return offsets[v]; }
  std::size_t end(std::size_t v) const { return offsets[v + 1]; }
};

// Tarjan's algorithm with an explicit stack.  Every node is in exactly one
// component; components come out in reverse topological order of the
// condensed graph, each listing its nodes in the order they were found.
std::vector<std::vector<std::size_t>> strong_components(std::size_t node_count,
                                                        std::span<const Edge> edges);

// The components that form a cycle: two nodes or more, or one node with an
// edge to itself.
std::vector<std::vector<std::size_t>> cycles(std::size_t node_count, std::span<const Edge> edges);

}  // namespace zuv::graph
