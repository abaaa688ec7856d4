#include "graph/strong_components.hpp"

#include <algorithm>
#include <limits>

namespace zuv::graph {

Adjacency::Adjacency(std::size_t node_count, std::span<const Edge> edges, bool reverse)
    : offsets(node_count + 1, 0), targets(edges.size()), edge_index(edges.size()) {
  for (const Edge& e : edges) ++offsets[(reverse ? e.to : e.from) + 1];
  for (std::size_t v = 0; v < node_count; ++v) offsets[v + 1] += offsets[v];
  std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const std::size_t from = reverse ? edges[i].to : edges[i].from;
    const std::size_t slot = fill[from]++;
    targets[slot] = reverse ? edges[i].from : edges[i].to;
    edge_index[slot] = i;
  }
}

std::vector<std::vector<std::size_t>> strong_components(std::size_t node_count,
                                                        std::span<const Edge> edges) {
  constexpr std::size_t kUnvisited = std::numeric_limits<std::size_t>::max();
  const Adjacency adjacency(node_count, edges);
  std::vector<std::size_t> index(node_count, kUnvisited), low(node_count, 0);
  std::vector<bool> on_stack(node_count, false);
  std::vector<std::size_t> stack;
  // The call stack of the depth-first search: a node and its next edge.
  struct Frame {
    std::size_t node;
    std::size_t next;
  };
  std::vector<Frame> frames;
  std::vector<std::vector<std::size_t>> components;
  std::size_t counter = 0;

  for (std::size_t root = 0; root < node_count; ++root) {
    if (index[root] != kUnvisited) continue;
    frames.push_back({root, adjacency.begin(root)});
    index[root] = low[root] = counter++;
    stack.push_back(root);
    on_stack[root] = true;
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const std::size_t v = frame.node;
      if (frame.next < adjacency.end(v)) {
        const std::size_t w = adjacency.targets[frame.next++];
        if (index[w] == kUnvisited) {
          index[w] = low[w] = counter++;
          stack.push_back(w);
          on_stack[w] = true;
          frames.push_back({w, adjacency.begin(w)});  // `frame` is stale from here
        } else if (on_stack[w]) {
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      if (low[v] == index[v]) {
        std::vector<std::size_t> component;
        std::size_t w;
        do {
          w = stack.back();
          stack.pop_back();
          on_stack[w] = false;
          component.push_back(w);
        } while (w != v);
        std::reverse(component.begin(), component.end());
        components.push_back(std::move(component));
      }
      frames.pop_back();
      if (!frames.empty()) {
        const std::size_t parent = frames.back().node;
        low[parent] = std::min(low[parent], low[v]);
      }
    }
  }
  return components;
}

std::vector<std::vector<std::size_t>> cycles(std::size_t node_count, std::span<const Edge> edges) {
  std::vector<bool> self_loop(node_count, false);
  for (const Edge& e : edges)
    if (e.from == e.to) self_loop[e.from] = true;
  std::vector<std::vector<std::size_t>> result;
  for (auto& component : strong_components(node_count, edges))
    if (component.size() > 1 || self_loop[component.front()])
      result.push_back(std::move(component));
  return result;
}

}  // namespace zuv::graph
