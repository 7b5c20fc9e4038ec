#include "fmm/dnwrd.hpp"

#include <stdexcept>

#include "common/constants.hpp"
#include "fmm/direct_translate.hpp"

namespace velmora {
namespace {

void append(int* list, int& count, int capacity, int cell) {
  if (count == capacity) throw std::logic_error("cell list overflow: inconsistent tree");
  list[count++] = cell;
}

void clear_cell(Complex* cell, int p) {
  const long n = ExpanView<Complex>::cell_size(p);
  for (long i = 0; i < n; ++i) cell[i] = Complex(0.0, 0.0);
}

// Step 2: the interaction list's moments as a local expansion about B's
// centre, written over cloc(., ., ., b).  Lambda is accumulated in loc1.
void multipole_to_local(int p, const Tree& tree, int b, const CellLists& lists,
                        const ExpanView<const Complex>& cmom, const ExpanView<Complex>& cloc,
                        const FmmScratch& scratch) {
  const ExpanView<Complex> lam(scratch.loc1, p);
  clear_cell(scratch.loc1, p);
  // The harmonics scratch serves as the accumulator of the direct sum.
  double* acc = reinterpret_cast<double*>(scratch.rtab);
  for (int li = 0; li < lists.ninter; ++li) {
    const int f = lists.inter[li];
    const double xh[3] = {tree.cen(b, 1) - tree.cen(f, 1), tree.cen(b, 2) - tree.cen(f, 2),
                          tree.cen(b, 3) - tree.cen(f, 3)};
    direct_m2l_add(p, cmom.cell(f), xh, scratch.loc1, scratch.stab, scratch.mom1, acc);
  }
  for (int n = 0; n <= p; ++n) {
    for (int m = -n; m <= n; ++m) {
      for (int j = 1; j <= 4; ++j) cloc(j, m, n, b) = lam(j, m, n, 1);
    }
  }
}

// Step 3: the parent's local expansion moved to B's centre, added to cloc(b).
void local_to_local(int p, const Tree& tree, int b, const ExpanView<Complex>& cloc,
                    const FmmScratch& scratch) {
  const int par = tree.parent(b);
  const double d[3] = {tree.cen(b, 1) - tree.cen(par, 1), tree.cen(b, 2) - tree.cen(par, 2),
                       tree.cen(b, 3) - tree.cen(par, 3)};
  direct_l2l_add(p, cloc.cell(par), d, cloc.cell(b), scratch.rtab, scratch.loc1);
}

void append_elements(const Tree& tree, int cell, int* list) {
  for (int k = tree.fst(cell); k <= tree.lst(cell); ++k) list[++list[0]] = tree.elord(k);
}

// Step 5: direct integration of every source of lsrc over the targets of ltarg.
void near_field(const MeshView& mesh, double mu, double snaptol, int mode, const double* x,
                const NearField& nf, double* y) {
  const int nt = nf.ltarg[0];
  const NearCoef& c = nf.coef;
  for (int s = 1; s <= nf.lsrc[0]; ++s) {
    const int e = nf.lsrc[s];
    double normal[3];
    TRIINT(mesh, mu, snaptol, nf.ltarg, c, nf.work, normal, e);
    double u[3], t[3];
    element_densities(mesh, e, mode, x, u, t);
    for (int k = 1; k <= nt; ++k) {
      const long g = nf.ltarg[k];
      const int i = k - 1;
      add_near_terms(c, i, u, t, y + 3 * (g - 1));
    }
  }
}

// Step 6: the local expansion of leaf b at its collocation points.
void evaluate_local(const MeshView& mesh, double mu, int p, const Tree& tree, int b,
                    const ExpanView<Complex>& cloc, const FmmScratch& scratch, double* y) {
  const double kappa = 1.0 / (kEightPi * mu);
  const RegularView<const Complex> R(scratch.rtab, p);
  const GradientView<const Complex> G(scratch.gtab, p);
  for (int k = tree.fst(b); k <= tree.lst(b); ++k) {
    const int g = tree.elord(k);
    const double xh[3] = {mesh.col(g, 1) - tree.cen(b, 1), mesh.col(g, 2) - tree.cen(b, 2),
                          mesh.col(g, 3) - tree.cen(b, 3)};
    regular_harmonics(p, xh[0], xh[1], xh[2], scratch.rtab);
    regular_gradient(p, scratch.rtab, scratch.gtab);
    double sum[3] = {0.0, 0.0, 0.0};
    for (int n = 0; n <= p; ++n) {
      for (int m = -n; m <= n; ++m) {
        const Complex* l = &cloc(1, m, n, b);
        const Complex br(
            l[3].real() - xh[0] * l[0].real() - xh[1] * l[1].real() - xh[2] * l[2].real(),
            l[3].imag() - xh[0] * l[0].imag() - xh[1] * l[1].imag() - xh[2] * l[2].imag());
        const Complex& r = R(n, m);
        for (int i = 0; i < 3; ++i) {
          const Complex& gi = G(i + 1, n, m);
          const double a = l[i].real() * r.real() - l[i].imag() * r.imag();
          const double c = gi.real() * br.real() - gi.imag() * br.imag();
          sum[i] += a + c;
        }
      }
    }
    for (int i = 0; i < 3; ++i) y[3 * static_cast<long>(g - 1) + i] += kappa * sum[i];
  }
}

}  // namespace

bool cells_adjacent(const Tree& tree, int a, int b, double size) {
  const double dx = tree.cen(a, 1) - tree.cen(b, 1);
  const double dy = tree.cen(a, 2) - tree.cen(b, 2);
  const double dz = tree.cen(a, 3) - tree.cen(b, 3);
  const double lim = 1.8 * size;
  return dx * dx + dy * dy + dz * dz < lim * lim;
}

void cell_lists(const Tree& tree, int b, int lev, int minlev, int maxl, CellLists& lists) {
  lists.ninter = lists.nneigh = lists.ncoarse = 0;
  const int par = tree.parent(b);
  const double coarse_size = tree.size(lev - 1), size = tree.size(lev);
  for (int q = tree.levf(lev - 1); q <= tree.levl(lev - 1); ++q) {
    if (!cells_adjacent(tree, par, q, coarse_size)) continue;
    if (is_leaf(tree, q, lev - 1, maxl, minlev)) {
      append(lists.coarse, lists.ncoarse, CellLists::kMaxCoarse, q);
      continue;
    }
    for (int oct = 1; oct <= 8; ++oct) {
      const int c = tree.child(q, oct);
      if (c == 0) continue;
      if (cells_adjacent(tree, b, c, size))
        append(lists.neigh, lists.nneigh, CellLists::kMaxNeighbour, c);
      else
        append(lists.inter, lists.ninter, CellLists::kMaxInteraction, c);
    }
  }
}

void DNWRD(const MeshView& mesh, double mu, int minlev, int maxl, int /*maxcel*/, int p, int mode,
           const Tree& tree, const Complex* cmom_data, const double* x, double snaptol,
           Complex* cloc_data, const NearField& near, const FmmScratch& scratch, double* y,
           FmmTimers* timers) {
  const double t_start = timers ? timers->now() : 0.0;
  const int nlev = *tree.nlev;

  // Leaves on levels 0 and 1 (a tree built with minlev below 2) are outside
  // the level loop, which would leave their collocation points without any
  // contribution.  Every cell of level 1 is adjacent to every other, so all
  // elements are near to such a leaf: it takes them all directly, in ielord
  // order.  Their targets belong to no other cell, so this adds to entries
  // of y that the level loop does not touch.
  for (int lev = 0; lev <= 1 && lev <= nlev; ++lev) {
    for (int b = tree.levf(lev); b <= tree.levl(lev); ++b) {
      if (!(is_leaf(tree, b, lev, maxl, minlev) && tree.lst(b) >= tree.fst(b))) continue;
      near.ltarg[0] = 0;
      append_elements(tree, b, near.ltarg);
      near.lsrc[0] = 0;
      append_elements(tree, 1, near.lsrc);
      const double t0 = timers ? timers->now() : 0.0;
      near_field(mesh, mu, snaptol, mode, x, near, y);
      if (timers) {
        timers->near += timers->now() - t0;
        timers->near_pairs += static_cast<std::int64_t>(near.lsrc[0]) * near.ltarg[0];
      }
    }
  }
  if (nlev < 2) {
    if (timers) timers->downward += timers->now() - t_start;
    return;
  }
  const ExpanView<const Complex> cmom(cmom_data, p);
  const ExpanView<Complex> cloc(cloc_data, p);
  CellLists lists;

  for (int lev = 2; lev <= nlev; ++lev) {
    for (int b = tree.levf(lev); b <= tree.levl(lev); ++b) {
      const bool leaf = is_leaf(tree, b, lev, maxl, minlev);
      const bool has_elements = tree.lst(b) >= tree.fst(b);

      // 1. Cell lists.
      cell_lists(tree, b, lev, minlev, maxl, lists);

      // 2. Multipole-to-local.
      if (timers) {
        const double t0 = timers->now();
        multipole_to_local(p, tree, b, lists, cmom, cloc, scratch);
        timers->m2l += timers->now() - t0;
        timers->m2l_pairs += lists.ninter;
      } else {
        multipole_to_local(p, tree, b, lists, cmom, cloc, scratch);
      }

      // 3. Local-to-local.
      if (lev >= 3) local_to_local(p, tree, b, cloc, scratch);

      // 4. Near-field lists.
      near.ltarg[0] = 0;
      append_elements(tree, b, near.ltarg);
      near.lsrc[0] = 0;
      for (int i = 0; i < lists.ncoarse; ++i) append_elements(tree, lists.coarse[i], near.lsrc);
      if (leaf && lists.nneigh > 0)
        for (int i = 0; i < lists.nneigh; ++i) append_elements(tree, lists.neigh[i], near.lsrc);

      // 5. Near field.
      if (near.lsrc[0] > 0) {
        if (timers) {
          const double t0 = timers->now();
          near_field(mesh, mu, snaptol, mode, x, near, y);
          timers->near += timers->now() - t0;
          timers->near_pairs += static_cast<std::int64_t>(near.lsrc[0]) * near.ltarg[0];
        } else {
          near_field(mesh, mu, snaptol, mode, x, near, y);
        }
      }

      // 6. Evaluation at the leaf's collocation points.
      if (leaf && has_elements) evaluate_local(mesh, mu, p, tree, b, cloc, scratch, y);
    }
  }
  if (timers) timers->downward += timers->now() - t_start;
}

}  // namespace velmora
