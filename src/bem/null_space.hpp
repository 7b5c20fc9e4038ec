// The null space of the boundary operator on closed bodies with prescribed
// velocities, and the augmented operator that is solved in its place.
//
// Conventions (those of the boundary operator, src/bem/triint.hpp): element
// normal n = (x2 - x1) x (x3 - x1) / |.|, pointing into the body for a body
// in exterior flow; the traction unknown t is sigma n, the force per area the
// body exerts on the fluid.  The operator applied to the solver vector x is
//   A x = sum_e [T u - U t]  (collocated at the centroids),
// so on a component with prescribed velocity the column of A is minus the
// single layer S of that traction component.
//
// Null space.  On a closed surface, S[n] = 0 on and outside it (the
// Stokeslet is divergence-free: its integral against n is a volume integral
// of zero), and this holds exactly for piecewise-constant n on flat
// triangles with exact element integrals.  So on a closed body B every
// component of which has its velocity prescribed, x + c n_B solves the same
// equations for any c: A n_B = 0.  Where some components of B have their
// traction prescribed the same vector is a null vector exactly when n_k = 0
// on each of those components (a traction prescribed along the surface only):
// the traction slot there is fixed, and n_B must not enter it.  Other mixed
// bodies, and bodies with every traction prescribed, have a null space of
// another form (the exterior flow driven by a uniform pressure on their
// traction components), which the discrete operator does not reproduce
// exactly; they are left as they are (docs/null_space.md).
//
// Augmentation.  For each treated body B, with nh_B = n_B / |n_B| (the
// normals on its velocity-prescribed components) and wh_B the area-weighted
// normals a_e n_e, normalised, the solver sees
//   A' x = A x - s_B nh_B (wh_B . x),    s_B = 2 R_B / (3 mu),
// R_B = sqrt(area_B / 4 pi): s_B is the single layer's eigenvalue for a
// uniform traction on a sphere of radius R_B, the top of its spectrum, and
// its sign is that of A (minus the single layer).  A' is non-singular when
// the left null vector l of A has l . nh_B != 0 (l is close to wh_B).  Its
// solution solves A x = b - beta_B nh_B, beta_B = -s_B (wh_B . x): the part of
// b along the null direction that no traction can produce (discretisation
// and far-field truncation put it there) is removed, and |beta_B| / |b| is
// reported.  The constant c of x + c n_B is then set by the physical
// condition (pressure_constant.hpp).
#pragma once

#include <vector>

#include "bem/bodies.hpp"
#include "bem/mesh.hpp"
#include "common/comm.hpp"

namespace velmora {

class ClosedBodyNullSpace {
 public:
  // Finds the treated bodies of `mesh` (bodies from find_bodies) for
  // viscosity mu.  The mesh arrays must outlive this object.
  ClosedBodyNullSpace(const MeshView& mesh, const Bodies& bodies, double mu);

  // Bodies (0-based, as in Bodies) that are treated, in increasing order.
  const std::vector<int>& treated() const { return treated_; }
  bool empty() const { return treated_.empty(); }
  // Treated index (0..treated().size()-1) of body b, or -1.
  int index_of_body(int b) const { return slot_of_body_[b]; }

  // z += -s_B nh_B (wh_B . x) for every treated body: the augmentation, added
  // to a product A x.  Sums run element by element in order, so the bits do
  // not depend on the thread count.
  void augment(const double* x, double* z) const;

  // The augmentation's coefficients, -s_B (wh_B . x) per treated body, with
  // the inner products added exactly (common/exact_sum.hpp): over the
  // elements listed (null: all), then, with comm, across the processes, each
  // of which lists its own (collective).  The bits do not depend on how the
  // elements are split.  add_normals: z += coef_B nh_B, as augment() does.
  std::vector<double> exact_coefficients(const double* x, const std::vector<int>* elements,
                                         const Comm* comm) const;
  void add_normals(const std::vector<double>& coef, double* z) const;
  // z += the augmentation of x with those exact coefficients (collective
  // with comm; nothing when no body is treated).
  void augment_exact(const double* x, double* z, const std::vector<int>* elements,
                     const Comm* comm) const;

  // beta_B = -s_B (wh_B . x) per treated body: the component along nh_B that
  // the augmented system removed from its right-hand side.
  std::vector<double> removed(const double* x) const;

  // Whether component k (1..3) of element e carries the null vector.
  bool carries(int e, int k) const;

  // The terms one by one, for a caller that projects the augmentation: the
  // augmentation is z_e += scale(slot) nu_e (sum over e' of slot of
  // area(e') nu_e' . x_e'), nu_e = unit_normal(e) (zero on components that do
  // not carry the null vector), slot = slot_of_element(e) (-1: untreated).
  int slot_of_element(int e) const { return slot_of_body_[body_of_[e - 1]]; }
  const double* unit_normal(int e) const { return normal_.data() + 3 * static_cast<std::size_t>(e - 1); }
  double area(int e) const { return area_[e - 1]; }
  double scale(int slot) const { return data_[slot].scale; }

 private:
  struct Treated {
    double scale = 0.0;   // -s_B / (|n_B| |w_B|)
    double norm_n = 0.0;  // |n_B|
  };
  std::vector<double> coefficients(const double* x) const;

  MeshView mesh_;
  std::vector<int> body_of_;       // body of element e at e-1
  std::vector<int> slot_of_body_;  // treated index of body b, or -1
  std::vector<int> treated_;
  std::vector<Treated> data_;
  std::vector<double> normal_;  // 3 per element, unit normal (0 where not carried)
  std::vector<double> area_;    // per element
};

}  // namespace velmora
