// One process's share of a distributed product (a run of several processes,
// common/comm.hpp).
//
// Every process holds the whole mesh, tree and GMRES vectors and runs the
// same iteration; the product, the costly part, is split.  The leaves are
// cut among the processes by their work (fmm/partition.hpp), each process's
// engine forms only the entries of y of its own elements (to the bits of the
// whole product) and keeps only their near-field blocks, forms only the
// moments of the cells it owns and receives the others it reads from their
// owners (FmmEngine::own_moments), and complete() copies every process's
// entries to all.  Every value is thus formed by one
// process in the order of the one-process product, and the run gives the
// same bits for any number of processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/comm.hpp"
#include "fmm/engine.hpp"
#include "fmm/partition.hpp"
#include "fmm/tree.hpp"

namespace velmora {

class ProductShare {
 public:
  // Partitions the leaves of `engine` (not yet restricted, no product yet)
  // among the processes of `comm` and restricts it to this process's.
  ProductShare(FmmEngine& engine, const Tree& tree, int nelem, const Comm& comm);

  // y (3 nelem entries, element by element: y[3 (e - 1) + k]): the entries of
  // the other processes' elements replaced by theirs.
  // `precon`: the entries are the preconditioner's (solver/fast_precon.hpp),
  // timed apart from the product's.
  void complete(double* y, bool precon = false);

  const LeafPartition& partition() const { return part_; }
  const Comm& comm() const { return comm_; }
  // This process's elements.
  int elements() const { return counts_[comm_.rank()] / 3; }
  double exchange_seconds() const { return seconds_; }
  double precon_exchange_seconds() const { return precon_seconds_; }
  // The engine's cumulative product seconds after each product, for the
  // report: the first product (near field integrated) and the later ones.
  void note_product(double engine_seconds) {
    if (products_ == 0) first_seconds_ = engine_seconds;
    last_seconds_ = engine_seconds;
    ++products_;
  }
  // Entries of x this process receives for each product (ghost densities
  // or the whole vector), for the report.
  void note_product_reads(std::int64_t entries) { reads_ = entries; }
  double first_product_seconds() const { return first_seconds_; }
  // Seconds per product after the first (0 with one product).
  double later_product_seconds() const {
    return products_ > 1 ? (last_seconds_ - first_seconds_) / (products_ - 1) : 0.0;
  }
  // The console's lines on the split (collective: every process calls it,
  // and gets them all): the processes and the work imbalance, then one line
  // per process with its leaves and elements, its share of the work, its
  // near-field cache, the bytes and messages it sent, its peak memory, and
  // the time it spent in products, in their exchanges of y and of moments
  // (with the cells it receives per product) and in the preconditioner's,
  // and the entries of x it receives per product.
  std::vector<std::string> report(FmmEngine& engine) const;
  // Whether the product is split (every element lies in a leaf of levels
  // >= 2); if not, every process forms all of it.
  bool split() const { return split_; }

 private:
  const Comm& comm_;
  LeafPartition part_;
  std::vector<int> order_;   // elements of ranks 0, 1, ... in tree order
  std::vector<int> counts_;  // 3 x elements per rank
  std::vector<double> mine_, all_;
  double seconds_ = 0.0, precon_seconds_ = 0.0;
  bool split_ = false;
  int products_ = 0;
  std::int64_t reads_ = 0;
  double first_seconds_ = 0.0, last_seconds_ = 0.0;
};

}  // namespace velmora
