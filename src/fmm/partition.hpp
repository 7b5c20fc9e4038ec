// Partition of the tree's leaves among the processes of a run.
//
// The leaves, in tree order (their elements are the consecutive tree
// positions first..last), are cut into P contiguous runs, one per process in
// rank order, by their work (FmmEngine::leaf_work): run r takes the leaves
// whose work prefix (the work of the leaves before them) lies in
// [r W / P, (r + 1) W / P), W the total, compared in exact integer
// arithmetic.  A leaf is never split, so each process's preconditioner
// blocks and targets are whole leaves; when there are fewer leaves than
// processes (or a few leaves hold most of the work) some runs are empty.
// The cut depends only on the leaves and P, never on timing: every process
// computes the same partition.
#pragma once

#include <cstdint>
#include <vector>

#include "fmm/engine.hpp"

namespace velmora {

// Work units of one product (FmmEngine::leaf_work), in near-field pairs
// (one source element's 3x3 block applied to one target from the cache): one
// element's moments and evaluation (with its share of the moment-to-moment
// and local-to-local passes), and one multipole-to-local entry.  From the
// phases of the products after the first at 1,003,520 triangles on the
// 2-core machine (nexp 15, maxl 30, default path, bench/speed.sh): near field
// 0.60 s for 3.56e8 pairs (3.4 ns of one core per pair); moments, M2M, L2L
// and evaluation 1.07 s for 1.0e6 elements (2.1 us per element, 635 pairs);
// translations 2.31 s for 3.51e6 entries (1.3 us per entry, 390 pairs).
constexpr std::int64_t kElementUnits = 635;
constexpr std::int64_t kM2LUnits = 390;

struct LeafPartition {
  // Per rank: first and last tree position (last < first: no leaves), first
  // and one-past-last leaf index, and the work of its leaves.
  std::vector<int> first, last;
  std::vector<int> leaf_begin, leaf_end;
  std::vector<std::int64_t> work;
  int ranks() const { return static_cast<int>(first.size()); }
  // Largest work over the mean work, 1 for a perfect balance.
  double imbalance() const;
};

LeafPartition partition_leaves(const std::vector<FmmEngine::LeafWork>& leaves, int nranks);

}  // namespace velmora
