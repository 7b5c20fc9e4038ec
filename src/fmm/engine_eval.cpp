#include "fmm/engine_impl.hpp"

namespace velmora {

// DNWRD step 6 at leaf b from the orders m >= 0: the terms of orders -m and
// m have the same real part, so
//   y_i += kappa sum_n [ Re z(n,0) + 2 sum_{m>0} Re z(n,m) ],
//   z(n,m) = L_i R(n,m) + d_i R(n,m) (L_4 - xhat . L_(1..3)),
// with the weights 1 and 2 put into a padded copy of the expansion.
void FmmEngine::Impl::evaluate(int b, double* y, ThreadScratch& s) const {
  const PointKernels& k = *pk;
  const int ps = k.size();
  const double kappa = 1.0 / (kEightPi * par.mu);
  double* lr[4];
  double* li[4];
  for (int j = 0; j < 4; ++j) {
    lr[j] = s.pad.data() + static_cast<std::size_t>(j) * ps;
    li[j] = s.pad.data() + static_cast<std::size_t>(4 + j) * ps;
  }
  std::fill(s.pad.begin(), s.pad.end(), 0.0);
  const double* l = loc_cell(b);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const double* e8 = l + 8 * hidx(n, m);
      const double wt = m == 0 ? 1.0 : 2.0;
      const int i = k.index(n, m);
      for (int j = 0; j < 4; ++j) {
        lr[j][i] = wt * e8[j];
        li[j][i] = wt * e8[4 + j];
      }
    }
  const double* const clr[4] = {lr[0], lr[1], lr[2], lr[3]};
  const double* const cli[4] = {li[0], li[1], li[2], li[3]};
  for (int pos = tree.fst(b); pos <= tree.lst(b); ++pos) {
    const int g = tree.elord(pos);
    const double xh[3] = {mesh.col(g, 1) - tree.cen(b, 1), mesh.col(g, 2) - tree.cen(b, 2),
                          mesh.col(g, 3) - tree.cen(b, 3)};
    k.harmonics(xh[0], xh[1], xh[2], s.hre.data(), s.him.data());
    double sum[3];
    k.evaluate(s.hre.data(), s.him.data(), xh, clr, cli, sum);
    for (int i = 0; i < 3; ++i) y[3 * static_cast<std::int64_t>(g - 1) + i] += kappa * sum[i];
  }
}

}  // namespace velmora
