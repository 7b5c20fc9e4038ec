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
