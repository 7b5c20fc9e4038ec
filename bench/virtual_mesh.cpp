// The generated mesh of bench/virtual_ranks and its tree (virtual_mesh.hpp).
#include "virtual_mesh.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vranks {

namespace {

// Spreads the low 21 bits of v to every third bit.
std::uint64_t spread(std::uint64_t v) {
  v &= 0x1fffff;
  v = (v | v << 32) & 0x1f00000000ffffULL;
  v = (v | v << 16) & 0x1f0000ff0000ffULL;
  v = (v | v << 8) & 0x100f00f00f00f00fULL;
  v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
  v = (v | v << 2) & 0x1249249249249249ULL;
  return v;
}
std::uint64_t compact(std::uint64_t v) {
  v &= 0x1249249249249249ULL;
  v = (v ^ (v >> 2)) & 0x10c30c30c30c30c3ULL;
  v = (v ^ (v >> 4)) & 0x100f00f00f00f00fULL;
  v = (v ^ (v >> 8)) & 0x1f0000ff0000ffULL;
  v = (v ^ (v >> 16)) & 0x1f00000000ffffULL;
  v = (v ^ (v >> 32)) & 0x1fffff;
  return v;
}
std::uint64_t morton(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
  return spread(x) << 2 | spread(y) << 1 | spread(z);
}

using Vec = std::array<double, 3>;

Vec normalised(const Vec& v) {
  const double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {v[0] / r, v[1] / r, v[2] / r};
}

// The regular icosahedron's vertices and faces.
void icosahedron(std::vector<Vec>& v, std::vector<std::array<int, 3>>& f) {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
       {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  for (Vec& p : v) p = normalised(p);
  f = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
       {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
       {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
}

}  // namespace

std::vector<std::uint64_t> sphere_keys(int k, int n) {
  std::vector<Vec> v;
  std::vector<std::array<int, 3>> faces;
  icosahedron(v, faces);
  const std::int64_t per = 20 * static_cast<std::int64_t>(k) * k;
  const std::int64_t total = per * n * n * n;
  std::vector<std::uint64_t> keys(static_cast<std::size_t>(total));
  // Root cube: the bounding box [-1, 3(n-1) + 1]^3 times 1.01 about its centre.
  const double lo = -1.0, hi = 3.0 * (n - 1) + 1.0;
  const double centre = 0.5 * (lo + hi), edge = 1.01 * (hi - lo);
  const double corner = centre - edge / 2;
  const double cells = static_cast<double>(1u << kBits);
  auto cell_of = [&](double x) {
    const double c = std::floor((x - corner) / edge * cells);
    return static_cast<std::uint64_t>(std::clamp(c, 0.0, cells - 1));
  };
#pragma omp parallel for schedule(dynamic, 1)
  for (int fi = 0; fi < 20; ++fi) {
    const auto& f = faces[fi];
    auto node = [&](int i, int j) {
      const double w0 = k - i - j, w1 = i, w2 = j;
      Vec q;
      for (int c = 0; c < 3; ++c) q[c] = w0 * v[f[0]][c] + w1 * v[f[1]][c] + w2 * v[f[2]][c];
      return normalised(q);
    };
    std::int64_t t = 0;
    std::vector<Vec> cent;
    cent.reserve(static_cast<std::size_t>(k) * k);
    for (int i = 0; i < k; ++i)
      for (int j = 0; i + j < k; ++j) {
        const Vec a = node(i, j), b = node(i + 1, j), c = node(i, j + 1);
        cent.push_back({(a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, (a[2] + b[2] + c[2]) / 3});
        if (i + j + 1 < k) {
          const Vec d = node(i + 1, j + 1);
          cent.push_back({(b[0] + d[0] + c[0]) / 3, (b[1] + d[1] + c[1]) / 3, (b[2] + d[2] + c[2]) / 3});
        }
      }
    for (int sx = 0; sx < n; ++sx)
      for (int sy = 0; sy < n; ++sy)
        for (int sz = 0; sz < n; ++sz) {
          const std::int64_t s = (static_cast<std::int64_t>(sx) * n + sy) * n + sz;
          t = s * per + static_cast<std::int64_t>(fi) * k * k;
          for (const Vec& p : cent)
            keys[t++] = morton(cell_of(p[0] + 3.0 * sx), cell_of(p[1] + 3.0 * sy),
                               cell_of(p[2] + 3.0 * sz));
        }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}


void Octree::adjacent(int lev, int i, std::vector<int>& out) const {
  out.clear();
  const std::uint64_t p = level[lev][i].prefix;
  const std::int64_t x = static_cast<std::int64_t>(compact(p >> 2)),
                     y = static_cast<std::int64_t>(compact(p >> 1)),
                     z = static_cast<std::int64_t>(compact(p));
  const std::int64_t lim = std::int64_t{1} << lev;
  for (int dx = -1; dx <= 1; ++dx)
    for (int dy = -1; dy <= 1; ++dy)
      for (int dz = -1; dz <= 1; ++dz) {
        const std::int64_t u = x + dx, w = y + dy, s = z + dz;
        if (u < 0 || w < 0 || s < 0 || u >= lim || w >= lim || s >= lim) continue;
        const int j = find(lev, morton(static_cast<std::uint64_t>(u), static_cast<std::uint64_t>(w),
                                       static_cast<std::uint64_t>(s)));
        if (j >= 0) out.push_back(j);
      }
  std::sort(out.begin(), out.end());
}

Octree build_tree(const std::vector<std::uint64_t>& keys, int maxl, int minlev) {
  Octree t;
  t.level.resize(kMaxLevel + 1);
  t.level[0].push_back({0, 0, static_cast<std::int64_t>(keys.size()), -1, 0});
  for (int lev = 0; lev < kMaxLevel; ++lev) {
    const int shift = 3 * (kBits - lev - 1);
    for (Node& nd : t.level[lev]) {
      if (lev >= minlev && nd.b - nd.a <= maxl) continue;
      nd.child = static_cast<std::int32_t>(t.level[lev + 1].size());
      std::int64_t at = nd.a;
      for (std::uint64_t o = 0; o < 8; ++o) {
        const std::uint64_t cp = nd.prefix << 3 | o;
        const std::uint64_t end_key = (cp + 1) << shift;
        const std::int64_t stop =
            std::lower_bound(keys.begin() + at, keys.begin() + nd.b, end_key) - keys.begin();
        if (stop > at) {
          t.level[lev + 1].push_back({cp, at, stop, -1, 0});
          ++nd.nchild;
        }
        at = stop;
      }
    }
    if (t.level[lev + 1].empty()) {
      t.level.resize(lev + 1);
      break;
    }
  }
  return t;
}

}  // namespace vranks
