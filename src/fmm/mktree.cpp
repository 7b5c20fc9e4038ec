#include "fmm/mktree.hpp"

#include <cassert>
#include <cmath>

#include "common/records.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"

namespace velmora {
namespace {

// Child centre offset signs of octants 1..8, coordinate by coordinate.
constexpr int kOffset[8][3] = {{+1, +1, +1}, {-1, +1, +1}, {-1, -1, +1}, {+1, -1, +1},
                               {+1, +1, -1}, {-1, +1, -1}, {-1, -1, -1}, {+1, -1, -1}};

// Capacity of the sort's stack of saved segments.
constexpr int kSortStack = 50;

void report_ipsort_error(int ier, const char* message) {
  units().write_error(fmt::list("Recoverable error ", ier, " in IPSORT: ", message));
}

// The quicksort of IPSORT on the permutation.  `after(a, b)` is true when key
// a belongs after key b (a > b ascending, a < b descending); the comparisons
// "IX(.) > IX(T)" and "IX(.) < IX(T)" of the ascending algorithm become
// after(IX(.), IX(T)) and after(IX(T), IX(.)).
template <class After>
void quicksort_permutation(const int* ix, int n, int* iperm, After after) {
  auto perm = [iperm](int pos) -> int& { return iperm[pos - 1]; };
  auto key = [ix](int index) { return ix[index - 1]; };
  for (int i = 1; i <= n; ++i) perm(i) = i;
  if (n == 1) return;

  // The pivot fraction starts at 0.375 and is raised once by 0.0390625; it
  // is a single-precision value and the product below is formed in single
  // precision.
  const float rf = 0.375f + 0.0390625f;
  int il[kSortStack], iu[kSortStack];
  int saved = 0;
  int i = 1, j = n;
  for (;;) {
    while (j > i) {
      // Median of three: the entries at I, IJ and J, the middle one as pivot.
      int k = i;
      const int ij = i + static_cast<int>(static_cast<float>(j - i) * rf);
      int t = perm(ij);
      if (after(key(perm(i)), key(t))) {
        perm(ij) = perm(i);
        perm(i) = t;
        t = perm(ij);
      }
      int l = j;
      if (after(key(t), key(perm(j)))) {
        perm(ij) = perm(j);
        perm(j) = t;
        t = perm(ij);
        if (after(key(perm(i)), key(t))) {
          perm(ij) = perm(i);
          perm(i) = t;
          t = perm(ij);
        }
      }
      const int pivot = key(t);
      // Exchange out-of-place pairs from both ends.
      for (;;) {
        do --l;
        while (after(key(perm(l)), pivot));
        do ++k;
        while (after(pivot, key(perm(k))));
        if (k > l) break;
        const int s = perm(l);
        perm(l) = perm(k);
        perm(k) = s;
      }
      // Save the larger part, continue with the smaller.
      if (saved == kSortStack) {
        units().write_console(fmt::list("In ipsort,imax is too small."));
        throw StopRun("In ipsort,imax is too small.");
      }
      if (l - i > j - k) {
        il[saved] = i;
        iu[saved] = l;
        i = k;
      } else {
        il[saved] = k;
        iu[saved] = j;
        j = l;
      }
      ++saved;
    }
    if (saved == 0) return;
    --saved;
    i = il[saved];
    j = iu[saved];
  }
}

}  // namespace

int ibrnch(const double p[3], const double c[3]) {
  const int base = p[2] < c[2] ? 4 : 0;
  if (p[0] >= c[0] && p[1] >= c[1]) return base + 1;
  if (p[0] < c[0] && p[1] > c[1]) return base + 2;
  if (p[0] <= c[0] && p[1] <= c[1]) return base + 3;
  if (p[0] > c[0] && p[1] < c[1]) return base + 4;
  fatal_stop(fmt::list("# stop in ibrnch"));
}

int octant_sign(int l, int k) {
  return kOffset[l - 1][k - 1];
}

void IPSORT(int* ix, int n, int* iperm, int kflag, int& ier) {
  ier = 0;
  if (n < 1) {
    ier = 1;
    report_ipsort_error(ier, "The number of values to be sorted, N, is not positive.");
    return;
  }
  if (kflag != 2 && kflag != 1 && kflag != -1 && kflag != -2) {
    ier = 2;
    report_ipsort_error(ier, "The sort control parameter, KFLAG, is not 2, 1, -1, or -2.");
    return;
  }
  // Descending order compares the other way round (no negation of the keys,
  // which would overflow for the most negative integer).
  if (kflag > 0)
    quicksort_permutation(ix, n, iperm, [](int a, int b) { return a > b; });
  else
    quicksort_permutation(ix, n, iperm, [](int a, int b) { return a < b; });

  if (kflag == 2 || kflag == -2) {
    // Rearrange ix in place: new ix(k) = old ix(iperm(k)), cycle by cycle,
    // marking the visited entries of iperm by their sign.
    for (int start = 1; start <= n; ++start) {
      if (iperm[start - 1] < 0) continue;
      const int first = ix[start - 1];
      int k = start;
      for (;;) {
        const int next = iperm[k - 1];
        iperm[k - 1] = -next;
        if (next == start) {
          ix[k - 1] = first;
          break;
        }
        ix[k - 1] = ix[next - 1];
        k = next;
      }
    }
    for (int k = 0; k < n; ++k) iperm[k] = -iperm[k];
  }
}

double root_cube(int nnode, const double* xnode, double cubfac, double centre[3]) {
  const long nn = nnode;
  double cmax[3], cmin[3];
  for (int k = 0; k < 3; ++k) {
    cmax[k] = -1e200;
    cmin[k] = 1e200;
    for (long i = 0; i < nn; ++i) {
      const double v = xnode[i + k * nn];
      if (v > cmax[k]) cmax[k] = v;
      if (v < cmin[k]) cmin[k] = v;
    }
    centre[k] = (cmax[k] + cmin[k]) / 2.0;
  }
  double extent = cmax[0] - cmin[0];
  if (cmax[1] - cmin[1] > extent) extent = cmax[1] - cmin[1];
  if (cmax[2] - cmin[2] > extent) extent = cmax[2] - cmin[2];
  return extent * cubfac;
}

void MKTREE(int maxdep, int minlev, int maxcel, int maxl, int nelem, int nnode, const Tree& tree,
            const double* xnode, const double* xcol, double cubfac, int* ioct, int* iperm,
            const std::function<void()>& before_size_stop) {
  assert(tree.maxcel == maxcel && tree.maxdep == maxdep);
  const Tree& t = tree;
  const long ne = nelem;

  // 1. Root cube over the bounding box of all nodes.
  double centre[3];
  const double root = root_cube(nnode, xnode, cubfac, centre);

  // 2. The root cell holds every element.
  for (int i = 1; i <= nelem; ++i) t.elord(i) = i;
  *t.nlev = 0;
  t.fst(1) = 1;
  t.lst(1) = nelem;
  for (int k = 1; k <= 3; ++k) t.cen(1, k) = centre[k - 1];
  t.parent(1) = 0;
  // A cell's child entries are cleared when it is created, so that a leaf
  // reads as having no children.
  for (int oct = 1; oct <= 8; ++oct) t.child(1, oct) = 0;
  t.ncell() = 1;
  t.levf(0) = 1;
  t.levl(0) = 1;

  // 3. Level by level.
  for (int lev = 0; lev <= maxdep; ++lev) {
    t.size(lev) = root / std::ldexp(1.0, lev);
    if (t.levl(lev) < t.levf(lev)) break;
    bool split_any = false;
    const int first_cell = t.levf(lev), last_cell = t.levl(lev);
    for (int u = first_cell; u <= last_cell; ++u) {
      if (!(t.lst(u) - t.fst(u) >= maxl || lev < minlev)) continue;
      split_any = true;
      const int f = t.fst(u), l = t.lst(u);
      const int n = l - f + 1;
      const double cu[3] = {t.cen(u, 1), t.cen(u, 2), t.cen(u, 3)};

      // 4. Octant numbers of the cell's elements in their current order.
      for (int k = 1; k <= n; ++k) {
        const long e = t.elord(f - 1 + k) - 1;
        const double pt[3] = {xcol[e], xcol[e + ne], xcol[e + 2 * ne]};
        ioct[k - 1] = ibrnch(pt, cu);
      }
      // 5. Sort the run by octant; the reordered run is gathered in ioct.
      int ier = 0;
      IPSORT(ioct, n, iperm, 1, ier);
      for (int k = 1; k <= n; ++k) ioct[k - 1] = t.elord(f - 1 + iperm[k - 1]);
      for (int k = 1; k <= n; ++k) t.elord(f - 1 + k) = ioct[k - 1];

      // 6. Count per octant; walking down leaves each octant's first position
      //    at the lowest position of its run.
      int count[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      int firstpos[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      for (int k = l; k >= f; --k) {
        const long e = t.elord(k) - 1;
        const double pt[3] = {xcol[e], xcol[e + ne], xcol[e + 2 * ne]};
        const int oct = ibrnch(pt, cu);
        ++count[oct - 1];
        firstpos[oct - 1] = k;
      }

      // 7. One child per non-empty octant.
      const double quarter = t.size(lev) * 0.25;
      for (int oct = 1; oct <= 8; ++oct) {
        if (count[oct - 1] == 0) {
          t.child(u, oct) = 0;
          continue;
        }
        if (lev >= maxdep) {
          if (before_size_stop) before_size_stop();
          fatal_stop(fmt::list("# maxdep is too small; stop"));
        }
        *t.nlev = lev + 1;
        t.levf(lev + 1) = t.levl(lev) + 1;
        ++t.ncell();
        t.levl(lev + 1) = t.ncell();
        if (t.ncell() > maxcel) {
          if (before_size_stop) before_size_stop();
          fatal_stop(fmt::list("# maxcel is too small; stop"));
        }
        const int q = t.ncell();
        t.child(u, oct) = q;
        t.parent(q) = u;
        for (int o = 1; o <= 8; ++o) t.child(q, o) = 0;
        t.fst(q) = firstpos[oct - 1];
        t.lst(q) = firstpos[oct - 1] + count[oct - 1] - 1;
        for (int k = 1; k <= 3; ++k) t.cen(q, k) = cu[k - 1] + quarter * kOffset[oct - 1][k - 1];
      }
    }
    if (!split_any) break;
  }

  // 8. Report.
  const std::string levels = fmt::list("Number of tree levels                =", *t.nlev);
  const std::string cells = fmt::list("Number of cells in tree structure    =", t.ncell());
  units().write_console(levels);
  units().write(6, levels);
  units().write_console(cells);
  units().write(6, cells);
  units().write_console(fmt::list());
  units().write(6, fmt::list());
}

}  // namespace velmora
