#include "bem/null_space.hpp"

#include <cmath>
#include <cstdint>

#include "common/constants.hpp"
#include "common/exact_sum.hpp"

namespace velmora {

ClosedBodyNullSpace::ClosedBodyNullSpace(const MeshView& mesh, const Bodies& bodies, double mu)
    : mesh_(mesh), body_of_(bodies.of_element), slot_of_body_(bodies.count, -1) {
  const int ne = mesh.nelem;
  // A closed body is treated unless one of its traction-prescribed
  // components has a normal component that is not zero.
  std::vector<char> eligible(bodies.closed.begin(), bodies.closed.end());
  normal_.assign(3 * static_cast<std::size_t>(ne), 0.0);
  area_.assign(static_cast<std::size_t>(ne), 0.0);
  for (int e = 1; e <= ne; ++e) {
    const ElementGeometry g = element_geometry(mesh, e);
    area_[e - 1] = g.area;
    for (int k = 1; k <= 3; ++k)
      if (mesh.traction_prescribed(e, k) && std::fabs(g.normal[k - 1]) > kTangentialTraction)
        eligible[body_of_[e - 1]] = 0;
  }
  for (int b = 0; b < bodies.count; ++b)
    if (eligible[b]) {
      slot_of_body_[b] = static_cast<int>(treated_.size());
      treated_.push_back(b);
    }
  if (treated_.empty()) return;

  const std::size_t nt = treated_.size();
  std::vector<double> nn(nt, 0.0), ww(nt, 0.0), body_area(nt, 0.0);
  for (int e = 1; e <= ne; ++e) {
    const int slot = slot_of_body_[body_of_[e - 1]];
    if (slot < 0) continue;
    const ElementGeometry g = element_geometry(mesh, e);
    body_area[slot] += g.area;
    for (int k = 1; k <= 3; ++k) {
      if (mesh.traction_prescribed(e, k)) continue;  // n_k is zero there
      const double nk = g.normal[k - 1];
      normal_[3 * static_cast<std::size_t>(e - 1) + (k - 1)] = nk;
      nn[slot] += nk * nk;
      ww[slot] += g.area * g.area * nk * nk;
    }
  }
  data_.resize(nt);
  for (std::size_t i = 0; i < nt; ++i) {
    const double radius = std::sqrt(body_area[i] / (4.0 * kPi));
    const double s = 2.0 * radius / (3.0 * mu);
    const double norms = std::sqrt(nn[i]) * std::sqrt(ww[i]);
    data_[i].scale = norms > 0.0 && std::isfinite(s) ? -s / norms : 0.0;
    data_[i].norm_n = std::sqrt(nn[i]);
  }
}

bool ClosedBodyNullSpace::carries(int e, int k) const {
  return slot_of_body_[body_of_[e - 1]] >= 0 && !mesh_.traction_prescribed(e, k);
}

// coef_B = scale_B (w_B . x) = -s_B (wh_B . x) / |n_B| for every treated body
// in one pass over the elements; each body's sum runs over its elements in
// order.
std::vector<double> ClosedBodyNullSpace::coefficients(const double* x) const {
  std::vector<double> dot(treated_.size(), 0.0);
  for (int e = 1; e <= mesh_.nelem; ++e) {
    const int slot = slot_of_body_[body_of_[e - 1]];
    if (slot < 0) continue;
    const std::size_t j = 3 * static_cast<std::size_t>(e - 1);
    dot[slot] +=
        area_[e - 1] * (normal_[j] * x[j] + normal_[j + 1] * x[j + 1] + normal_[j + 2] * x[j + 2]);
  }
  for (std::size_t i = 0; i < treated_.size(); ++i) dot[i] *= data_[i].scale;
  return dot;
}

std::vector<double> ClosedBodyNullSpace::removed(const double* x) const {
  std::vector<double> beta = coefficients(x);
  for (std::size_t i = 0; i < treated_.size(); ++i) beta[i] *= data_[i].norm_n;
  return beta;
}

std::vector<double> ClosedBodyNullSpace::exact_coefficients(const double* x,
                                                             const std::vector<int>* elements,
                                                             const Comm* comm) const {
  std::vector<ExactSum> dot(treated_.size());
  const auto add = [&](int e) {
    const int slot = slot_of_body_[body_of_[e - 1]];
    if (slot < 0) return;
    const std::size_t j = 3 * static_cast<std::size_t>(e - 1);
    dot[slot].add(area_[e - 1] * (normal_[j] * x[j] + normal_[j + 1] * x[j + 1] + normal_[j + 2] * x[j + 2]));
  };
  if (elements)
    for (const int e : *elements) add(e);
  else
    for (int e = 1; e <= mesh_.nelem; ++e) add(e);
  if (comm) add_across(dot.data(), static_cast<int>(dot.size()), *comm);
  std::vector<double> coef(treated_.size());
  for (std::size_t i = 0; i < treated_.size(); ++i) coef[i] = data_[i].scale * dot[i].value();
  return coef;
}

void ClosedBodyNullSpace::add_normals(const std::vector<double>& coef, double* z) const {
  for (int e = 1; e <= mesh_.nelem; ++e) {
    const int slot = slot_of_body_[body_of_[e - 1]];
    if (slot < 0) continue;
    const std::size_t j = 3 * static_cast<std::size_t>(e - 1);
    for (int k = 0; k < 3; ++k) z[j + k] += coef[slot] * normal_[j + k];
  }
}

void ClosedBodyNullSpace::augment_exact(const double* x, double* z,
                                        const std::vector<int>* elements,
                                        const Comm* comm) const {
  if (treated_.empty()) return;
  add_normals(exact_coefficients(x, elements, comm), z);
}

void ClosedBodyNullSpace::augment(const double* x, double* z) const {
  if (treated_.empty()) return;
  // z += coef_B n_B = -s_B nh_B (wh_B . x).
  add_normals(coefficients(x), z);
}

}  // namespace velmora
