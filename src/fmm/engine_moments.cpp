#include "fmm/engine_impl.hpp"

namespace velmora {

// The moments of leaf b (UPWRD step 1), orders m >= 0, accumulated over
// the Gauss points of its elements in padded arrays and then stored in the
// half layout.  Per point, with W = gwt(q) area:
//   X_j += (W mu u_j) n.grad R + (W mu n_j) u.grad R - (W t_j) R,   j = 1..3,
//   X_4 += (W mu yhat.u) n.grad R + (W mu n.yhat) u.grad R - (W yhat.t) R;
// an element without velocity (u = 0) adds only the R terms.
void FmmEngine::Impl::leaf_moments(int b, int mode, const double* x, ThreadScratch& s) const {
  const PointKernels& k = *pk;
  const int ps = k.size();
  double* xr[4];
  double* xi[4];
  for (int j = 0; j < 4; ++j) {
    xr[j] = s.pad.data() + static_cast<std::size_t>(j) * ps;
    xi[j] = s.pad.data() + static_cast<std::size_t>(4 + j) * ps;
  }
  std::fill(s.pad.begin(), s.pad.end(), 0.0);
  const double mu = par.mu;
  const double c[3] = {tree.cen(b, 1), tree.cen(b, 2), tree.cen(b, 3)};
  bool lanes_used = false;
  for (int pos = tree.fst(b); pos <= tree.lst(b); ++pos) {
    const int e = tree.elord(pos);
    double u[3], t[3];
    element_densities(mesh, e, mode, x, u, t);
    const bool has_u = u[0] != 0.0 || u[1] != 0.0 || u[2] != 0.0;
    const bool has_t = t[0] != 0.0 || t[1] != 0.0 || t[2] != 0.0;
    if (!has_u && !has_t) continue;
    const ElementGeometry geo = element_geometry(mesh, e);
    const double* nv = geo.normal;
    const int n1 = mesh.node(e, 1), n2 = mesh.node(e, 2), n3 = mesh.node(e, 3);
    // Gauss point q relative to the cell centre.
    auto gauss_point = [&](int q, double yh[3]) {
      const double xi1 = par.gpt[3 * (q - 1)], xi2 = par.gpt[3 * (q - 1) + 1],
                   xi3 = par.gpt[3 * (q - 1) + 2];
      for (int i = 1; i <= 3; ++i) {
        const double yq = xi1 * mesh.x(n1, i) + xi2 * mesh.x(n2, i) + xi3 * mesh.x(n3, i);
        yh[i - 1] = yq - c[i - 1];
      }
    };
    // Without a velocity density the Gauss points go to the lane moments,
    // kLanes at a time: X_j -= t_j w_q R_q (j = 1..3), X_4 -= w_q (y_q . t) R_q.
    if (!has_u) {
      if (!lanes_used) std::fill(s.lane_acc, s.lane_acc + k.acc_size(), 0.0);
      lanes_used = true;
      constexpr int L = PointKernels::kLanes;
      for (int q0 = 1; q0 <= par.ngauss; q0 += L) {
        alignas(64) double lx[L] = {}, ly[L] = {}, lz[L] = {}, la[L] = {}, lb[L] = {};
        for (int l = 0; l < L && q0 + l <= par.ngauss; ++l) {
          const int q = q0 + l;
          double yh[3];
          gauss_point(q, yh);
          const double w = par.gwt[q - 1] * geo.area;
          const double yt = yh[0] * t[0] + yh[1] * t[1] + yh[2] * t[2];
          lx[l] = yh[0];
          ly[l] = yh[1];
          lz[l] = yh[2];
          la[l] = -w;
          lb[l] = -(w * yt);
        }
        k.add_lane_moments(lx, ly, lz, la, lb, t, s.lane_acc, s.lane_rows);
      }
      continue;
    }
    for (int q = 1; q <= par.ngauss; ++q) {
      double yh[3];
      gauss_point(q, yh);
      k.harmonics(yh[0], yh[1], yh[2], s.hre.data(), s.him.data());
      const double w = par.gwt[q - 1] * geo.area;
      const double yu = yh[0] * u[0] + yh[1] * u[1] + yh[2] * u[2];
      const double ny = nv[0] * yh[0] + nv[1] * yh[1] + nv[2] * yh[2];
      const double yt = yh[0] * t[0] + yh[1] * t[1] + yh[2] * t[2];
      const double wm = w * mu;
      const double ca[4] = {wm * u[0], wm * u[1], wm * u[2], wm * yu};
      const double cb[4] = {wm * nv[0], wm * nv[1], wm * nv[2], wm * ny};
      const double cc[4] = {-(w * t[0]), -(w * t[1]), -(w * t[2]), -(w * yt)};
      k.add_moments(s.hre.data(), s.him.data(), nv, u, ca, cb, cc, has_u, xr, xi);
    }
  }
  double* h = mom_cell(b);
  k.store_half(xr, xi, h);
  if (lanes_used) k.lane_sums(s.lane_acc, h);
}

}  // namespace velmora
