#include "fmm/field_tree.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace velmora {
namespace {

std::uint64_t grid_key(long i, long j, long k) {
  return (static_cast<std::uint64_t>(i) << 42) | (static_cast<std::uint64_t>(j) << 21) |
         static_cast<std::uint64_t>(k);
}

// Stable partition of ids[b..e) into the eight octants by the bit `bit` of
// their deepest-level indices g (3 per item); returns the octant bounds.
std::array<int, 9> partition(std::vector<int>& ids, int b, int e, const std::vector<std::int32_t>& g,
                             int bit, std::vector<int>& tmp) {
  std::array<int, 9> cnt{};
  auto oct = [&](int id) {
    const std::int32_t* q = &g[3 * static_cast<std::size_t>(id)];
    return ((q[0] >> bit) & 1) | (((q[1] >> bit) & 1) << 1) | (((q[2] >> bit) & 1) << 2);
  };
  for (int i = b; i < e; ++i) ++cnt[oct(ids[i]) + 1];
  for (int o = 0; o < 8; ++o) cnt[o + 1] += cnt[o];
  std::array<int, 9> pos = cnt;
  tmp.resize(static_cast<std::size_t>(std::max(e - b, 0)));
  for (int i = b; i < e; ++i) tmp[pos[oct(ids[i])]++] = ids[i];
  std::copy(tmp.begin(), tmp.end(), ids.begin() + b);
  for (int o = 0; o <= 8; ++o) cnt[o] += b;
  return cnt;
}

}  // namespace

int FieldTree::find(int level, long i, long j, long k) const {
  const long lim = 1L << level;
  if (i < 0 || j < 0 || k < 0 || i >= lim || j >= lim || k >= lim) return -1;
  const auto& g = grid[level];
  const std::uint64_t key = grid_key(i, j, k);
  auto it = std::lower_bound(g.begin(), g.end(), std::make_pair(key, -1));
  return (it != g.end() && it->first == key) ? it->second : -1;
}

