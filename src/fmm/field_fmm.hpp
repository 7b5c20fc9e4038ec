// The fast evaluation of the flow at field points: a multipole product whose
// targets are not the sources.  The sources are the solver's tree of the
// elements (built as the solve builds it) and its moments are those of the
// solver's engine (fmm/engine.hpp, EngineUse::Moments: the same bits as a
// product's moments of the same densities); the points lie in target cells
// on the same grid, extended beyond the root (fmm/field_tree.hpp).  Far
// interactions go through the solver's translations (multipole to local
// and local to local by rotation, at the orders the solver's trade gives),
// near ones through the exact element integrals of bem/field_integrals.hpp.
//
// Conventions: those of bem/field_integrals.hpp.  The expansions represent
//   y(x) = sum_e int_e (T u - U t) dS = kappa (2 phi + grad(phi_4 - x . phi)),
// kappa = 1 / (8 pi mu), phi = (phi_1, phi_2, phi_3) the local expansions of
// the first three moments; the fluid velocity is -y and, since
// mu lap(y) = grad(-2 mu kappa div phi), the fluid pressure is
//   p = (1 / (4 pi)) div phi = (1 / (4 pi)) sum_n,m Re[ L_j(n,m) dR(n,m)/dx_j ]
// (orders m > 0 counted twice).  The winding number's far part comes from a
// second, lower-order expansion of the velocity density u = (1, 0, 0),
// t = 0, whose y_1 is w.
//
// Every point's sums are formed by one thread in an order fixed by the tree,
// so the results are the same bits for any number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "bem/field_integrals.hpp"
#include "bem/mesh.hpp"
#include "common/comm.hpp"
#include "fmm/m2l_order.hpp"

namespace velmora {

struct FieldParams {
  double mu = 1.0;
  double snaptol = 0.0;
  int p = 8;          // expansion order
  int ngauss = 7;     // Gauss rule of the moments
  // The solver's tree: those of the solve (input.cnd), so that the cells,
  // lists and moments are the solve's.
  int maxl = 40;      // elements per source leaf
  int minlev = 2;     // (at least 2)
  double cubfac = 1.01;
  int maxdep = 20;    // also bounds the target cells' depth (at most 22)
  int maxcel = 0;     // room for the tree's cells; 0: counted for the mesh
  int maxp = 64;      // points per target leaf
  int winding_p = 4;  // order of the winding number's expansions
  // The solver's trade (fmm/m2l_order.hpp): multipole-to-local translations
  // over the longer offsets of an interaction list at the lower order whose
  // truncation stays below that of the shortest (programs set it as the
  // solver's default path does, off with VELMORA_EXACT=1).
  bool m2l_order_by_distance = false;
  M2LOrderModel m2l_order;
};

struct FieldStats {
  int cells = 0, levels = 0, target_leaves = 0;
  std::int64_t m2l = 0, near_pairs = 0;  // of this process
  double t_tree = 0, t_moments = 0, t_local = 0, t_eval = 0;  // wall seconds
  // A run of several processes: their number, the largest work of one over
  // the mean, the seconds and bytes this process spent giving its points'
  // values to the others.
  int ranks = 1;
  double imbalance = 1.0;
  double t_exchange = 0;
  std::int64_t bytes_sent = 0;
  // Every process's figures (rank order; on every process), in a run of
  // several.
  struct Rank {
    std::int64_t leaves = 0, points = 0, near_pairs = 0, bytes_sent = 0, messages = 0;
    double work_share = 0, t_local = 0, t_eval = 0, t_exchange = 0, peak_bytes = 0;
  };
  std::vector<Rank> per_rank;
};

// Velocity (3 per point), pressure and inside flags (as field_direct) at
// the n points xyz.  progress(done, total), when given, is called from the
// calling thread between blocks of target leaves.
//
// comm, when given with several processes: every process passes the same
// mesh, densities and points; the target leaves are cut among them by
// their work (fmm/partition.hpp, in the order of the points along the
// tree), each forms the local expansions above its own leaves and
// evaluates its points, and on return every process holds every point's
// values, each formed by one process as one process forms it: the same bits
// for any number of processes and threads.  The tree and the moments are
// formed by every process (the same bits on each).
void field_fast(const MeshView& mesh, const FieldParams& par, const FieldDensities& d, int n,
                const double* xyz, double* vel, double* pres, int* inside,
                const std::function<void(std::int64_t, std::int64_t)>& progress = {},
                FieldStats* stats = nullptr, const Comm* comm = nullptr);

}  // namespace velmora
