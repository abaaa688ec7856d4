#include "graph/layered_layout.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <numeric>
#include <queue>
#include <utility>

namespace zuv::graph {

namespace {

// Edges that close a cycle in a depth-first search (they lead back to a node
// still on the search path).  Turning exactly these around leaves no cycle.
std::vector<bool> back_edges(std::size_t node_count, std::span<const Edge> edges) {
  enum : unsigned char { kNew, kOnPath, kDone };
  const Adjacency adjacency(node_count, edges);
  std::vector<unsigned char> state(node_count, kNew);
  std::vector<bool> back(edges.size(), false);
  struct Frame {
    std::size_t node;
    std::size_t next;
  };
  std::vector<Frame> frames;
  for (std::size_t root = 0; root < node_count; ++root) {
    if (state[root] != kNew) continue;
    state[root] = kOnPath;
    frames.push_back({root, adjacency.begin(root)});
    while (!frames.empty()) {
      const std::size_t v = frames.back().node;
      if (frames.back().next == adjacency.end(v)) {
        state[v] = kDone;
        frames.pop_back();
        continue;
      }
      const std::size_t slot = frames.back().next++;
      const std::size_t w = adjacency.targets[slot];
      if (state[w] == kOnPath) {
        back[adjacency.edge_index[slot]] = true;
      } else if (state[w] == kNew) {
        state[w] = kOnPath;
        frames.push_back({w, adjacency.begin(w)});
      }
    }
  }
  return back;
}

// Longest path from a source, over an acyclic graph (Kahn's order); then,
// in reverse order, every node with children moves down to just above its
// nearest child.  Its parents stay above it, and edges (and with them dummy
// nodes) get shorter: a source no longer waits at the top for a child deep
// down the drawing.
std::vector<std::size_t> longest_path_layers(std::size_t node_count, std::span<const Edge> dag) {
  const Adjacency adjacency(node_count, dag);
  std::vector<std::size_t> indegree(node_count, 0), layer(node_count, 0), ready, order;
  order.reserve(node_count);
  for (const Edge& e : dag) ++indegree[e.to];
  for (std::size_t v = 0; v < node_count; ++v)
    if (indegree[v] == 0) ready.push_back(v);
  while (!ready.empty()) {
    const std::size_t v = ready.back();
    ready.pop_back();
    order.push_back(v);
    for (std::size_t s = adjacency.begin(v); s < adjacency.end(v); ++s) {
      const std::size_t w = adjacency.targets[s];
      layer[w] = std::max(layer[w], layer[v] + 1);
      if (--indegree[w] == 0) ready.push_back(w);
    }
  }
  for (std::size_t k = order.size(); k-- > 0;) {
    const std::size_t v = order[k];
    if (adjacency.begin(v) == adjacency.end(v)) continue;
    std::size_t nearest = SIZE_MAX;
    for (std::size_t s = adjacency.begin(v); s < adjacency.end(v); ++s)
      nearest = std::min(nearest, layer[adjacency.targets[s]]);
    layer[v] = std::max(layer[v], nearest - 1);
  }
  return layer;
}

// Segments between adjacent layers, each from an upper to a lower node.
struct Segments {
  std::vector<Edge> list;
  Adjacency down, up;
  Segments(std::size_t nodes, std::vector<Edge> segments)
      : list(std::move(segments)), down(nodes, list), up(nodes, list, true) {}
};

// Crossings between layer `upper` and the next one, by counting inversions
// with a Fenwick tree over the lower positions.
std::size_t crossings_below(const LayeredLayout& layout, const Segments& segments,
                            std::size_t upper) {
  const auto& top = layout.layers[upper];
  const std::size_t width = layout.layers[upper + 1].size();
  std::vector<std::size_t> tree(width + 1, 0);
  std::size_t seen = 0, count = 0;
  std::vector<std::size_t> ends;
  for (std::size_t v : top) {
    ends.clear();
    for (std::size_t s = segments.down.begin(v); s < segments.down.end(v); ++s)
      ends.push_back(layout.position[segments.down.targets[s]]);
    std::sort(ends.begin(), ends.end());
    for (std::size_t p : ends) {
      // Segments already seen that end strictly right of p cross this one.
      std::size_t at_most = 0;
      for (std::size_t i = p + 1; i > 0; i -= i & (~i + 1)) at_most += tree[i];
      count += seen - at_most;
    }
    for (std::size_t p : ends) {
      for (std::size_t i = p + 1; i <= width; i += i & (~i + 1)) ++tree[i];
      ++seen;
    }
  }
  return count;
}

std::size_t total_crossings(const LayeredLayout& layout, const Segments& segments) {
  std::size_t total = 0;
  for (std::size_t l = 0; l + 1 < layout.layers.size(); ++l)
    total += crossings_below(layout, segments, l);
  return total;
}

// Reorders one layer by the mean position of each node's neighbours in the
// adjacent, fixed layer; a node without neighbours there keeps its place.
void reorder_layer(LayeredLayout& layout, const Adjacency& neighbours, std::size_t l) {
  auto& nodes = layout.layers[l];
  std::vector<std::pair<double, std::size_t>> keyed;
  keyed.reserve(nodes.size());
  for (std::size_t v : nodes) {
    const std::size_t first = neighbours.begin(v), last = neighbours.end(v);
    double key = static_cast<double>(layout.position[v]);
    if (first != last) {
      double sum = 0;
      for (std::size_t s = first; s < last; ++s)
        sum += static_cast<double>(layout.position[neighbours.targets[s]]);
      key = sum / static_cast<double>(last - first);
    }
    keyed.emplace_back(key, v);
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    nodes[i] = keyed[i].second;
    layout.position[nodes[i]] = i;
  }
}

// Places a layer's nodes as near as possible to `wanted` (in order, at
// least one slot apart): least squares under the spacing constraint, solved
// by pooling adjacent violators.
void place_layer(LayeredLayout& layout, std::size_t l, const std::vector<double>& wanted) {
  const auto& nodes = layout.layers[l];
  struct Block {
    double sum;
    std::size_t count;
    double mean() const { return sum / static_cast<double>(count); }
  };
  std::vector<Block> blocks;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    blocks.push_back({wanted[i] - static_cast<double>(i), 1});
    while (blocks.size() > 1 && blocks[blocks.size() - 2].mean() > blocks.back().mean()) {
      const Block last = blocks.back();
      blocks.pop_back();
      blocks.back().sum += last.sum;
      blocks.back().count += last.count;
    }
  }
  std::size_t i = 0;
  for (const Block& block : blocks)
    for (std::size_t k = 0; k < block.count; ++k, ++i)
      layout.offset[nodes[i]] = block.mean() + static_cast<double>(i);
}

void align_to(LayeredLayout& layout, const Adjacency& neighbours, std::size_t l) {
  std::vector<double> wanted;
  for (std::size_t v : layout.layers[l]) {
    const std::size_t first = neighbours.begin(v), last = neighbours.end(v);
    double want = layout.offset[v];
    if (first != last) {
      double sum = 0;
      for (std::size_t s = first; s < last; ++s) sum += layout.offset[neighbours.targets[s]];
      want = sum / static_cast<double>(last - first);
    }
    wanted.push_back(want);
  }
  place_layer(layout, l, wanted);
}

// Lanes for the long edges.  The edges meeting at one node form a bus, at
// the end where more of them meet (the upper end on a tie); a bus occupies
// the gaps between layers from its first to its last edge end, and goes
// above the layers when its edges' ends lie mostly in the upper half.
// Buses on one side share lanes where their gaps do not overlap: sorted by
// first gap, each takes the lane that freed earliest, if it is free.
void assign_lanes(LayeredLayout& layout, std::span<const Edge> edges,
                  const std::vector<bool>& long_edge) {
  const std::size_t n = layout.node_count;
  layout.lane.assign(edges.size(), kNoLane);
  layout.lane_above.assign(edges.size(), false);
  auto ends = [&](std::size_t i) {
    const Edge e = edges[i];
    return layout.reversed[i] ? Edge{e.to, e.from} : e;  // {upper, lower}
  };
  std::vector<std::size_t> down(n, 0), up(n, 0);
  for (std::size_t i = 0; i < edges.size(); ++i)
    if (long_edge[i]) ++down[ends(i).from], ++up[ends(i).to];
  struct Bus {
    std::size_t first = SIZE_MAX, last = 0;  // gaps, by the layer on their left
    double offsets = 0;
    std::size_t count = 0, lane = 0;
    bool above = false;
  };
  std::vector<Bus> buses;
  std::vector<std::size_t> down_bus(n, kNoLane), up_bus(n, kNoLane), bus_of(edges.size(), kNoLane);
  double widest = 0;
  for (std::size_t v = 0; v < n; ++v) widest = std::max(widest, layout.offset[v]);
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (!long_edge[i]) continue;
    const Edge e = ends(i);
    const bool at_upper = down[e.from] >= up[e.to];
    std::size_t& slot = at_upper ? down_bus[e.from] : up_bus[e.to];
    if (slot == kNoLane) {
      slot = buses.size();
      buses.emplace_back();
    }
    Bus& bus = buses[slot];
    bus.first = std::min(bus.first, layout.layer[e.from]);
    bus.last = std::max(bus.last, layout.layer[e.to] - 1);
    bus.offsets += layout.offset[e.from] + layout.offset[e.to];
    bus.count += 2;
    bus_of[i] = slot;
  }
  std::vector<std::size_t> order(buses.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return buses[x].first != buses[y].first ? buses[x].first < buses[y].first : x < y;
  });
  using Free = std::pair<std::size_t, std::size_t>;  // (last gap used, lane)
  std::array<std::priority_queue<Free, std::vector<Free>, std::greater<>>, 2> busy;
  std::array<std::size_t, 2> count{0, 0};
  for (std::size_t b : order) {
    Bus& bus = buses[b];
    bus.above = bus.offsets / static_cast<double>(bus.count) < widest / 2;
    auto& queue = busy[bus.above];
    if (!queue.empty() && queue.top().first < bus.first) {
      bus.lane = queue.top().second;
      queue.pop();
    } else {
      bus.lane = count[bus.above]++;
    }
    queue.push({bus.last, bus.lane});
  }
  layout.lanes_below = count[0];
  layout.lanes_above = count[1];
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (bus_of[i] == kNoLane) continue;
    layout.lane[i] = buses[bus_of[i]].lane;
    layout.lane_above[i] = buses[bus_of[i]].above;
  }
}

}  // namespace

