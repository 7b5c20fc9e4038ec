#include "run/gmres_vectors.hpp"

#include <algorithm>
#include <cmath>

#include "solver/block_dots.hpp"
#include "solver/gmres.hpp"

namespace velmora {

GmresVectors::GmresVectors(const Tree& tree, int nelem, int maxl, int minlev, int m,
                           double* block_work, int block_lwork, const ProductShare* share,
                           const Comm& comm)
    : tree_(tree), comm_(comm), nelem_(nelem), n_(3 * nelem), nl_(3 * nelem),
      work_(block_work), lwork_(block_lwork) {
  // The leaves' runs of entries in tree order.
  std::vector<int> firsts;
  const int nlev = *tree.nlev;
  for (int lev = 0; lev <= nlev; ++lev)
    for (int c = tree.levf(lev); c <= tree.levl(lev); ++c)
      if (is_leaf(tree, c, lev, maxl, minlev) && tree.fst(c) <= tree.lst(c))
        firsts.push_back(tree.fst(c));
  std::sort(firsts.begin(), firsts.end());
  std::vector<int> whole_runs;
  for (int f : firsts) whole_runs.push_back(3 * (f - 1));
  whole_runs.push_back(n_);
  if (whole_runs.front() != 0) whole_runs.insert(whole_runs.begin(), 0);

  // GMRES writes the results of a dots request (up to M of them) into its
  // vector w, which holds nlocal entries: a share of fewer than M entries
  // would take them into the next vectors and H, and that process's
  // iteration would leave the others' (with no elements it did at once, and
  // the run hung in its next exchange).  Each share must hold at least M.
  bool every_share_holds_m = share != nullptr;
  if (share)
    for (int r = 0; r < comm.size(); ++r)
      every_share_holds_m = every_share_holds_m &&
                            3 * (share->partition().last[r] - share->partition().first[r] + 1) >= m;
  local_ = share && share->split() && comm.distributed() && every_share_holds_m &&
           gmres_lwork_min(m, n_, 1) <= block_lwork && m <= n_;
  if (!local_) {
    runs_ = std::move(whole_runs);
    return;
  }
  const LeafPartition& part = share->partition();
  const int me = comm.rank();
  counts_.assign(static_cast<std::size_t>(comm.size()), 0);
  for (int r = 0; r < comm.size(); ++r) counts_[r] = 3 * std::max(0, part.last[r] - part.first[r] + 1);
  for (int r = 0; r < me; ++r) offset_ += counts_[r];
  nl_ = counts_[me];
  for (int f : whole_runs)
    if (f >= offset_ && f <= offset_ + nl_) runs_.push_back(f - offset_);
  if (runs_.empty() || runs_.front() != 0) runs_.insert(runs_.begin(), 0);
  if (runs_.back() != nl_) runs_.push_back(nl_);
  // (Not cleared: GMRES touches only the basis vectors it builds, as in
  // the block.)
  lwork_ = static_cast<int>(gmres_lwork_min(m, nl_, 1));
  own_work_.reset(new double[static_cast<std::size_t>(lwork_)]);
  work_ = own_work_.get();
  whole_.assign(static_cast<std::size_t>(n_), 0.0);
}

void GmresVectors::to_tree(const double* e, double* t) const {
  for (int pos = 1; pos <= nelem_; ++pos) {
    const std::int64_t el = tree_.elord(pos) - 1;
    for (int k = 0; k < 3; ++k) t[3 * (pos - 1) + k] = e[3 * el + k];
  }
}

void GmresVectors::to_elements(const double* t, double* e) const {
  for (int pos = 1; pos <= nelem_; ++pos) {
    const std::int64_t el = tree_.elord(pos) - 1;
    for (int k = 0; k < 3; ++k) e[3 * el + k] = t[3 * (pos - 1) + k];
  }
}

void GmresVectors::to_whole(const double* vt, double* e) {
  if (!local_) return to_elements(vt, e);
  comm_.allgatherv(vt, counts_, whole_.data());
  to_elements(whole_.data(), e);
}

void GmresVectors::from_whole(const double* e, double* zt) {
  if (!local_) return to_tree(e, zt);
  to_tree(e, whole_.data());
  std::copy(whole_.begin() + offset_, whole_.begin() + offset_ + nl_, zt);
}

void GmresVectors::own_to_whole(const double* vt, double* e) const {
  if (!local_) return to_elements(vt, e);
  for (int pos = offset_ / 3 + 1; pos <= (offset_ + nl_) / 3; ++pos) {
    const std::int64_t el = tree_.elord(pos) - 1;
    for (int k = 0; k < 3; ++k) e[3 * el + k] = vt[3 * (pos - 1) - offset_ + k];
  }
}

std::int64_t GmresVectors::non_finite_own(const double* e) const {
  std::int64_t bad = 0;
  for (int pos = offset_ / 3 + 1; pos <= (offset_ + nl_) / 3; ++pos) {
    const std::int64_t el = tree_.elord(pos) - 1;
    for (int k = 0; k < 3; ++k) bad += std::isfinite(e[3 * el + k]) ? 0 : 1;
  }
  return bad;
}

void GmresVectors::dots(int count, const double* V, const double* w, double* z) const {
  block_dots(nl_, count, V, nl_, w, runs_, z, local_ ? &comm_ : nullptr);
}

}  // namespace velmora
