#include "fmm/engine_impl.hpp"

#include <limits>

// Owner-computes moments for a run of several processes (own_moments).
//
// A cell is owned by the process whose run of tree positions holds all its
// elements; the few cells whose elements span several runs (the ancestors
// of the cuts) and the cells without elements are shared.  Each process
// forms the leaf moments and the moment-to-moment sums of the cells it
// owns; then, in one exchange, receives from their owners the moments of
// the cells it reads that others own (the sources of its multipole-to-local
// entries, and the children of the shared cells); and forms the shared
// cells' moments itself, deepest first.  Every moment is thus formed by the
// operations of the one-process product (a leaf's from its elements, a
// parent's from its children in increasing cell order), and the exchange
// copies bits.
//
// Every process knows the whole tree and every run, so each works out what
// it sends and receives without asking: a multipole-to-local group (or a
// target cell of the direct kernels) is active on the processes whose runs
// its targets meet, a contiguous range of ranks.

namespace velmora {

namespace {

// The non-empty runs of tree positions, in rank order (they follow one
// another along the positions).
struct Runs {
  std::vector<int> rank, first, last;
  Runs(const std::vector<int>& f, const std::vector<int>& l) {
    for (int r = 0; r < static_cast<int>(f.size()); ++r)
      if (l[r] >= f[r]) rank.push_back(r), first.push_back(f[r]), last.push_back(l[r]);
  }
  int count() const { return static_cast<int>(rank.size()); }
  // The indices of the first and last run that meet positions [a, b]
  // (a <= b); lo > hi when none does.
  std::pair<int, int> meeting(int a, int b) const {
    int lo = static_cast<int>(std::upper_bound(first.begin(), first.end(), a) - first.begin()) - 1;
    if (lo < 0) lo = 0;
    if (lo < count() && last[lo] < a) ++lo;
    const int hi = static_cast<int>(std::upper_bound(first.begin(), first.end(), b) - first.begin()) - 1;
    return {lo, hi};
  }
};

void sort_unique(std::vector<int>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

void FmmEngine::Impl::plan_owned_moments(const std::vector<int>& first,
                                         const std::vector<int>& last, int me) {
  const Tree& t = tree;
  const int nlev = *t.nlev;
  const int ncell = t.ncell();
  const int p = static_cast<int>(first.size());
  const Runs runs(first, last);
  int mine = -1;  // this process's index among the runs (-1: its run is empty)
  for (int i = 0; i < runs.count(); ++i)
    if (runs.rank[i] == me) mine = i;
  // Owner of every cell (-1: shared or empty).
  std::vector<int> owner(static_cast<std::size_t>(ncell) + 1, -1);
  for (int c = 1; c <= ncell; ++c) {
    if (t.lst(c) < t.fst(c)) continue;
    const auto [lo, hi] = runs.meeting(t.fst(c), t.lst(c));
    if (lo == hi && runs.first[lo] <= t.fst(c) && t.lst(c) <= runs.last[lo]) owner[c] = runs.rank[lo];
  }
  p2m_leaves.clear();
  for (int b : leaves)
    if (owner[b] == me) p2m_leaves.push_back(b);
  m2m_own.assign(m2m_cells.size(), {});
  m2m_shared.assign(m2m_cells.size(), {});
  for (std::size_t lev = 0; lev < m2m_cells.size(); ++lev)
    for (int c : m2m_cells[lev]) {
      if (owner[c] == me) m2m_own[lev].push_back(c);
      // (A process without targets translates nothing and needs none.)
      if (owner[c] < 0 && mine >= 0) m2m_shared[lev].push_back(c);
    }

  ghost_send.assign(static_cast<std::size_t>(p), {});
  ghost_recv.assign(static_cast<std::size_t>(p), {});
  refer_cells.clear();
  // Source s is read by the processes of runs lo..hi.
  auto read_by = [&](int s, int lo, int hi) {
    if (lo > hi) return;
    if (lo <= mine && mine <= hi) {
      refer_cells.push_back(s);
      if (owner[s] >= 0 && owner[s] != me) ghost_recv[owner[s]].push_back(s);
    }
    if (owner[s] == me)
      for (int i = lo; i <= hi; ++i)
        if (runs.rank[i] != me) ghost_send[runs.rank[i]].push_back(s);
  };
  if (kernels == Translations::Rotation) {
    for (int g = 0; g + 1 < static_cast<int>(grp_first.size()); ++g) {
      int a = std::numeric_limits<int>::max(), b = std::numeric_limits<int>::min();
      for (int pos = grp_first[g]; pos < grp_first[g + 1]; ++pos) {
        const int c = m2l_cells[pos];
        if (t.lst(c) < t.fst(c)) continue;
        a = std::min(a, t.fst(c));
        b = std::max(b, t.lst(c));
      }
      if (a > b) continue;
      const auto [lo, hi] = runs.meeting(a, b);
      for (int i = grp_ptr[g]; i < grp_ptr[g + 1]; ++i) read_by(grp_entries[i].source, lo, hi);
    }
  } else {
    for (int pos = 0; pos < static_cast<int>(m2l_cells.size()); ++pos) {
      const int c = m2l_cells[pos];
      if (t.lst(c) < t.fst(c)) continue;
      const auto [lo, hi] = runs.meeting(t.fst(c), t.lst(c));
      for (int i = inter_ptr[pos]; i < inter_ptr[pos + 1]; ++i) read_by(inter_list[i], lo, hi);
    }
  }
  // The children of the shared cells: read by every process.
  for (int lev = 2; lev <= nlev - 1 && lev < static_cast<int>(m2m_shared.size()); ++lev)
    for (int c : m2m_shared[lev])
      for (int i = child_ptr[c]; i < child_ptr[c + 1]; ++i)
        read_by(child_list[i], 0, runs.count() - 1);
  for (auto& v : ghost_send) sort_unique(v);
  for (auto& v : ghost_recv) sort_unique(v);
  sort_unique(refer_cells);
  ghost_send_counts.assign(static_cast<std::size_t>(p), 0);
  ghost_recv_counts.assign(static_cast<std::size_t>(p), 0);
  std::size_t ns = 0, nr = 0;
  for (int r = 0; r < p; ++r) {
    ghost_send_counts[r] = static_cast<int>(ghost_send[r].size() * hcell);
    ghost_recv_counts[r] = static_cast<int>(ghost_recv[r].size() * hcell);
    ns += ghost_send_counts[r];
    nr += ghost_recv_counts[r];
  }
  ghost_sendbuf.assign(ns, 0.0);
  ghost_recvbuf.assign(nr, 0.0);
}

void FmmEngine::Impl::start_ghost_moments() {
  const double t0 = omp_get_wtime();
  std::size_t k = 0;
  for (const auto& cells : ghost_send)
    for (int c : cells) {
      std::copy_n(mom_cell(c), hcell, ghost_sendbuf.data() + k);
      k += hcell;
    }
  comm->start_alltoallv(ghost_sendbuf.data(), ghost_send_counts, ghost_recvbuf.data(),
                        ghost_recv_counts, ghost_request);
  ghost_seconds += omp_get_wtime() - t0;
}

void FmmEngine::Impl::progress_ghost_moments() {
  if (ghost_request.pending()) comm->test(ghost_request);
}

void FmmEngine::Impl::finish_ghost_moments() {
  const double t0 = omp_get_wtime();
  comm->wait(ghost_request);
  std::size_t k = 0;
  for (const auto& cells : ghost_recv)
    for (int c : cells) {
      std::copy_n(ghost_recvbuf.data() + k, hcell, mom_cell(c));
      k += hcell;
    }
  ghost_seconds += omp_get_wtime() - t0;
}

void FmmEngine::own_moments(const Comm& comm, const std::vector<int>& first,
                            const std::vector<int>& last) {
  Impl& d = *impl_;
  if (comm.size() == 1) return;
  d.plan_owned_moments(first, last, comm.rank());
  d.comm = &comm;
}

FmmEngine::MomentPlan FmmEngine::moment_plan(const std::vector<int>& first,
                                             const std::vector<int>& last, int me) {
  Impl& d = *impl_;
  d.plan_owned_moments(first, last, me);
  MomentPlan plan;
  plan.leaves = d.p2m_leaves;
  for (const auto& v : d.m2m_own) plan.own_cells.insert(plan.own_cells.end(), v.begin(), v.end());
  for (const auto& v : d.m2m_shared)
    plan.shared_cells.insert(plan.shared_cells.end(), v.begin(), v.end());
  plan.send = d.ghost_send;
  plan.recv = d.ghost_recv;
  return plan;
}

std::vector<int> FmmEngine::density_positions() const {
  const Impl& d = *impl_;
  const Tree& t = d.tree;
  std::vector<int> cells = d.comm ? d.p2m_leaves : d.leaves;
  for (const auto& g : d.near_groups)
    for (const NearCell& nc : g) cells.insert(cells.end(), d.near_src.begin() + nc.src_begin,
                                              d.near_src.begin() + nc.src_end);
  sort_unique(cells);
  // Cells of different levels may nest (a coarse leaf's source list holds
  // a cell above others listed): mark positions, then list them.
  std::vector<unsigned char> read(static_cast<std::size_t>(t.lst(1)) + 2, 0);
  for (int c : cells)
    for (int pos = t.fst(c); pos <= t.lst(c); ++pos) read[pos] = 1;
  std::vector<int> out;
  for (int pos = 1; pos < static_cast<int>(read.size()); ++pos)
    if (read[pos]) out.push_back(pos);
  return out;
}

double FmmEngine::ghost_exchange_seconds() const { return impl_->ghost_seconds; }

std::int64_t FmmEngine::ghost_cells_received() const {
  std::int64_t n = 0;
  for (const auto& v : impl_->ghost_recv) n += static_cast<std::int64_t>(v.size());
  return n;
}

}  // namespace velmora
