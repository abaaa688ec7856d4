// Layered drawing of a directed graph (parent -> child), sources first.
//
// Steps: edges closing a cycle are turned around for the layering only
// (the drawing keeps their direction); each node goes to the layer of the
// longest path from a source; an edge spanning several layers passes
// through one dummy node per layer it crosses; the nodes of each layer are
// ordered by barycentric sweeps, keeping the ordering with the fewest
// crossings seen; finally each node gets a place along its layer near the
// mean of its neighbours.  Every step is linear in nodes plus edges, apart
// from the sort inside each layer and the crossing count (e log e).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "graph/strong_components.hpp"

namespace zuv::graph {

struct LayeredLayout {
  std::size_t node_count = 0;                    // real nodes; ids from node_count on are dummies
  std::vector<std::size_t> layer;                // per node, real and dummy
  std::vector<std::vector<std::size_t>> layers;  // node ids in drawing order
  std::vector<std::size_t> position;             // index of each node in its layer
  std::vector<double> offset;                    // place along the layer, in node slots
  // Per input edge: the nodes it passes, from its source to its target
  // (dummies between).  A self-loop's route is its one node.
  std::vector<std::vector<std::size_t>> routes;
  std::vector<bool> reversed;  // per input edge: it runs against the layering
};

LayeredLayout layered_layout(std::size_t node_count, std::span<const Edge> edges, int sweeps = 12);

// Pairs of segments between adjacent layers that cross.
std::size_t crossings(const LayeredLayout& layout);

}  // namespace zuv::graph
