// Restarted GMRES for the rigid-body solves (rigid/rigid_solver.hpp,
// gmres_solve): the reverse-communication driver of solver/gmres.hpp, its
// requests served on whole vectors, with GMRES's own vectors whole in
// element order or, given a GmresSplit, in the tree's order and split among
// the processes as the product is (solver/gmres_vectors.hpp).
#include <algorithm>
#include <memory>
#include <vector>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "rigid/rigid_solver.hpp"
#include "solver/gmres.hpp"
#include "solver/gmres_vectors.hpp"

namespace velmora {

SolveReport gmres_solve(int n, int restart, int maxit, double tol,
                        const std::function<void(const double*, double*)>& amul,
                        const std::function<void(const double*, double*)>* prec,
                        const double* b, double* x, const SolveProgress& progress,
                        GmresChoices choices, const GmresSplit* split) {
  SolveReport rep;
  double bnorm = 0.0;
  for (int i = 0; i < n; ++i) bnorm += b[i] * b[i];
  if (bnorm == 0.0) {
    std::fill(x, x + n, 0.0);
    rep.converged = true;
    return rep;
  }
  int m = std::max(1, std::min(restart, n));
  const std::int64_t lwork = gmres_lwork_min(m, n, 1);
  // GMRES's vectors: the whole ones in element order, or those of `split`
  // (tree order; this process's share when the vectors are split, in a work
  // array of the share's size).
  std::unique_ptr<GmresVectors> gv;
  if (split != nullptr)
    gv = std::make_unique<GmresVectors>(*split->tree, split->nelem, split->maxl, split->minlev, m,
                                        nullptr, static_cast<int>(lwork), split->share,
                                        split->comm != nullptr ? *split->comm : Comm::world());
  const bool own = gv && gv->local();
  std::vector<double> block(own ? 0 : static_cast<std::size_t>(lwork), 0.0);
  const int nl = gv ? gv->nlocal() : n;
  double* const work = own ? gv->work() : block.data();
  const int lw = own ? gv->lwork() : static_cast<int>(lwork);
  std::vector<double> gx, gz;
  if (gv) {
    gx.assign(static_cast<std::size_t>(n), 0.0);
    gz.assign(static_cast<std::size_t>(n), 0.0);
    std::fill(work, work + nl, 0.0);
    if (choices.guess) gv->from_whole(x, work);
    gv->from_whole(b, work + nl);
  } else {
    std::copy(b, b + n, work + n);
    if (choices.guess) std::copy(x, x + n, work);
  }
  int ictrl[8], ireq[5] = {0, 0, 0, 0, 0}, info[3] = {0, 0, 0};
  double rctrl[5], rinfo[2] = {0.0, 0.0};
  gmres_init(ictrl, rctrl);
  ictrl[1] = 0;  // no warnings
  ictrl[3] = prec ? (choices.right ? 2 : 1) : 0;
  ictrl[4] = 3;  // iterative classical Gram-Schmidt
  ictrl[5] = choices.guess ? 1 : 0;
  ictrl[6] = maxit;
  rctrl[0] = tol;
  GmresState state;
  if (gv && gv->local()) state.whole_nlocal = n;
  int products = 0;
  // The operator on GMRES's vector vt into zt, through whole vectors.
  auto serve = [&](const std::function<void(const double*, double*)>& op, double* vt, double* zt) {
    if (!gv) return op(vt, zt);
    gv->to_whole(vt, gx.data());
    op(gx.data(), gz.data());
    gv->from_whole(gz.data(), zt);
  };
  for (;;) {
    gmres_drive(state, n, nl, m, lw, work, ireq, ictrl, rctrl, info, rinfo);
    const int request = ireq[0];
    if (request < req_amul || request > req_dots) break;
    double* const v = work + (ireq[1] - 1);
    double* const z = work + (ireq[3] - 1);
    if (request == req_amul) {
      if (progress) progress(products++, state.be_arnoldi);
      serve(amul, v, z);
    } else if (request == req_lprec || request == req_rprec) {
      serve(*prec, v, z);
    } else if (gv) {
      gv->dots(ireq[4], v, work + (ireq[2] - 1), z);
    } else {
      blas::dgemv('C', n, ireq[4], 1.0, v, n, work + (ireq[2] - 1), 1, 0.0, z, 1);
    }
  }
  if (gv)
    gv->to_whole(work, x);
  else
    std::copy(work, work + n, x);
  rep.iterations = info[1];
  rep.backward_error = rinfo[1];
  rep.converged = info[0] == 0;
  return rep;
}

}  // namespace velmora