FieldTree build_field_tree(const MeshView& mesh, int n, const double* xyz, int maxl, int maxp,
                           int maxdep) {
  FieldTree t;
  const int D = std::clamp(maxdep, 2, 20);
  // Root cube.
  double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (int k = 1; k <= mesh.nnode; ++k)
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], mesh.x(k, c + 1));
      hi[c] = std::max(hi[c], mesh.x(k, c + 1));
    }
  for (int p = 0; p < n; ++p)
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], xyz[3 * static_cast<std::size_t>(p) + c]);
      hi[c] = std::max(hi[c], xyz[3 * static_cast<std::size_t>(p) + c]);
    }
  double edge = 0.0;
  for (int c = 0; c < 3; ++c) edge = std::max(edge, hi[c] - lo[c]);
  if (!(edge > 0.0) || !std::isfinite(edge)) edge = 1.0;
  edge *= 1.0 + 1e-6;
  for (int c = 0; c < 3; ++c) t.corner[c] = 0.5 * (lo[c] + hi[c]) - 0.5 * edge;
  t.size.resize(D + 1);
  for (int l = 0; l <= D; ++l) t.size[l] = std::ldexp(edge, -l);

  // Deepest-level indices of the element centroids and of the points.
  const long lim = (1L << D) - 1;
  auto index = [&](const double x[3], std::int32_t* g) {
    for (int c = 0; c < 3; ++c) {
      const double v = std::floor((x[c] - t.corner[c]) / t.size[D]);
      g[c] = static_cast<std::int32_t>(std::clamp(v, 0.0, static_cast<double>(lim)));
    }
  };
  std::vector<std::int32_t> ge(3 * static_cast<std::size_t>(mesh.nelem)), gp(3 * static_cast<std::size_t>(n));
  for (int e = 1; e <= mesh.nelem; ++e) {
    const double x[3] = {mesh.col(e, 1), mesh.col(e, 2), mesh.col(e, 3)};
    index(x, &ge[3 * static_cast<std::size_t>(e - 1)]);
  }
  for (int p = 0; p < n; ++p) index(xyz + 3 * static_cast<std::size_t>(p), &gp[3 * static_cast<std::size_t>(p)]);
  std::vector<int> eid(mesh.nelem), pid(n), tmp;
  for (int e = 0; e < mesh.nelem; ++e) eid[e] = e;
  for (int p = 0; p < n; ++p) pid[p] = p;

  FieldCell root;
  root.se = mesh.nelem;
  root.te = n;
  root.role = mesh.nelem > 0 ? 1 : 0;
  for (int c = 0; c < 3; ++c) root.cen[c] = t.corner[c] + 0.5 * t.size[0];
  t.cells.push_back(root);
  t.levfst = {0};
  t.grid.clear();
  for (int l = 0;; ++l) {
    const int first = t.levfst[l], last = static_cast<int>(t.cells.size());
    if (first == last) break;
    t.grid.emplace_back();
    for (int c = first; c < last; ++c)
      t.grid[l].emplace_back(grid_key(t.cells[c].ix, t.cells[c].iy, t.cells[c].iz), c);
    std::sort(t.grid[l].begin(), t.grid[l].end());
    t.levfst.push_back(last);  // level l+1 starts after level l
    // Which cells of this level split.
    for (int c = first; c < last; ++c) {
      FieldCell& b = t.cells[c];
      if (b.te == b.tb || l >= D) continue;
      bool split = l < 2 || b.te - b.tb > maxp;
      for (long dx = -1; dx <= 1 && !split; ++dx)
        for (long dy = -1; dy <= 1 && !split; ++dy)
          for (long dz = -1; dz <= 1 && !split; ++dz) {
            const int q = t.find(l, b.ix + dx, b.iy + dy, b.iz + dz);
            split = q >= 0 && t.cells[q].role == 1;
          }
      b.target_split = split;
    }
    if (l >= D) continue;
    const int bit = D - l - 1;
    for (int c = first; c < last; ++c) {
      const bool src = t.cells[c].role == 1, tgt = t.cells[c].target_split;
      if (!src && !tgt) continue;
      std::array<int, 9> eb{}, pb{};
      if (src) eb = partition(eid, t.cells[c].sb, t.cells[c].se, ge, bit, tmp);
      if (tgt) pb = partition(pid, t.cells[c].tb, t.cells[c].te, gp, bit, tmp);
      for (int o = 0; o < 8; ++o) {
        const int ne = src ? eb[o + 1] - eb[o] : 0, np = tgt ? pb[o + 1] - pb[o] : 0;
        if (ne == 0 && np == 0) continue;
        FieldCell ch;
        ch.level = l + 1;
        ch.parent = c;
        ch.ix = 2 * t.cells[c].ix + (o & 1);
        ch.iy = 2 * t.cells[c].iy + ((o >> 1) & 1);
        ch.iz = 2 * t.cells[c].iz + ((o >> 2) & 1);
        ch.cen[0] = t.corner[0] + (ch.ix + 0.5) * t.size[l + 1];
        ch.cen[1] = t.corner[1] + (ch.iy + 0.5) * t.size[l + 1];
        ch.cen[2] = t.corner[2] + (ch.iz + 0.5) * t.size[l + 1];
        if (ne > 0) {
          ch.sb = eb[o];
          ch.se = eb[o + 1];
          ch.role = ((ne <= maxl && l + 1 >= 2) || l + 1 == D) ? 2 : 1;
        }
        if (np > 0) {
          ch.tb = pb[o];
          ch.te = pb[o + 1];
        }
        t.cells[c].child[o] = static_cast<int>(t.cells.size());
        t.cells.push_back(ch);
      }
    }
  }
  t.elems.resize(mesh.nelem);
  for (int e = 0; e < mesh.nelem; ++e) t.elems[e] = eid[e] + 1;
  t.points = pid;

  // Lists of the target cells.
  const std::size_t nc = t.cells.size();
  t.coarse.assign(nc, {});
  t.neigh.assign(nc, {});
  t.inter.assign(nc, {});
  for (std::size_t c = 0; c < nc; ++c) {
    const FieldCell& b = t.cells[c];
    if (b.te == b.tb || b.level < 2) continue;
    const FieldCell& p = t.cells[b.parent];
    for (long dx = -1; dx <= 1; ++dx)
      for (long dy = -1; dy <= 1; ++dy)
        for (long dz = -1; dz <= 1; ++dz) {
          const int q = t.find(p.level, p.ix + dx, p.iy + dy, p.iz + dz);
          if (q < 0 || t.cells[q].role == 0) continue;
          if (t.cells[q].role == 2) {
            t.coarse[c].push_back(q);
            continue;
          }
          for (int o = 0; o < 8; ++o) {
            const int ch = t.cells[q].child[o];
            if (ch < 0 || t.cells[ch].role == 0) continue;
            const FieldCell& f = t.cells[ch];
            const bool adj = std::abs(f.ix - b.ix) <= 1 && std::abs(f.iy - b.iy) <= 1 &&
                             std::abs(f.iz - b.iz) <= 1;
            (adj ? t.neigh[c] : t.inter[c]).push_back(ch);
          }
        }
  }
  return t;
}

}  // namespace velmora
