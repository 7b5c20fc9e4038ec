// The dense boundary operator: every target against every source element
// through the exact integrals of TRIINT, no expansions.  It is the product
// that the multipole passes approximate, and its matrix serves dense solves.
#pragma once

#include <vector>

#include "bem/mesh.hpp"
#include "bem/triint.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/passes.hpp"

namespace velmora::testing {

// Calls visit(e, coef) after TRIINT has filled `coef` for source element e and
// the targets 1..nelem in element order (target k is element k).
template <class Visit>
void for_each_source(const MeshView& mesh, double mu, double snaptol, const NearField& nf,
                     Visit visit) {
  const int ne = mesh.nelem;
  nf.ltarg[0] = ne;
  for (int k = 1; k <= ne; ++k) nf.ltarg[k] = k;
  for (int e = 1; e <= ne; ++e) {
    double normal[3];
    TRIINT(mesh, mu, snaptol, nf.ltarg, nf.coef, nf.work, normal, e);
    visit(e, nf.coef);
  }
}

// y(3(g-1)+i) += sum over all elements e of sum_j T_ij(g,e) u_j(e) - U_ij(g,e) t_j(e),
// with (u, t) the densities of `mode` (x read only for mode 1).  nf supplies
// storage for nelem targets.
inline void dense_apply(const MeshView& mesh, double mu, double snaptol, const NearField& nf,
                        int mode, const double* x, double* y) {
  const int ne = mesh.nelem;
  for_each_source(mesh, mu, snaptol, nf, [&](int e, const NearCoef& c) {
    double u[3], t[3];
    element_densities(mesh, e, mode, x, u, t);
    for (int g = 1; g <= ne; ++g) {
      const int k = g - 1;
      const double U[3][3] = {{c.u[0][k], c.u[1][k], c.u[2][k]},
                              {c.u[1][k], c.u[3][k], c.u[4][k]},
                              {c.u[2][k], c.u[4][k], c.u[5][k]}};
      for (int i = 0; i < 3; ++i) {
        double s = 0.0;
        for (int j = 0; j < 3; ++j) s += c.t[3 * i + j][k] * u[j] - U[i][j] * t[j];
        y[3 * static_cast<long>(g - 1) + i] += s;
      }
    }
  });
}

// The system matrix A (3 nelem x 3 nelem, column-major), A x = dense_apply
// with mode 1: column 3(e-1)+j holds T_.j(., e) when component j of e is
// traction-prescribed (its unknown is the velocity) and -U_.j(., e) otherwise.
inline std::vector<double> dense_matrix(const MeshView& mesh, double mu, double snaptol,
                                        const NearField& nf) {
  const long n = 3L * mesh.nelem;
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  for_each_source(mesh, mu, snaptol, nf, [&](int e, const NearCoef& c) {
    for (int j = 0; j < 3; ++j) {
      const bool velocity_unknown = mesh.traction_prescribed(e, j + 1);
      double* col = a.data() + (3L * (e - 1) + j) * n;
      for (int g = 1; g <= mesh.nelem; ++g) {
        const int k = g - 1;
        const double U[3][3] = {{c.u[0][k], c.u[1][k], c.u[2][k]},
                                {c.u[1][k], c.u[3][k], c.u[4][k]},
                                {c.u[2][k], c.u[4][k], c.u[5][k]}};
        for (int i = 0; i < 3; ++i)
          col[3L * (g - 1) + i] = velocity_unknown ? c.t[3 * i + j][k] : -U[i][j];
      }
    }
  });
  return a;
}

}  // namespace velmora::testing
