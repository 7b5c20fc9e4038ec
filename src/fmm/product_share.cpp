#include "fmm/product_share.hpp"

#include <omp.h>

#include <algorithm>

#include "common/process_memory.hpp"
#include "common/records.hpp"

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
  engine.own_moments(comm, part_.first, part_.last);
  mine_.resize(static_cast<std::size_t>(counts_[me]));
  all_.resize(order_.size() * 3);
}

void ProductShare::complete(double* y, bool precon) {
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
  (precon ? precon_seconds_ : seconds_) += omp_get_wtime() - t0;
}

std::vector<std::string> ProductShare::report(FmmEngine& engine) const {
  const Comm& comm = comm_;
  const LeafPartition& part = part_;
  const int p = comm.size();
  constexpr int kItems = 12;
  const double mine[kItems] = {
      static_cast<double>(engine.near_cache_enabled() ? engine.near_cache_bytes() : 0), seconds_,
      static_cast<double>(comm.bytes_sent()), engine.timers().wall.total(), first_seconds_,
      later_product_seconds(), precon_seconds_, engine.ghost_exchange_seconds(),
      static_cast<double>(engine.ghost_cells_received()), static_cast<double>(comm.messages_sent()),
      static_cast<double>(peak_resident_bytes()), static_cast<double>(reads_)};
  std::vector<double> all(static_cast<std::size_t>(kItems) * p);
  comm.allgatherv(mine, std::vector<int>(static_cast<std::size_t>(p), kItems), all.data());
  std::int64_t total = 0;
  for (std::int64_t w : part.work) total += w;
  std::vector<std::string> lines;
  lines.push_back("  Product split among ranks: " + std::to_string(p) +
                  (split_ ? "" : " (not split: leaves above level 2)") + ", work imbalance" +
                  fmt::F(part.imbalance(), 7, 3));
  for (int r = 0; r < p; ++r) {
    const double* v = all.data() + static_cast<std::size_t>(kItems) * r;
    const int nel = std::max(0, part.last[r] - part.first[r] + 1);
    lines.push_back(
        "   rank " + std::to_string(r) + ": " + std::to_string(part.leaf_end[r] - part.leaf_begin[r]) +
        " leaves, " + std::to_string(nel) + " elements, work" +
        fmt::F(total > 0 ? static_cast<double>(part.work[r]) / static_cast<double>(total) : 0.0, 7, 3) +
        ", near-field cache" + fmt::F(v[0] / 1.0e6, 10, 1) + " Mb, sent" +
        fmt::F(v[2] / 1.0e6, 10, 1) + " Mb in " + std::to_string(static_cast<std::int64_t>(v[9])) +
        " messages, peak memory" + fmt::F(v[10] / 1.0e6, 10, 1) + " Mb, time used in products" + fmt::F(v[3], 9, 2) +
        " s (first" + fmt::F(v[4], 8, 2) + " s, then" + fmt::F(v[5], 7, 3) + " s each), in exchanges" +
        fmt::F(v[1], 9, 2) + " s, of moments" + fmt::F(v[7], 8, 2) + " s (" +
        std::to_string(static_cast<std::int64_t>(v[8])) + " cells each), of the preconditioner's" +
        fmt::F(v[6], 8, 2) + " s; x received " +
        std::to_string(static_cast<std::int64_t>(v[11]) / 3) + " elements per product");
  }
  return lines;
}

}  // namespace velmora
