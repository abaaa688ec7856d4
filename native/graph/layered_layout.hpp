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
//
// Dummies are kept for short edges only: an edge spanning more than
// kMaxSpan layers would cost one dummy per layer it crosses (a hub read by
// every step of a chain: quadratic).  Such a long edge instead runs along a
// lane outside the layers, above or below them, leaving its upper node in
// the gap after that node's layer and reaching its lower node in the gap
// before it.  Long edges meeting at one node share a lane (a bus: the
// node's own edges drawn as one line with branches), and lanes are reused
// by buses whose spans do not overlap (interval partitioning).
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
  // (dummies between).  A self-loop's route is its one node, a long edge's
  // its two ends.
  std::vector<std::vector<std::size_t>> routes;
  std::vector<bool> reversed;  // per input edge: it runs against the layering
  // Per input edge: its lane, for a long edge; kNoLane otherwise.  Lanes
  // above the layers count from the layers outwards, and so do those below.
  std::vector<std::size_t> lane;
  std::vector<bool> lane_above;
  std::size_t lanes_above = 0, lanes_below = 0;
};

constexpr std::size_t kMaxSpan = 3;
constexpr std::size_t kNoLane = static_cast<std::size_t>(-1);

LayeredLayout layered_layout(std::size_t node_count, std::span<const Edge> edges, int sweeps = 12);

// Pairs of segments between adjacent layers that cross.
std::size_t crossings(const LayeredLayout& layout);

}  // namespace zuv::graph
