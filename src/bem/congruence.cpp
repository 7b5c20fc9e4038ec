#include "bem/congruence.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "common/symmetric_eigen.hpp"

namespace velmora {

std::vector<BodyLayout> body_layouts(const MeshView& mesh, const int* body, int nbody) {
  std::vector<BodyLayout> out(static_cast<std::size_t>(nbody));
  for (int e = 1; e <= mesh.nelem; ++e) {
    const int b = body[e - 1];
    if (b >= 1 && b <= nbody) out[b - 1].elements.push_back(e);
  }
  std::unordered_map<int, int> seen;
  for (BodyLayout& l : out) {
    seen.clear();
    l.local.reserve(3 * l.elements.size());
    for (const int e : l.elements)
      for (int v = 1; v <= 3; ++v) {
        const int node = mesh.node(e, v);
        auto it = seen.find(node);
        if (it == seen.end()) {
          it = seen.emplace(node, static_cast<int>(l.nodes.size())).first;
          l.nodes.push_back(node);
        }
        l.local.push_back(it->second);
      }
  }
  return out;
}

std::vector<double> centred_nodes(const MeshView& mesh, const BodyLayout& layout) {
  const std::size_t n = layout.nodes.size();
  std::vector<double> p(3 * n);
  double c[3] = {0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      p[3 * i + k] = mesh.x(layout.nodes[i], k + 1);
      c[k] += p[3 * i + k];
    }
  if (n > 0)
    for (double& v : c) v /= static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) p[3 * i + k] -= c[k];
  return p;
}


RigidFit fit_rotation(const double* a, const double* b, int n) {
  // S_kl = sum_i a_ik b_il.
  double S[3][3] = {};
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k)
      for (int l = 0; l < 3; ++l) S[k][l] += a[3 * i + k] * b[3 * i + l];
  const double xx = S[0][0], xy = S[0][1], xz = S[0][2], yx = S[1][0], yy = S[1][1], yz = S[1][2],
               zx = S[2][0], zy = S[2][1], zz = S[2][2];
  const double N[4][4] = {{xx + yy + zz, yz - zy, zx - xz, xy - yx},
                    {yz - zy, xx - yy - zz, xy + yx, zx + xz},
                    {zx - xz, xy + yx, -xx + yy - zz, yz + zy},
                    {xy - yx, zx + xz, yz + zy, -xx - yy + zz}};
  double lam[4], V[4][4];
  symmetric_eigen<4>(N, lam, V);
  int best = 0;
  for (int i = 1; i < 4; ++i)
    if (lam[i] > lam[best]) best = i;
  double q[4] = {V[0][best], V[1][best], V[2][best], V[3][best]};
  const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (double& v : q) v /= len;
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  RigidFit f;
  const double R[9] = {w * w + x * x - y * y - z * z, 2 * (x * y - w * z), 2 * (x * z + w * y),
                       2 * (x * y + w * z), w * w - x * x + y * y - z * z, 2 * (y * z - w * x),
                       2 * (x * z - w * y), 2 * (y * z + w * x), w * w - x * x - y * y + z * z};
  std::copy(R, R + 9, f.rot);
  double worst = 0.0;
  for (int i = 0; i < n; ++i) {
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double r = R[3 * k] * a[3 * i] + R[3 * k + 1] * a[3 * i + 1] + R[3 * k + 2] * a[3 * i + 2];
      d2 += (r - b[3 * i + k]) * (r - b[3 * i + k]);
    }
    worst = std::max(worst, d2);
  }
  f.residual = std::sqrt(worst);
  return f;
}

}  // namespace velmora
