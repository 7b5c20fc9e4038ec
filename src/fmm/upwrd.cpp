#include "fmm/upwrd.hpp"

#include "fmm/direct_translate.hpp"

namespace velmora {
namespace {

// Adds the moments of the elements of leaf `b` (centre c) into cmom(., ., ., b).
void leaf_moments(const MeshView& mesh, double mu, int p, int ngauss, const double* gwt,
                  const double* gpt, const Tree& tree, int b, const double* x, int mode,
                  const ExpanView<Complex>& cmom, const FmmScratch& scratch) {
  const RegularView<const Complex> R(scratch.rtab, p);
  const GradientView<const Complex> G(scratch.gtab, p);
  const double c[3] = {tree.cen(b, 1), tree.cen(b, 2), tree.cen(b, 3)};
  for (int k = tree.fst(b); k <= tree.lst(b); ++k) {
    const int e = tree.elord(k);
    const ElementGeometry geo = element_geometry(mesh, e);
    const double* nv = geo.normal;
    double u[3], t[3];
    element_densities(mesh, e, mode, x, u, t);
    const int n1 = mesh.node(e, 1), n2 = mesh.node(e, 2), n3 = mesh.node(e, 3);
    for (int q = 1; q <= ngauss; ++q) {
      const double xi1 = gpt[3 * (q - 1)], xi2 = gpt[3 * (q - 1) + 1], xi3 = gpt[3 * (q - 1) + 2];
      double yh[3];
      for (int i = 1; i <= 3; ++i) {
        const double yq = xi1 * mesh.x(n1, i) + xi2 * mesh.x(n2, i) + xi3 * mesh.x(n3, i);
        yh[i - 1] = yq - c[i - 1];
      }
      regular_harmonics(p, yh[0], yh[1], yh[2], scratch.rtab);
      regular_gradient(p, scratch.rtab, scratch.gtab);
      const double w = gwt[q - 1] * geo.area;
      const double yu = yh[0] * u[0] + yh[1] * u[1] + yh[2] * u[2];
      const double ny = nv[0] * yh[0] + nv[1] * yh[1] + nv[2] * yh[2];
      const double yt = yh[0] * t[0] + yh[1] * t[1] + yh[2] * t[2];
      for (int n = 0; n <= p; ++n) {
        for (int m = -n; m <= n; ++m) {
          const Complex& g1 = G(1, n, m);
          const Complex& g2 = G(2, n, m);
          const Complex& g3 = G(3, n, m);
          const Complex& r = R(n, m);
          const double dre = nv[0] * g1.real() + nv[1] * g2.real() + nv[2] * g3.real();
          const double dim = nv[0] * g1.imag() + nv[1] * g2.imag() + nv[2] * g3.imag();
          const double gre = u[0] * g1.real() + u[1] * g2.real() + u[2] * g3.real();
          const double gim = u[0] * g1.imag() + u[1] * g2.imag() + u[2] * g3.imag();
          for (int j = 1; j <= 3; ++j) {
            Complex& mom = cmom(j, m, n, b);
            const double re = w * (mu * (u[j - 1] * dre + nv[j - 1] * gre) - t[j - 1] * r.real());
            const double im = w * (mu * (u[j - 1] * dim + nv[j - 1] * gim) - t[j - 1] * r.imag());
            mom = Complex(mom.real() + re, mom.imag() + im);
          }
          Complex& mom = cmom(4, m, n, b);
          const double re = w * (mu * (yu * dre + ny * gre) - yt * r.real());
          const double im = w * (mu * (yu * dim + ny * gim) - yt * r.imag());
          mom = Complex(mom.real() + re, mom.imag() + im);
        }
      }
    }
  }
}

// Adds the moments of cell b, translated to its parent's centre, into the parent.
void moment_to_moment(int p, const Tree& tree, int b, const ExpanView<Complex>& cmom,
                      const FmmScratch& scratch) {
  const int par = tree.parent(b);
  const double d[3] = {tree.cen(b, 1) - tree.cen(par, 1), tree.cen(b, 2) - tree.cen(par, 2),
                       tree.cen(b, 3) - tree.cen(par, 3)};
  direct_m2m_add(p, cmom.cell(b), d, cmom.cell(par), scratch.rtab, scratch.mom1);
}

}  // namespace

void UPWRD(const MeshView& mesh, double mu, int minlev, int maxl, int maxcel, int p, int ngauss,
           const double* gwt, const double* gpt, const Tree& tree, const double* x, int mode,
           Complex* cmom_data, const FmmScratch& scratch, FmmTimers* timers) {
  const double t0 = timers ? timers->now() : 0.0;
  const ExpanView<Complex> cmom(cmom_data, p);

  // Stage 1: clear the moments of every cell, threads taking contiguous
  // blocks of cells.
#pragma omp parallel for schedule(static)
  for (int b = 1; b <= maxcel; ++b) {
    for (int n = 0; n <= p; ++n) {
      Complex* row = &cmom(1, -n, n, b);
      for (int i = 0; i < 4 * (2 * n + 1); ++i) row[i] = Complex(0.0, 0.0);
    }
  }

  // Stage 2: from the deepest level up to level 2.
  for (int lev = *tree.nlev; lev >= 2; --lev) {
    for (int b = tree.levf(lev); b <= tree.levl(lev); ++b) {
      if (tree.lst(b) >= tree.fst(b) && is_leaf(tree, b, lev, maxl, minlev))
        leaf_moments(mesh, mu, p, ngauss, gwt, gpt, tree, b, x, mode, cmom, scratch);
      if (lev > 2) moment_to_moment(p, tree, b, cmom, scratch);
    }
  }

  if (timers) timers->upward += timers->now() - t0;
}

}  // namespace velmora
