#include "rigid/coarse_space.hpp"

#include <algorithm>
#include <cmath>

#include "solver/lu.hpp"

namespace velmora {

RigidCoarseSpace::RigidCoarseSpace(const RigidBodies& rb)
    : nelem_(rb.nelem), area_(rb.area) {
  const int nb = rb.nbody;
  // Piece of each element: the nearest of its body's first kMaxPieces
  // points, numbered over the bodies with several points.
  std::vector<int> piece_of(static_cast<std::size_t>(nelem_), -1), base(nb + 1, 0);
  for (int b = 0; b < nb; ++b) {
    const int k = rb.point_first[b + 1] - rb.point_first[b];
    base[b + 1] = base[b] + (k > 1 ? std::min(k, kMaxPieces) : 0);
  }
  npiece_ = base[nb];
  if (npiece_ == 0) return;
  for (int e = 0; e < nelem_; ++e) {
    const int b = rb.body[e] - 1;
    const int k = base[b + 1] - base[b];
    if (k == 0) continue;
    const double* x = &rb.col[3 * static_cast<std::size_t>(e)];
    int best = 0;
    double dbest = 0.0;
    for (int j = 0; j < k; ++j) {
      const double* p = &rb.point[3 * static_cast<std::size_t>(rb.point_first[b] + j)];
      const double d = (x[0] - p[0]) * (x[0] - p[0]) + (x[1] - p[1]) * (x[1] - p[1]) +
                       (x[2] - p[2]) * (x[2] - p[2]);
      if (j == 0 || d < dbest) {
        best = j;
        dbest = d;
      }
    }
    piece_of[e] = base[b] + best;
  }
  first_.assign(npiece_ + 1, 0);
  for (int e = 0; e < nelem_; ++e)
    if (piece_of[e] >= 0) ++first_[piece_of[e] + 1];
  for (int p = 0; p < npiece_; ++p) first_[p + 1] += first_[p];
  elem_.resize(first_[npiece_]);
  {
    std::vector<int> fill(first_.begin(), first_.end() - 1);
    for (int e = 0; e < nelem_; ++e)
      if (piece_of[e] >= 0) elem_[fill[piece_of[e]]++] = e;
  }
  // Columns: the rigid motions of each piece about its area centroid,
  // orthonormalised by modified Gram-Schmidt in <.,.>; a column left with
  // less than 1e-8 of its norm (a piece too small to carry it) is dropped.
  zoff_.assign(6 * static_cast<std::size_t>(npiece_) + 1, 0);
  for (int p = 0; p < npiece_; ++p)
    for (int k = 0; k < 6; ++k) {
      const std::size_t j = 6 * static_cast<std::size_t>(p) + k;
      zoff_[j + 1] = zoff_[j] + 3 * static_cast<std::size_t>(first_[p + 1] - first_[p]);
    }
  z_.assign(zoff_.back(), 0.0);
  for (int p = 0; p < npiece_; ++p) {
    const int n0 = first_[p], n1 = first_[p + 1], np = n1 - n0;
    double c[3] = {0, 0, 0}, a = 0.0;
    for (int i = n0; i < n1; ++i) {
      const int e = elem_[i];
      a += area_[e];
      for (int q = 0; q < 3; ++q) c[q] += area_[e] * rb.col[3 * static_cast<std::size_t>(e) + q];
    }
    for (int q = 0; q < 3; ++q) c[q] /= (a > 0.0 ? a : 1.0);
    for (int i = 0; i < np; ++i) {
      const int e = elem_[n0 + i];
      const double d[3] = {rb.col[3 * static_cast<std::size_t>(e)] - c[0],
                           rb.col[3 * static_cast<std::size_t>(e) + 1] - c[1],
                           rb.col[3 * static_cast<std::size_t>(e) + 2] - c[2]};
      for (int k = 0; k < 3; ++k) {
        z_[zoff_[6 * p + k] + 3 * i + k] = 1.0;
        // e_k x d
        double* r = &z_[zoff_[6 * p + 3 + k] + 3 * i];
        r[0] = (k == 1 ? d[2] : 0.0) - (k == 2 ? d[1] : 0.0);
        r[1] = (k == 2 ? d[0] : 0.0) - (k == 0 ? d[2] : 0.0);
        r[2] = (k == 0 ? d[1] : 0.0) - (k == 1 ? d[0] : 0.0);
      }
    }
    auto dot = [&](std::size_t ja, std::size_t jb) {
      double s = 0.0;
      for (int i = 0; i < np; ++i) {
        const double w = area_[elem_[n0 + i]];
        for (int q = 0; q < 3; ++q) s += w * z_[zoff_[ja] + 3 * i + q] * z_[zoff_[jb] + 3 * i + q];
      }
      return s;
    };
    std::vector<std::size_t> kept;
    for (int k = 0; k < 6; ++k) {
      const std::size_t j = 6 * static_cast<std::size_t>(p) + k;
      const double before = std::sqrt(dot(j, j));
      for (const std::size_t i : kept) {
        const double s = dot(i, j);
        for (int q = 0; q < 3 * np; ++q) z_[zoff_[j] + q] -= s * z_[zoff_[i] + q];
      }
      const double after = std::sqrt(dot(j, j));
      if (!(after > 1e-8 * before)) continue;
      for (int q = 0; q < 3 * np; ++q) z_[zoff_[j] + q] /= after;
      kept.push_back(j);
      live_.push_back(static_cast<int>(j));
    }
  }
}

void RigidCoarseSpace::project(const double* x, double* w) const {
  for (std::size_t l = 0; l < live_.size(); ++l) {
    const int j = live_[l], p = j / 6;
    const double* z = &z_[zoff_[j]];
    double s = 0.0;
    for (int i = first_[p]; i < first_[p + 1]; ++i) {
      const int e = elem_[i];
      const double* xe = x + 3 * static_cast<std::size_t>(e);
      const double* ze = z + 3 * static_cast<std::size_t>(i - first_[p]);
      s += area_[e] * (ze[0] * xe[0] + ze[1] * xe[1] + ze[2] * xe[2]);
    }
    w[l] = s;
  }
}

void RigidCoarseSpace::add_columns(const double* c, double* y) const {
  for (std::size_t l = 0; l < live_.size(); ++l) {
    const int j = live_[l], p = j / 6;
    const double* z = &z_[zoff_[j]];
    for (int i = first_[p]; i < first_[p + 1]; ++i) {
      double* ye = y + 3 * static_cast<std::size_t>(elem_[i]);
      const double* ze = z + 3 * static_cast<std::size_t>(i - first_[p]);
      for (int q = 0; q < 3; ++q) ye[q] += c[l] * ze[q];
    }
  }
}

void RigidCoarseSpace::add_column(int l, double* y) const {
  std::vector<double> c(live_.size(), 0.0);
  c.at(static_cast<std::size_t>(l)) = 1.0;
  add_columns(c.data(), y);
}

double RigidCoarseSpace::inner(int l, const double* x) const {
  std::vector<double> w(live_.size());
  project(x, w.data());
  return w.at(static_cast<std::size_t>(l));
}

bool RigidCoarseSpace::factor(const std::function<void(const double*, double*)>& amul) {
  const int k = dimension();
  factored_ = false;
  if (k == 0) return false;
  const std::size_t n = 3 * static_cast<std::size_t>(nelem_);
  std::vector<double> zj(n), azj(n), w(k), unit(k);
  lu_.assign(static_cast<std::size_t>(k) * k, 0.0);
  for (int l = 0; l < k; ++l) {
    std::fill(zj.begin(), zj.end(), 0.0);
    std::fill(unit.begin(), unit.end(), 0.0);
    unit[l] = 1.0;
    add_columns(unit.data(), zj.data());
    amul(zj.data(), azj.data());
    project(azj.data(), w.data());
    std::copy(w.begin(), w.end(), lu_.begin() + static_cast<std::size_t>(l) * k);  // column l
  }
  ipvt_.assign(k, 0);
  int info = 0;
  lufact(lu_.data(), k, k, ipvt_.data(), info);
  factored_ = info == 0;
  return factored_;
}

void RigidCoarseSpace::apply(const double* x, double* y) const {
  const std::size_t n = 3 * static_cast<std::size_t>(nelem_);
  std::copy(x, x + n, y);
  const int k = dimension();
  if (!factored_ || k == 0) return;
  std::vector<double> w(k), c(k);
  project(x, w.data());
  c = w;
  lusolv(lu_.data(), k, k, ipvt_.data(), c.data(), 0);
  // y = x + Z (E^-1 w - w)
  for (int l = 0; l < k; ++l) c[l] -= w[l];
  add_columns(c.data(), y);
}

}  // namespace velmora
