#include "solver/precon.hpp"

#include "common/array.hpp"
#include "solver/lu.hpp"

namespace velmora {
namespace {

// Index of U_ij in the six stored Stokeslet integrals (symmetric).
constexpr int kUIndex[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};

}  // namespace

void PRECON(const double* x_, double* z_, const PreconData& d) {
  const Tree& t = d.tree;
  const int nlev = *t.nlev;
  if (nlev < 2) return;
  const Vec<const double> x(x_);
  const Vec<double> z(z_);
  const int ld = 3 * d.maxl;
  const Mat<double> a(d.block, ld);
  const Vec<double> b(d.rhs);
  double normal[3];
  for (int lev = 2; lev <= nlev; ++lev) {
    for (int cell = t.levf(lev); cell <= t.levl(lev); ++cell) {
      if (!is_leaf(t, cell, lev, d.maxl, d.minlev) || t.fst(cell) > t.lst(cell)) continue;
      const int nl = t.lst(cell) - t.fst(cell) + 1;
      d.ltarg[0] = nl;
      for (int k = 1; k <= nl; ++k) d.ltarg[k] = t.elord(t.fst(cell) + k - 1);
      for (int l = 1; l <= nl; ++l) {
        const int es = d.ltarg[l];
        TRIINT(d.mesh, d.mu, d.snaptol, d.ltarg, d.coef, d.work, normal, es);
        for (int j = 1; j <= 3; ++j) {
          const bool traction_given = d.mesh.traction_prescribed(es, j);
          const int col = 3 * (l - 1) + j;
          for (int k = 1; k <= nl; ++k)
            for (int i = 1; i <= 3; ++i)
              a(3 * (k - 1) + i, col) = traction_given
                                            ? d.coef.t[3 * (i - 1) + (j - 1)][k - 1]
                                            : -d.coef.u[kUIndex[i - 1][j - 1]][k - 1];
        }
      }
      for (int k = 1; k <= nl; ++k)
        for (int i = 1; i <= 3; ++i) b(3 * (k - 1) + i) = x(3 * (d.ltarg[k] - 1) + i);
      int info = 0;
      lufact(d.block, ld, 3 * nl, d.ipvt, info);
      lusolv(d.block, ld, 3 * nl, d.ipvt, d.rhs, 0);
      for (int k = 1; k <= nl; ++k)
        for (int i = 1; i <= 3; ++i) z(3 * (d.ltarg[k] - 1) + i) = b(3 * (k - 1) + i);
    }
  }
}

}  // namespace velmora
