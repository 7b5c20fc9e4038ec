// The generated mesh of bench/virtual_ranks and its tree: the Morton keys
// of the centroids of geodesic spheres, and the octree the program's rules
// build from them (virtual_ranks.cpp describes both).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vranks {

constexpr int kBits = 21;  // grid bits per coordinate of the keys
constexpr int kMaxLevel = 20;

// Morton keys of the centroids of the geodesic spheres of frequency k
// (radius 1, centres 3 apart on a lattice of n^3), sorted.
std::vector<std::uint64_t> sphere_keys(int k, int n);

struct Node {
  std::uint64_t prefix = 0;  // key >> 3 (kBits - level)
  std::int64_t a = 0, b = 0;  // elements: sorted positions a..b-1
  std::int32_t child = -1;    // first child in the next level (-1: leaf)
  std::int32_t nchild = 0;
};

struct Octree {
  std::vector<std::vector<Node>> level;
  int find(int lev, std::uint64_t prefix) const {
    const auto& l = level[lev];
    auto it = std::lower_bound(l.begin(), l.end(), prefix,
                               [](const Node& nd, std::uint64_t p) { return nd.prefix < p; });
    return it != l.end() && it->prefix == prefix ? static_cast<int>(it - l.begin()) : -1;
  }
  // Existing cells of level lev adjacent to (or equal to) cell i, ascending.
  void adjacent(int lev, int i, std::vector<int>& out) const;
};

// The tree of the sorted keys: a cell of level < minlev or holding more than
// maxl elements is split into its non-empty octants, down to kMaxLevel.
Octree build_tree(const std::vector<std::uint64_t>& keys, int maxl, int minlev);

}  // namespace vranks
