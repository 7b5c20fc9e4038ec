#include "run/product_share.hpp"

#include <omp.h>

#include <algorithm>

namespace velmora {

ProductShare::ProductShare(FmmEngine& engine, const Tree& tree, int nelem, const Comm& comm)
    : comm_(comm) {
  part_ = partition_leaves(engine.leaf_work(), comm.size());
  const int me = comm.rank();
  counts_.assign(static_cast<std::size_t>(comm.size()), 0);
  for (int r = 0; r < comm.size(); ++r) {
    for (int pos = part_.first[r]; pos <= part_.last[r]; ++pos) order_.push_back(tree.elord(pos));
    counts_[r] = 3 * std::max(0, part_.last[r] - part_.first[r] + 1);
  }
  // Every element in one leaf of levels >= 2 (as the trees of a run are:
  // minlev >= 2): otherwise every process forms the whole product.
  split_ = order_.size() == static_cast<std::size_t>(nelem);
  if (!split_) return;
  engine.restrict_targets(part_.first[me], part_.last[me]);
  mine_.resize(static_cast<std::size_t>(counts_[me]));
  all_.resize(order_.size() * 3);
}

void ProductShare::complete(double* y) {
  // One process holds every entry already.
  if (!split_ || comm_.size() == 1) return;
  const double t0 = omp_get_wtime();
  const int me = comm_.rank();
  std::size_t offset = 0;
  for (int r = 0; r < me; ++r) offset += static_cast<std::size_t>(counts_[r]) / 3;
  const std::size_t n = static_cast<std::size_t>(counts_[me]) / 3;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t e = static_cast<std::size_t>(order_[offset + i]) - 1;
    for (int k = 0; k < 3; ++k) mine_[3 * i + k] = y[3 * e + k];
  }
  comm_.allgatherv(mine_.data(), counts_, all_.data());
  for (std::size_t i = 0; i < order_.size(); ++i) {
    const std::size_t e = static_cast<std::size_t>(order_[i]) - 1;
    for (int k = 0; k < 3; ++k) y[3 * e + k] = all_[3 * i + k];
  }
  seconds_ += omp_get_wtime() - t0;
}

}  // namespace velmora