LayeredLayout layered_layout(std::size_t node_count, std::span<const Edge> edges, int sweeps) {
  LayeredLayout layout;
  layout.node_count = node_count;
  layout.reversed = back_edges(node_count, edges);

  // The acyclic graph the layering sees: back edges turned, self-loops out.
  std::vector<Edge> dag;
  dag.reserve(edges.size());
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (edges[i].from == edges[i].to) continue;
    dag.push_back(layout.reversed[i] ? Edge{edges[i].to, edges[i].from} : edges[i]);
  }
  layout.layer = longest_path_layers(node_count, dag);

  // Dummy nodes and the segments between adjacent layers; long edges get
  // neither (they run along lanes).
  std::vector<Edge> segments;
  std::vector<bool> long_edge(edges.size(), false);
  layout.routes.resize(edges.size());
  for (std::size_t i = 0; i < edges.size(); ++i) {
    auto& route = layout.routes[i];
    const Edge e = edges[i];
    if (e.from == e.to) {
      route.push_back(e.from);
      continue;
    }
    const std::size_t upper = layout.reversed[i] ? e.to : e.from;
    const std::size_t lower = layout.reversed[i] ? e.from : e.to;
    route.push_back(upper);
    if (layout.layer[lower] - layout.layer[upper] > kMaxSpan) {
      long_edge[i] = true;
      route.push_back(lower);
      if (layout.reversed[i]) std::reverse(route.begin(), route.end());
      continue;
    }
    for (std::size_t l = layout.layer[upper] + 1; l < layout.layer[lower]; ++l) {
      const std::size_t dummy = layout.layer.size();
      layout.layer.push_back(l);
      segments.push_back({route.back(), dummy});
      route.push_back(dummy);
    }
    segments.push_back({route.back(), lower});
    route.push_back(lower);
    if (layout.reversed[i]) std::reverse(route.begin(), route.end());
  }

  const std::size_t all = layout.layer.size();
  std::size_t layer_count = 0;
  for (std::size_t l : layout.layer) layer_count = std::max(layer_count, l + 1);
  layout.layers.assign(layer_count, {});
  layout.position.assign(all, 0);
  for (std::size_t v = 0; v < all; ++v) {
    layout.position[v] = layout.layers[layout.layer[v]].size();
    layout.layers[layout.layer[v]].push_back(v);
  }

  const Segments segs(all, std::move(segments));
  auto best = layout.layers;
  std::size_t best_count = total_crossings(layout, segs);
  for (int sweep = 0; sweep < sweeps && best_count > 0; ++sweep) {
    if (sweep % 2 == 0) {
      for (std::size_t l = 1; l < layer_count; ++l) reorder_layer(layout, segs.up, l);
    } else {
      for (std::size_t l = layer_count; l-- > 1;) reorder_layer(layout, segs.down, l - 1);
    }
    const std::size_t count = total_crossings(layout, segs);
    if (count < best_count) {
      best_count = count;
      best = layout.layers;
    }
  }
  layout.layers = std::move(best);
  for (const auto& nodes : layout.layers)
    for (std::size_t i = 0; i < nodes.size(); ++i) layout.position[nodes[i]] = i;

  // Places along the layers: start packed, then pull each layer towards its
  // neighbours, downwards and back up.
  layout.offset.assign(all, 0);
  for (std::size_t v = 0; v < all; ++v) layout.offset[v] = static_cast<double>(layout.position[v]);
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t l = 1; l < layer_count; ++l) align_to(layout, segs.up, l);
    for (std::size_t l = layer_count; l-- > 1;) align_to(layout, segs.down, l - 1);
  }
  double least = 0;
  for (double o : layout.offset) least = std::min(least, o);
  for (double& o : layout.offset) o -= least;
  assign_lanes(layout, edges, long_edge);
  return layout;
}

std::size_t crossings(const LayeredLayout& layout) {
  std::vector<Edge> segments;
  for (std::size_t e = 0; e < layout.routes.size(); ++e) {
    const auto& route = layout.routes[e];
    if (layout.lane[e] != kNoLane) continue;  // along a lane, not between layers
    for (std::size_t i = 0; i + 1 < route.size(); ++i) {
      const std::size_t a = route[i], b = route[i + 1];
      segments.push_back(layout.layer[a] < layout.layer[b] ? Edge{a, b} : Edge{b, a});
    }
  }
  return total_crossings(layout, Segments(layout.layer.size(), std::move(segments)));
}

}  // namespace zuv::graph
