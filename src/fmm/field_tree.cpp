#include "fmm/field_tree.hpp"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

// Points farther than this many root edges from the root's corner keep a
// cell of their own (their deepest indices would not fit 64 bits).
constexpr double kGridReach = 549755813888.0;  // 2^39

using Key = FieldTree::Key;

// Stable partition of ids[b..e) into the eight octants by bit `bit` of
// their deepest-level indices g (3 per item; the bit of a negative index is
// that of its two's complement, so octant o of cell i is child 2i + o);
// returns the octant bounds.
std::array<int, 9> partition(std::vector<int>& ids, int b, int e, const std::vector<std::int64_t>& g,
                             int bit, std::vector<int>& tmp) {
  std::array<int, 9> cnt{};
  auto oct = [&](int id) {
    const std::int64_t* q = &g[3 * static_cast<std::size_t>(id)];
    return static_cast<int>(((q[0] >> bit) & 1) | (((q[1] >> bit) & 1) << 1) |
                            (((q[2] >> bit) & 1) << 2));
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

bool adjacent(const FieldCell& a, std::int64_t i, std::int64_t j, std::int64_t k) {
  return std::abs(a.ix - i) <= 1 && std::abs(a.iy - j) <= 1 && std::abs(a.iz - k) <= 1;
}

}  // namespace

int FieldTree::find(int level, std::int64_t i, std::int64_t j, std::int64_t k) const {
  if (level < 0 || level >= static_cast<int>(grid.size())) return -1;
  const auto& g = grid[level];
  const Key key{i, j, k};
  auto it = std::lower_bound(g.begin(), g.end(), key,
                             [](const std::pair<Key, int>& a, const Key& b) { return a.first < b; });
  return (it != g.end() && it->first == key) ? it->second : -1;
}

FieldTree build_field_tree(const Tree& src, int maxl, int minlev, int nelem, int n,
                           const double* xyz, int maxp, int maxdep) {
  FieldTree t;
  const int nsrc = *src.nlev;
  const int D = std::clamp(maxdep, 2, 22);  // deepest level of the targets
  const int L = std::max(D, nsrc);          // deepest level of any cell
  const double s0 = src.size(0);
  for (int k = 0; k < 3; ++k) t.corner[k] = src.cen(1, k + 1) - s0 / 2.0;
  t.size.resize(L + 1);
  for (int l = 0; l <= L; ++l) t.size[l] = s0 / std::ldexp(1.0, l);  // as MKTREE's
  auto role_of = [&](int c, int lev) { return is_leaf(src, c, lev, maxl, minlev) ? 2 : 1; };

  // Deepest-level indices of the points; the distant ones apart.
  std::vector<std::int64_t> g(3 * static_cast<std::size_t>(n));
  std::vector<int> pid, lone, tmp;
  for (int p = 0; p < n; ++p) {
    bool near = true;
    for (int c = 0; c < 3; ++c) {
      const double rel = (xyz[3 * static_cast<std::size_t>(p) + c] - t.corner[c]) / s0;
      near = near && std::fabs(rel) <= kGridReach;
      if (near)
        g[3 * static_cast<std::size_t>(p) + c] =
            static_cast<std::int64_t>(std::floor(std::ldexp(rel, D)));
    }
    (near ? pid : lone).push_back(p);
  }
  auto index_at = [&](int p, int lev) {
    const std::int64_t* q = &g[3 * static_cast<std::size_t>(p)];
    const int sh = D - lev;
    return Key{q[0] >> sh, q[1] >> sh, q[2] >> sh};
  };

  // Level 0: the root (source cell 1 and the points in its cube), the other
  // cubes of points in index order, then the lone points.
  {
    std::vector<std::pair<Key, int>> k0(pid.size());
    for (std::size_t i = 0; i < pid.size(); ++i) k0[i] = {index_at(pid[i], 0), pid[i]};
    std::sort(k0.begin(), k0.end());  // (the point's number breaks ties: a stable order)
    for (std::size_t i = 0; i < pid.size(); ++i) pid[i] = k0[i].second;
  }
  FieldCell root;
  root.src = 1;
  root.sb = src.fst(1) - 1;
  root.se = src.lst(1);
  root.role = nelem > 0 ? role_of(1, 0) : 0;
  for (int k = 0; k < 3; ++k) root.cen[k] = src.cen(1, k + 1);
  t.cells.push_back(root);
  for (std::size_t a = 0; a < pid.size();) {
    std::size_t b = a + 1;
    const Key key = index_at(pid[a], 0);
    while (b < pid.size() && index_at(pid[b], 0) == key) ++b;
    FieldCell* c = nullptr;
    if (key == Key{0, 0, 0}) {
      c = &t.cells[0];
    } else {
      t.cells.emplace_back();
      c = &t.cells.back();
      c->ix = key[0];
      c->iy = key[1];
      c->iz = key[2];
      for (int k = 0; k < 3; ++k) c->cen[k] = t.corner[k] + (static_cast<double>(key[k]) + 0.5) * s0;
    }
    c->tb = static_cast<int>(a);
    c->te = static_cast<int>(b);
    a = b;
  }
  for (int p : lone) {
    FieldCell c;
    c.lone = true;
    c.tb = static_cast<int>(pid.size());
    c.te = c.tb + 1;
    for (int k = 0; k < 3; ++k) c.cen[k] = xyz[3 * static_cast<std::size_t>(p) + k];
    t.cells.push_back(c);
    pid.push_back(p);
  }

  t.levfst = {0};
  for (int l = 0;; ++l) {
    const int first = t.levfst[l], last = static_cast<int>(t.cells.size());
    if (first == last) break;
    t.grid.emplace_back();
    for (int c = first; c < last; ++c)
      if (!t.cells[c].lone)
        t.grid[l].emplace_back(Key{t.cells[c].ix, t.cells[c].iy, t.cells[c].iz}, c);
    std::sort(t.grid[l].begin(), t.grid[l].end());
    t.levfst.push_back(last);  // level l+1 starts after level l
    // Which target cells of this level split.
    for (int c = first; c < last; ++c) {
      FieldCell& b = t.cells[c];
      if (b.te == b.tb || b.lone || l >= D) continue;
      bool split = b.te - b.tb > maxp;
      for (std::int64_t dx = -1; dx <= 1 && !split; ++dx)
        for (std::int64_t dy = -1; dy <= 1 && !split; ++dy)
          for (std::int64_t dz = -1; dz <= 1 && !split; ++dz) {
            const int q = t.find(l, b.ix + dx, b.iy + dy, b.iz + dz);
            split = q >= 0 && t.cells[q].role == 1;
          }
      b.target_split = split;
    }
    if (l >= L) continue;
    const double half = t.size[l + 1];
    for (int c = first; c < last; ++c) {
      const bool srcsplit = t.cells[c].role == 1, tgt = t.cells[c].target_split;
      if (!srcsplit && !tgt) continue;
      int sch[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      if (srcsplit) {
        for (int o = 1; o <= 8; ++o) {
          const int ch = src.child(t.cells[c].src, o);
          if (ch == 0) continue;
          // The child's octant from its centre (half a cell from any face).
          const std::int64_t i[3] = {
              static_cast<std::int64_t>(std::floor((src.cen(ch, 1) - t.corner[0]) / half)),
              static_cast<std::int64_t>(std::floor((src.cen(ch, 2) - t.corner[1]) / half)),
              static_cast<std::int64_t>(std::floor((src.cen(ch, 3) - t.corner[2]) / half))};
          const int oct = static_cast<int>((i[0] - 2 * t.cells[c].ix) |
                                           ((i[1] - 2 * t.cells[c].iy) << 1) |
                                           ((i[2] - 2 * t.cells[c].iz) << 2));
          sch[oct & 7] = ch;
        }
      }
      std::array<int, 9> pb{};
      if (tgt) pb = partition(pid, t.cells[c].tb, t.cells[c].te, g, D - l - 1, tmp);
      for (int o = 0; o < 8; ++o) {
        const int np = tgt ? pb[o + 1] - pb[o] : 0;
        if (sch[o] == 0 && np == 0) continue;
        FieldCell ch;
        ch.level = l + 1;
        ch.parent = c;
        ch.ix = 2 * t.cells[c].ix + (o & 1);
        ch.iy = 2 * t.cells[c].iy + ((o >> 1) & 1);
        ch.iz = 2 * t.cells[c].iz + ((o >> 2) & 1);
        if (sch[o] != 0) {
          ch.src = sch[o];
          ch.sb = src.fst(sch[o]) - 1;
          ch.se = src.lst(sch[o]);
          ch.role = role_of(sch[o], l + 1);
          for (int k = 0; k < 3; ++k) ch.cen[k] = src.cen(sch[o], k + 1);
        } else {
          ch.cen[0] = t.corner[0] + (static_cast<double>(ch.ix) + 0.5) * half;
          ch.cen[1] = t.corner[1] + (static_cast<double>(ch.iy) + 0.5) * half;
          ch.cen[2] = t.corner[2] + (static_cast<double>(ch.iz) + 0.5) * half;
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
  t.elems.resize(nelem);
  for (int pos = 1; pos <= nelem; ++pos) t.elems[pos - 1] = src.elord(pos);
  t.points = pid;

  // Lists of the target cells.
  const std::size_t nc = t.cells.size();
  t.coarse.assign(nc, {});
  t.neigh.assign(nc, {});
  t.inter.assign(nc, {});
  for (std::size_t c = 0; c < nc; ++c) {
    const FieldCell& b = t.cells[c];
    if (b.te == b.tb || t.cells[0].role == 0) continue;
    if (b.level == 0) {
      const bool adj = !b.lone && adjacent(b, 0, 0, 0);
      (adj ? t.neigh[c] : t.inter[c]).push_back(0);
      continue;
    }
    const FieldCell& p = t.cells[b.parent];
    for (std::int64_t dx = -1; dx <= 1; ++dx)
      for (std::int64_t dy = -1; dy <= 1; ++dy)
        for (std::int64_t dz = -1; dz <= 1; ++dz) {
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
            (adjacent(b, f.ix, f.iy, f.iz) ? t.neigh[c] : t.inter[c]).push_back(ch);
          }
        }
  }
  return t;
}

}  // namespace velmora
