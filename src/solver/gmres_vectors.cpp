#include "solver/gmres_vectors.hpp"

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

void GmresVectors::plan_product_reads(const std::vector<int>& reads) {
  if (!local_) return;
  const int np = comm_.size(), me = comm_.rank();
  // First tree position of each process's run (runs follow one another).
  std::vector<int> first(static_cast<std::size_t>(np) + 1, 1);
  for (int r = 0; r < np; ++r) first[r + 1] = first[r] + counts_[r] / 3;
  // The positions asked of each owner, in rank order (reads ascending).
  std::vector<double> ask;
  std::vector<int> ask_counts(static_cast<std::size_t>(np), 0);
  recv_pos_.clear();
  for (int pos : reads) {
    if (pos < 1 || pos > nelem_) continue;
    const int r = static_cast<int>(std::upper_bound(first.begin(), first.end(), pos) - first.begin()) - 1;
    if (r == me) continue;
    recv_pos_.push_back(pos);
    ask.push_back(static_cast<double>(pos));  // exact: positions are far below 2^53
    ++ask_counts[r];
  }
  // How many each process asks of this one, then which.
  std::vector<double> ones(static_cast<std::size_t>(np)), asked(static_cast<std::size_t>(np));
  for (int r = 0; r < np; ++r) ones[r] = ask_counts[r];
  const std::vector<int> one(static_cast<std::size_t>(np), 1);
  comm_.alltoallv(ones.data(), one, asked.data(), one);
  std::vector<int> asked_counts(static_cast<std::size_t>(np));
  std::size_t total = 0;
  for (int r = 0; r < np; ++r) total += asked_counts[r] = static_cast<int>(asked[r]);
  std::vector<double> wanted(total);
  comm_.alltoallv(ask.data(), ask_counts, wanted.data(), asked_counts);
  send_pos_.resize(total);
  for (std::size_t i = 0; i < total; ++i) send_pos_[i] = static_cast<int>(wanted[i]);
  send_counts_.resize(static_cast<std::size_t>(np));
  recv_counts_.resize(static_cast<std::size_t>(np));
  for (int r = 0; r < np; ++r) {
    send_counts_[r] = 3 * asked_counts[r];
    recv_counts_[r] = 3 * ask_counts[r];
  }
  send_buf_.assign(3 * send_pos_.size(), 0.0);
  recv_buf_.assign(3 * recv_pos_.size(), 0.0);
  planned_ = true;
}

void GmresVectors::to_product(const double* vt, double* e) {
  if (!planned_) return to_whole(vt, e);
  for (std::size_t i = 0; i < send_pos_.size(); ++i)
    for (int k = 0; k < 3; ++k) send_buf_[3 * i + k] = vt[3 * (send_pos_[i] - 1) - offset_ + k];
  comm_.alltoallv(send_buf_.data(), send_counts_, recv_buf_.data(), recv_counts_);
  own_to_whole(vt, e);
  for (std::size_t i = 0; i < recv_pos_.size(); ++i) {
    const std::int64_t el = tree_.elord(recv_pos_[i]) - 1;
    for (int k = 0; k < 3; ++k) e[3 * el + k] = recv_buf_[3 * i + k];
  }
}

std::int64_t GmresVectors::product_entries_received() const {
  if (!local_) return 0;
  if (planned_) return static_cast<std::int64_t>(recv_buf_.size());
  return n_ - nl_;
}

std::vector<int> GmresVectors::own_elements() const {
  std::vector<int> out;
  const int lo = local_ ? offset_ / 3 + 1 : 1, hi = local_ ? (offset_ + nl_) / 3 : nelem_;
  for (int pos = lo; pos <= hi; ++pos) out.push_back(tree_.elord(pos));
  return out;
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
