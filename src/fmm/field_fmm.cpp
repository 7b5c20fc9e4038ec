#include "fmm/field_fmm.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "bem/gauss.hpp"
#include "common/constants.hpp"
#include "common/process_memory.hpp"
#include "fmm/engine.hpp"
#include "fmm/field_tree.hpp"
#include "fmm/owned_tree.hpp"
#include "fmm/partition.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"
#include "fmm/point_kernels.hpp"

namespace velmora {
namespace {

// Half layout: entry (n, m), 0 <= m <= n, at 8 (n(n+1)/2 + m) doubles.
inline int hidx(int n, int m) {
  return n * (n + 1) / 2 + m;
}

// The expansions of one density at one order: the solver's engine on its
// tree, which forms the moments (phases 1 and 2 of a product, and levels 0
// and 1) and the local expansions of the target cells (phases 3 and 4 on
// the targets: fmm/engine.hpp, set_field_targets), half layout.
struct Expansions {
  int p = 0;
  std::size_t hcell = 0;
  std::unique_ptr<PointKernels> pk;
  std::vector<double> engine_mom;  // the engine's moments: solver cell c at (c-1) hcell
  std::unique_ptr<FmmEngine> engine;
  std::vector<double> loc;         // target i's local expansion at i hcell
  const double* l(int target) const { return loc.data() + hcell * static_cast<std::size_t>(target); }
};

// Work of one point's two local expansions in the units of the partition
// of the target leaves (one near-field element-point pair: its velocity
// integrals, distance test and pressure quadrature).
constexpr std::int64_t kPointUnits = 20;

struct ThreadWork {
  std::vector<double> hre, him, pad, wpad;
  FieldScratch fs;
  std::vector<double> px, py, pz, vel, wind, dmin2, pres;
  std::vector<int> live;  // points of a leaf not flagged
};

// Densities of element e: the solution, or u = (1, 0, 0), t = 0 for the
// winding number.
struct Density {
  const FieldDensities* d = nullptr;  // null: the winding density
  void get(int e, double u[3], double t[3]) const {
    if (d == nullptr) {
      u[0] = 1.0;
      u[1] = u[2] = t[0] = t[1] = t[2] = 0.0;
      return;
    }
    for (int k = 0; k < 3; ++k) {
      u[k] = d->u[3 * static_cast<std::size_t>(e - 1) + k];
      t[k] = d->t[3 * static_cast<std::size_t>(e - 1) + k];
    }
  }
};

// Runs `body(i, work)` for i = 0..n-1 over the threads.
template <class F>
void parallel_for(int n, std::vector<ThreadWork>& work, F&& body) {
  if (n <= 0) return;
#pragma omp parallel num_threads(static_cast<int>(work.size()))
  {
    ThreadWork& w = work[omp_get_thread_num()];
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < n; ++i) body(i, w);
  }
}

// The target cells of a field tree as the engine takes them: every cell
// with points (in cell order: levels ascending, siblings together), with
// its interaction list of the solver's cells.  target[c] is cell c's
// number among them, or -1.
struct TargetMap {
  std::vector<int> target, cell;
  FmmEngine::FieldTargets engine;
};

TargetMap target_map(const FieldTree& t) {
  TargetMap m;
  m.target.assign(t.cells.size(), -1);
  for (std::size_t c = 0; c < t.cells.size(); ++c)
    if (t.cells[c].te > t.cells[c].tb) {
      m.target[c] = static_cast<int>(m.cell.size());
      m.cell.push_back(static_cast<int>(c));
    }
  FmmEngine::FieldTargets& e = m.engine;
  e.inter_ptr.push_back(0);
  for (int c : m.cell) {
    const FieldCell& b = t.cells[c];
    e.cen.insert(e.cen.end(), b.cen, b.cen + 3);
    e.level.push_back(b.level);
    e.parent.push_back(b.parent >= 0 ? m.target[b.parent] : -1);
    for (int f : t.inter[c]) e.inter_list.push_back(t.cells[f].src);
    e.inter_ptr.push_back(static_cast<int>(e.inter_list.size()));
  }
  return m;
}

// The expansions of order p: the engine of moments on the solver's tree,
// with the targets, and room for their local expansions.
void prepare(Expansions& x, int p, const MeshView& mesh, const Tree& src, const FieldParams& par,
             const double* gpt, const double* gwt, const TargetMap& tm) {
  x.p = p;
  x.hcell = 4 * static_cast<std::size_t>(p + 1) * (p + 2);
  EngineParams ep;
  ep.mu = par.mu;
  ep.snaptol = par.snaptol;
  ep.minlev = par.minlev;
  ep.maxl = par.maxl;
  ep.p = p;
  ep.ngauss = par.ngauss;
  ep.gwt = gwt;
  ep.gpt = gpt;
  // The solver's trade: translations over the longer offsets at lower
  // orders, chosen as the product chooses them.
  ep.trades.m2l_order_by_distance = par.m2l_order_by_distance;
  ep.trades.m2l_order = par.m2l_order;
  x.engine_mom.assign(x.hcell * static_cast<std::size_t>(src.ncell()), 0.0);
  x.engine = std::make_unique<FmmEngine>(mesh, src, ep, reinterpret_cast<Complex*>(x.engine_mom.data()),
                                         nullptr, Translations::Rotation, EngineUse::Moments);
  x.engine->set_field_targets(tm.engine);
  x.pk = std::make_unique<PointKernels>(p);
  x.loc.assign(x.hcell * tm.cell.size(), 0.0);
}

// The moments of the densities (in the layout of element_densities' mode
// 2: u then t) and the local expansions of the active targets.
void expand(const MeshView& mesh, const Density& den, Expansions& x, const std::vector<char>& active,
            FieldStats* st) {
  const int ne = mesh.nelem;
  double t0 = omp_get_wtime();
  {
    std::vector<double> ut(6 * static_cast<std::size_t>(ne));
    for (int e = 1; e <= ne; ++e)
      den.get(e, &ut[3 * static_cast<std::size_t>(e - 1)], &ut[3 * static_cast<std::size_t>(ne + e - 1)]);
    x.engine->form_moments(2, ut.data());
  }
  double t1 = omp_get_wtime();
  x.engine->field_locals(active, x.loc.data());
  double t2 = omp_get_wtime();
  if (st != nullptr) {
    st->t_moments += t1 - t0;
    st->t_local += t2 - t1;
  }
}

// The local expansion of target i as padded weighted arrays (weights 1 for
// m = 0, 2 for m > 0) in pad: lr[j] at j size, li[j] at (4 + j) size.
void weighted_local(const Expansions& x, int target, std::vector<double>& pad) {
  const PointKernels& k = *x.pk;
  const int ps = k.size();
  pad.assign(8 * static_cast<std::size_t>(ps), 0.0);
  const double* l = x.l(target);
  for (int n = 0; n <= x.p; ++n)
    for (int m = 0; m <= n; ++m) {
      const double* e8 = l + 8 * hidx(n, m);
      const double wt = m == 0 ? 1.0 : 2.0;
      const int i = k.index(n, m);
      for (int j = 0; j < 4; ++j) {
        pad[static_cast<std::size_t>(j) * ps + i] = wt * e8[j];
        pad[static_cast<std::size_t>(4 + j) * ps + i] = wt * e8[4 + j];
      }
    }
}

// y at xh from the weighted local expansion in pad (sum without kappa), and
// with `div` the sum div phi = sum Re[L_j dR/dx_j].
void local_at(const PointKernels& k, int p, const std::vector<double>& pad, const double xh[3],
              double* hre, double* him, double out[3], double* div) {
  const int ps = k.size(), S = k.stride();
  const double* lr[4];
  const double* li[4];
  for (int j = 0; j < 4; ++j) {
    lr[j] = pad.data() + static_cast<std::size_t>(j) * ps;
    li[j] = pad.data() + static_cast<std::size_t>(4 + j) * ps;
  }
  k.harmonics(xh[0], xh[1], xh[2], hre, him);
  k.evaluate(hre, him, xh, lr, li, out);
  if (div == nullptr) return;
  double s = 0.0;
  for (int n = 1; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const int i = k.index(n, m);
      const double am_re = hre[i - S - 1], am_im = him[i - S - 1];
      const double ap_re = hre[i - S + 1], ap_im = him[i - S + 1];
      const double dx_re = 0.5 * (am_re - ap_re), dx_im = 0.5 * (am_im - ap_im);
      const double dy_re = -0.5 * (am_im + ap_im), dy_im = 0.5 * (am_re + ap_re);
      const double dz_re = hre[i - S], dz_im = him[i - S];
      s += lr[0][i] * dx_re - li[0][i] * dx_im;
      s += lr[1][i] * dy_re - li[1][i] * dy_im;
      s += lr[2][i] * dz_re - li[2][i] * dz_im;
    }
  *div = s;
}

}  // namespace

