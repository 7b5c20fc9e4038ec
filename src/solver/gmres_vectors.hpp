// GMRES's vectors in a solve: their order, their blocks and, in a run of
// several processes, each process's share.
//
// GMRES works on the unknowns in tree order (element elord(pos), components
// 1 to 3, for pos = 1..nelem), so that the tree's leaves are runs of
// entries: its inner products are formed leaf by leaf and added exactly
// (solver/block_dots.hpp), the same bits for any number of threads and
// processes.  Its requests are served in element order (to_whole,
// from_whole).
//
// In a run of several processes whose product is split, each process holds
// GMRES's vectors for its own elements only (its run of whole leaves; its
// share of the entries, possibly none), in a work array of its own; for a
// product it receives from their owners only the entries its product reads
// (ghost densities, plan_product_reads), and the whole vector (in tree
// order the runs follow one another) only where a caller asks for it; its
// inner products are its leaves', summed across the processes exactly.  Not when the block's
// workspace would make one process lower the restart length M, nor when a
// process holds fewer than M entries (GMRES's vector w, of nlocal entries,
// receives up to M inner products): then every process runs on whole
// vectors, with the same bits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/comm.hpp"
#include "fmm/product_share.hpp"
#include "fmm/tree.hpp"

namespace velmora {

class GmresVectors {
 public:
  // tree: the solve's; block_work, block_lwork: the work array of the block
  // (used unless the vectors are shared out); share: the product's split
  // (null: one process's product).
  GmresVectors(const Tree& tree, int nelem, int maxl, int minlev, int m, double* block_work,
               int block_lwork, const ProductShare* share, const Comm& comm);

  bool local() const { return local_; }
  int nlocal() const { return nl_; }
  double* work() const { return work_; }
  int lwork() const { return lwork_; }

  // The whole vector in element order e from GMRES's vector vt (a gather
  // across the processes when local), and GMRES's vector zt from the whole
  // vector in element order.
  void to_whole(const double* vt, double* e);
  void from_whole(const double* e, double* zt);
  // Element order from the whole vector in tree order (and back).
  void to_elements(const double* t, double* e) const;
  void to_tree(const double* e, double* t) const;
  // This process's entries of the whole vector e (element order) from
  // GMRES's vector vt, the others left as they are (no exchange).
  void own_to_whole(const double* vt, double* e) const;
  // Ghost densities (split vectors only; collective: every process calls
  // it): `reads` are the tree positions, ascending, whose entries this
  // process's product reads (FmmEngine::density_positions).  Each process
  // asks the owners of those outside its own run for them, once; from then
  // on to_product() receives just those entries instead of the whole vector.
  void plan_product_reads(const std::vector<int>& reads);
  bool has_product_plan() const { return planned_; }
  // The product's x in element order: this process's entries and the ghost
  // entries it reads, from their owners in one exchange; the others are
  // left as they are.  Without a plan: to_whole().
  void to_product(const double* vt, double* e);
  // Entries received per product (ghosts; the whole vector less this
  // process's share without a plan).
  std::int64_t product_entries_received() const;
  // This process's elements (split vectors), or every element.
  std::vector<int> own_elements() const;
  // The entries of this process's elements in the whole vector e (element
  // order) that are not finite.
  std::int64_t non_finite_own(const double* e) const;
  // GMRES's dots request: z(k) = V(:, k) . w for k < count.
  void dots(int count, const double* V, const double* w, double* z) const;

 private:
  const Tree& tree_;
  const Comm& comm_;
  int nelem_, n_, nl_;
  bool local_ = false;
  std::vector<int> runs_;  // entry boundaries of the leaves in GMRES's vectors
  std::vector<int> counts_;  // entries per process (local)
  int offset_ = 0;            // entries before this process's (local)
  std::unique_ptr<double[]> own_work_;
  double* work_;
  int lwork_;
  std::vector<double> whole_;  // a whole vector in tree order (local)
  // Ghost densities: per process, the positions (tree order) this process
  // sends it, taken from its own run, and receives from it, in rank order.
  bool planned_ = false;
  std::vector<int> send_pos_, recv_pos_;
  std::vector<int> send_counts_, recv_counts_;  // 3 entries per position
  std::vector<double> send_buf_, recv_buf_;
};

}  // namespace velmora
