// The block-Jacobi preconditioner of PRECON, threaded over the leaves and
// optionally keeping the factored blocks.
//
// z = B^-1 x with the same leaf blocks as PRECON (for every leaf of levels
// 2..nlev with elements e_1..e_nl in tree order: row 3(k-1)+i, column
// 3(l-1)+j holds the integral over e_l at the collocation point of e_k of
// T_ij when component j of e_l has a prescribed traction, else of -U_ij),
// built by the same TRIINT calls and factored and solved by the same
// lufact / lusolv.  Leaves are independent: each thread builds, factors and
// solves whole leaves in its own storage and writes only the entries of z
// of its leaf's elements, so the result is the same bits as PRECON for any
// number of threads.
//
// Leaves that hold a whole closed body with prescribed velocities get that
// body's augmentation in their blocks (augment_whole_bodies); without it
// their blocks are singular.
//
// The blocks do not change during a solve.  With the factor cache enabled
// (before the first application), the first application keeps every leaf's
// LU factors and pivots, and later applications only gather, solve and
// scatter; the solves use the same factors and give the same bits.  The
// cache takes 8 (3 nl)^2 + 4 (3 nl) bytes per leaf of nl elements (of this
// process's leaves in a run of several: distribute).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "bem/null_space.hpp"
#include "fmm/product_share.hpp"
#include "solver/precon.hpp"

namespace velmora {

class FastPrecon {
 public:
  // From the state PRECON receives: mesh, mu, snaptol, maxl, minlev and the
  // tree (its working-storage pointers are not used).  The mesh and tree
  // must stay valid and unchanged while the object lives.  The number of
  // OpenMP threads current at construction is used.
  explicit FastPrecon(const PreconData& d);
  ~FastPrecon();
  FastPrecon(const FastPrecon&) = delete;
  FastPrecon& operator=(const FastPrecon&) = delete;

  // z = B^-1 x on the entries of the elements of visited leaves; the other
  // entries of z keep their content.
  void apply(const double* x, double* z);

  // Bytes the factor cache takes, and its switch (before the first apply).
  std::size_t factor_cache_bytes() const;
  void enable_factor_cache();
  bool factor_cache_enabled() const;

  // Per-thread working storage and the leaf list.
  std::size_t fixed_bytes() const;

  // The leaves, in the order of block_sums: their cells.
  const std::vector<int>& leaf_cells() const;

  // For a coarse correction: asks the next application that builds the
  // blocks (before the factor cache is filled) to record, for each leaf i,
  // s[9i + 3r + c] = the sum of the block's entries in the rows of component
  // r + 1 and the columns of component c + 1 of the leaf's elements whose
  // component has a prescribed velocity (both).  block_sums() is empty until
  // an application has recorded them.
  void record_block_sums();
  const std::vector<double>& block_sums() const;

  // A leaf that holds every element of a closed body treated by `ns` (a
  // small or coarsely meshed particle alone in its leaf) has a singular
  // block: the body's null vector is in it.  From the next application that
  // builds the blocks, such a leaf's block gets the body's augmentation
  // (bem/null_space.hpp), which is then the leaf's diagonal block of the
  // augmented operator that the solver sees; the other leaves keep theirs.
  // The block sums (record_block_sums) stay those of the plain blocks.
  // Returns the number of such leaves.  Null: none.
  int augment_whole_bodies(const ClosedBodyNullSpace* ns);

  // A run of several processes (fmm/product_share.hpp): this process builds,
  // factors and keeps only the blocks of its own leaves, the leaves of its
  // share of the product, and every application ends with share.complete(z),
  // which copies the other processes' entries; the block sums are gathered
  // likewise.  Every process then holds the whole of z (and of the sums)
  // with the one-process bits, and the factor cache falls with the number
  // of processes.  Nothing changes when the product is not split.  Before
  // the factor cache is sized and before the first application; `share`
  // must outlive this object.
  void distribute(ProductShare& share);
  // After distribute, for a caller that reads only this process's entries
  // (GMRES on split vectors): apply() reads x and forms z on its own leaves
  // only and leaves the other entries of z as they were (no exchange).
  void keep_own_entries();
  // After distribute: every process's leaves (indices into leaf_cells()),
  // process after process, and how many each has; empty when not split.
  const std::vector<int>& share_leaves() const;
  std::vector<int> share_leaf_counts() const;
  bool own_entries_only() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