void field_fast(const MeshView& mesh, const FieldParams& par, const FieldDensities& d, int n,
                const double* xyz, double* vel, double* pres, int* inside,
                const std::function<void(std::int64_t, std::int64_t)>& progress,
                FieldStats* stats, const Comm* comm) {
  double t0 = omp_get_wtime();
  const double fluid_w = fluid_winding(mesh);
  // The solver's tree of the elements, and the target cells on its grid.
  const OwnedTree owned(par.maxdep, par.minlev, par.maxcel, par.maxl, mesh.nelem, mesh.nnode, mesh.xnode,
                        mesh.xcol, par.cubfac);
  const Tree& src = owned.tree();
  const FieldTree t =
      build_field_tree(src, par.maxl, par.minlev, mesh.nelem, n, xyz, par.maxp, par.maxdep);
  FieldStats st;
  st.t_tree = omp_get_wtime() - t0;
  st.cells = static_cast<int>(t.cells.size());
  st.levels = t.nlev() + 1;

  double gpt[48], gwt[16];
  gauss_rule(par.ngauss, gpt, gwt);
  const TargetMap tm = target_map(t);
  Expansions ex, wx;
  prepare(ex, par.p, mesh, src, par, gpt, gwt, tm);
  const int pw = std::min(par.p, par.winding_p);
  prepare(wx, pw, mesh, src, par, gpt, gwt, tm);
  const int nth = std::max(1, omp_get_max_threads());
  std::vector<ThreadWork> work(nth);
  for (ThreadWork& w : work) {
    w.hre.resize(ex.pk->size());
    w.him.resize(ex.pk->size());
  }
  // Whether a target cell's local expansion holds a term: an interaction
  // list of its own or of an ancestor.
  std::vector<char> has_local(t.cells.size(), 0);
  for (std::size_t c = 0; c < t.cells.size(); ++c)
    has_local[c] = (!t.inter[c].empty() || (t.cells[c].parent >= 0 && has_local[t.cells[c].parent])) ? 1 : 0;
  // The target leaves in the order of their points (the tree's order of
  // the points: a space-filling curve), cut among the processes by their
  // work: each point's element pairs of the near field, plus kPointUnits
  // for its two local expansions.  Each process forms the local expansions
  // of the cells above its own leaves and evaluates its points.
  std::vector<int> leaves;
  for (std::size_t c = 0; c < t.cells.size(); ++c)
    if (t.cells[c].target_leaf()) leaves.push_back(static_cast<int>(c));
  std::sort(leaves.begin(), leaves.end(),
            [&](int a, int b) { return t.cells[a].tb < t.cells[b].tb; });
  st.target_leaves = static_cast<int>(leaves.size());
  const int nranks = comm != nullptr ? comm->size() : 1, me = comm != nullptr ? comm->rank() : 0;
  LeafPartition part;
  {
    std::vector<FmmEngine::LeafWork> lw;
    for (int c : leaves) {
      std::int64_t near = 0;
      for (int a = c; a >= 0; a = t.cells[a].parent)
        for (int q : t.coarse[a]) near += t.cells[q].se - t.cells[q].sb;
      for (int q : t.neigh[c]) near += t.cells[q].se - t.cells[q].sb;
      const std::int64_t np = t.cells[c].te - t.cells[c].tb;
      lw.push_back({t.cells[c].tb + 1, t.cells[c].te, np * (near + kPointUnits)});
    }
    part = partition_leaves(lw, nranks);
  }
  st.ranks = nranks;
  st.imbalance = part.imbalance();
  const int leaf_begin = part.leaf_begin[me], leaf_end = part.leaf_end[me];
  std::vector<char> needed(t.cells.size(), 0);
  for (int i = leaf_begin; i < leaf_end; ++i)
    for (int a = leaves[i]; a >= 0 && !needed[a]; a = t.cells[a].parent) needed[a] = 1;
  std::vector<char> active(tm.cell.size(), 0);
  for (std::size_t i = 0; i < tm.cell.size(); ++i) active[i] = needed[tm.cell[i]];
  const Density sol{&d}, winding{nullptr};
  expand(mesh, sol, ex, active, &st);
  expand(mesh, winding, wx, active, &st);
  for (std::size_t c = 0; c < t.cells.size(); ++c)
    if (needed[c]) st.m2l += static_cast<std::int64_t>(t.inter[c].size());

  // Evaluation at the target leaves, in blocks of about a twentieth of the
  // points between progress reports.
  t0 = omp_get_wtime();
  const double kappa = 1.0 / (kEightPi * par.mu);
  const double snap2 = par.snaptol * par.snaptol;
  std::vector<std::int64_t> pairs(leaves.size(), 0);
  auto leaf_eval = [&](int li, ThreadWork& w) {
    const int c = leaves[li];
    const FieldCell& b = t.cells[c];
    const int np = b.te - b.tb;
    w.px.resize(np);
    w.py.resize(np);
    w.pz.resize(np);
    w.vel.assign(3 * static_cast<std::size_t>(np), 0.0);
    w.wind.assign(np, 0.0);
    w.dmin2.assign(np, INFINITY);
    w.pres.assign(np, 0.0);
    for (int k = 0; k < np; ++k) {
      const double* x = xyz + 3 * static_cast<std::size_t>(t.points[b.tb + k]);
      w.px[k] = x[0];
      w.py[k] = x[1];
      w.pz[k] = x[2];
    }
    // Far field: the local expansions (velocity -y, pressure div phi / 4 pi,
    // winding number y_1 of the winding density).
    const bool far_ex = has_local[c] != 0, far_wx = far_ex;
    if (far_ex) weighted_local(ex, tm.target[c], w.pad);
    if (far_wx) weighted_local(wx, tm.target[c], w.wpad);
    for (int k = 0; k < np && (far_ex || far_wx); ++k) {
      const double xh[3] = {w.px[k] - b.cen[0], w.py[k] - b.cen[1], w.pz[k] - b.cen[2]};
      double out[3], div = 0.0;
      if (far_ex) {
        local_at(*ex.pk, ex.p, w.pad, xh, w.hre.data(), w.him.data(), out, &div);
        for (int i = 0; i < 3; ++i) w.vel[3 * k + i] = -(kappa * out[i]);
        w.pres[k] = div / (4.0 * kPi);
      }
      if (far_wx) {
        local_at(*wx.pk, wx.p, w.wpad, xh, w.hre.data(), w.him.data(), out, nullptr);
        w.wind[k] = kappa * out[0];
      }
    }
    // Near field: the coarse lists of the leaf and its ancestors, then the
    // subtrees of its neighbours, element by element.
    std::vector<int> near;
    for (int a = c; a >= 0; a = t.cells[a].parent)
      for (int q : t.coarse[a]) near.push_back(q);
    for (int q : t.neigh[c]) near.push_back(q);
    std::int64_t npairs = 0;
    for (int q : near) {
      const FieldCell& s = t.cells[q];
      for (int pos = s.sb; pos < s.se; ++pos) {
        const int e = t.elems[pos];
        double u[3], tr[3];
        sol.get(e, u, tr);
        for (int k0 = 0; k0 < np; k0 += kFieldChunk) {
          const int nb = std::min(kFieldChunk, np - k0);
          element_velocity_add(mesh, par.mu, par.snaptol, e, u, tr, nb, &w.px[k0], &w.py[k0],
                               &w.pz[k0], w.fs, &w.vel[3 * static_cast<std::size_t>(k0)],
                               &w.wind[k0]);
        }
        element_distance2_min(mesh, e, np, w.px.data(), w.py.data(), w.pz.data(), snap2,
                              w.dmin2.data());
        npairs += np;
      }
    }
    w.live.clear();
    for (int k = 0; k < np; ++k) {
      const int g = t.points[b.tb + k];
      const bool in = outside_fluid(w.wind[k], fluid_w) || w.dmin2[k] <= snap2;
      inside[g] = in ? 1 : 0;
      if (!in) w.live.push_back(k);
    }
    for (int q : near) {
      const FieldCell& s = t.cells[q];
      for (int pos = s.sb; pos < s.se; ++pos) {
        const int e = t.elems[pos];
        double u[3], tr[3];
        sol.get(e, u, tr);
        element_pressure_add(mesh, par.mu, e, u, tr, static_cast<int>(w.live.size()),
                             w.live.data(), w.px.data(), w.py.data(), w.pz.data(),
                             w.pres.data());
      }
    }
    for (int k = 0; k < np; ++k) {
      const int g = t.points[b.tb + k];
      const bool in = inside[g] != 0;
      double* v = vel + 3 * static_cast<std::size_t>(g);
      for (int i = 0; i < 3; ++i) v[i] = in ? 0.0 : w.vel[3 * k + i];
      pres[g] = in ? 0.0 : w.pres[k];
    }
    pairs[li] = npairs;
  };
  // This process's points (positions first..last of the tree's order,
  // 1-based); with several processes the progress counts them, scaled to
  // all the points.
  const std::int64_t own = part.last[me] - part.first[me] + 1;
  const std::int64_t total = n;
  std::int64_t done = 0;
  const std::int64_t block = std::max<std::int64_t>(1, own / 20);
  for (int a = leaf_begin; a < leaf_end;) {
    int b = a;
    std::int64_t pts = 0;
    while (b < leaf_end && (pts < block || b == a)) {
      pts += t.cells[leaves[b]].te - t.cells[leaves[b]].tb;
      ++b;
    }
    parallel_for(b - a, work, [&](int i, ThreadWork& w) { leaf_eval(a + i, w); });
    done += pts;
    if (progress) progress(own == total ? done : done * total / std::max<std::int64_t>(own, 1), total);
    a = b;
  }
  if (own == 0 && progress) progress(total, total);
  for (std::int64_t v : pairs) st.near_pairs += v;
  st.t_eval = omp_get_wtime() - t0;

  // Every process's points to all: per position of the tree's order the
  // velocity, pressure and inside flag (copies of the values: the same bits
  // as one process).
  if (nranks > 1) {
    t0 = omp_get_wtime();
    const std::int64_t sent0 = comm->bytes_sent(), msgs0 = comm->messages_sent();
    std::vector<int> counts(nranks);
    for (int r = 0; r < nranks; ++r)
      counts[r] = 5 * std::max(0, part.last[r] - part.first[r] + 1);
    std::vector<double> mine(static_cast<std::size_t>(counts[me])), all(5 * static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < own; ++i) {
      const int g = t.points[part.first[me] - 1 + i];
      double* m = &mine[5 * static_cast<std::size_t>(i)];
      for (int k = 0; k < 3; ++k) m[k] = vel[3 * static_cast<std::size_t>(g) + k];
      m[3] = pres[g];
      m[4] = inside[g];
    }
    comm->allgatherv(mine.data(), counts, all.data());
    std::size_t at = 0;
    for (int r = 0; r < nranks; ++r)
      for (int pos = part.first[r]; pos <= part.last[r]; ++pos, at += 5) {
        const int g = t.points[pos - 1];
        for (int k = 0; k < 3; ++k) vel[3 * static_cast<std::size_t>(g) + k] = all[at + k];
        pres[g] = all[at + 3];
        inside[g] = all[at + 4] != 0.0 ? 1 : 0;
      }
    st.t_exchange = omp_get_wtime() - t0;
    st.bytes_sent = comm->bytes_sent() - sent0;
    // Every process's figures to all (their own exchange above included).
    std::int64_t total_work = 0;
    for (std::int64_t w : part.work) total_work += w;
    const double row[10] = {static_cast<double>(leaf_end - leaf_begin),
                            static_cast<double>(own),
                            static_cast<double>(st.near_pairs),
                            static_cast<double>(st.bytes_sent),
                            static_cast<double>(comm->messages_sent() - msgs0),
                            total_work > 0 ? static_cast<double>(part.work[me]) / total_work : 0.0,
                            st.t_local,
                            st.t_eval,
                            st.t_exchange,
                            static_cast<double>(peak_resident_bytes())};
    std::vector<double> rows(10 * static_cast<std::size_t>(nranks));
    comm->allgatherv(row, std::vector<int>(nranks, 10), rows.data());
    for (int r = 0; r < nranks; ++r) {
      const double* q = &rows[10 * static_cast<std::size_t>(r)];
      FieldStats::Rank k;
      k.leaves = static_cast<std::int64_t>(q[0]);
      k.points = static_cast<std::int64_t>(q[1]);
      k.near_pairs = static_cast<std::int64_t>(q[2]);
      k.bytes_sent = static_cast<std::int64_t>(q[3]);
      k.messages = static_cast<std::int64_t>(q[4]);
      k.work_share = q[5];
      k.t_local = q[6];
      k.t_eval = q[7];
      k.t_exchange = q[8];
      k.peak_bytes = q[9];
      st.per_rank.push_back(k);
    }
  }
  if (stats != nullptr) *stats = st;
}

}  // namespace velmora
