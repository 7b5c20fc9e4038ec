#include "fmm/partition.hpp"

#include <algorithm>

namespace velmora {

double LeafPartition::imbalance() const {
  std::int64_t total = 0, largest = 0;
  for (std::int64_t w : work) {
    total += w;
    largest = std::max(largest, w);
  }
  if (total <= 0 || work.empty()) return 1.0;
  return static_cast<double>(largest) * static_cast<double>(work.size()) /
         static_cast<double>(total);
}

LeafPartition partition_leaves(const std::vector<FmmEngine::LeafWork>& leaves, int nranks) {
  LeafPartition part;
  const int p = std::max(1, nranks);
  const int n = static_cast<int>(leaves.size());
  __int128 total = 0;
  for (const auto& l : leaves) total += l.work;
  part.first.assign(p, 1);
  part.last.assign(p, 0);
  part.leaf_begin.assign(p, 0);
  part.leaf_end.assign(p, 0);
  part.work.assign(p, 0);
  // Leaf i goes to the rank r with r W <= P prefix(i) < (r + 1) W, prefix(i)
  // the work of leaves 0..i-1 (zero-work leaves follow their predecessor).
  __int128 prefix = 0;
  int r = 0;
  for (int i = 0; i < n; ++i) {
    const __int128 scaled = prefix * p;
    while (r + 1 < p && scaled >= static_cast<__int128>(r + 1) * total) ++r;
    if (part.leaf_end[r] == part.leaf_begin[r]) {
      part.leaf_begin[r] = i;
      part.first[r] = leaves[i].first;
    }
    part.leaf_end[r] = i + 1;
    part.last[r] = leaves[i].last;
    part.work[r] += leaves[i].work;
    prefix += leaves[i].work;
  }
  // Empty runs keep first = 1 > last = 0; their leaf range is empty at the
  // position where their run would start.
  for (int q = 0; q < p; ++q)
    if (part.leaf_end[q] == part.leaf_begin[q]) {
      const int at = q == 0 ? 0 : part.leaf_end[q - 1];
      part.leaf_begin[q] = part.leaf_end[q] = at;
      part.first[q] = 1;
      part.last[q] = 0;
    }
  return part;
}

}  // namespace velmora
