#include "bem/mesh_check.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace velmora {
namespace {

// Fibonacci hashing: the top bits of key * 2^64 / golden ratio.
inline std::uint64_t mix(std::uint64_t key) {
  return key * 0x9E3779B97F4A7C15ull;
}

// Smallest power of two not below n (n >= 1).
std::size_t pow2_at_least(std::size_t n) {
  std::size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

// Cell coordinate of x on a grid of spacing h, held inside +-2^60 so that
// far or huge coordinates neither overflow nor wrap.
std::int64_t cell_of(double x, double h) {
  const double q = std::floor(x / h);
  constexpr double kLimit = 1152921504606846976.0;  // 2^60
  if (!(q > -kLimit)) return -(std::int64_t{1} << 60);
  if (!(q < kLimit)) return std::int64_t{1} << 60;
  return static_cast<std::int64_t>(q);
}

std::uint64_t cell_hash(std::int64_t i, std::int64_t j, std::int64_t k) {
  return mix(static_cast<std::uint64_t>(i) ^
             mix(static_cast<std::uint64_t>(j) ^ mix(static_cast<std::uint64_t>(k))));
}

}  // namespace

EdgeFaults count_edge_faults(int nelem, const int* ielem) {
  EdgeFaults f;
  if (nelem < 1) return f;
  // An undirected edge {a, b} is the key lo << 32 | hi (never 0, nodes are
  // at least 1).  Its state byte counts the uses (bits 0-1, held at 3) and
  // the uses that run it from lo to hi (bits 2-3, held at 3).  At most
  // 3 nelem distinct edges, so the table is at most three quarters full.
  const std::size_t cap = pow2_at_least(4 * static_cast<std::size_t>(nelem));
  int shift = 64;
  for (std::size_t c = cap; c > 1; c >>= 1) --shift;
  const std::size_t mask = cap - 1;
  std::vector<std::uint64_t> key(cap, 0);
  std::vector<unsigned char> state(cap, 0);
  const long ne = nelem;
  for (long e = 0; e < ne; ++e)
    for (int v = 0; v < 3; ++v) {
      const auto a = static_cast<std::uint32_t>(ielem[e + v * ne]);
      const auto b = static_cast<std::uint32_t>(ielem[e + ((v + 1) % 3) * ne]);
      const std::uint64_t lo = std::min(a, b), hi = std::max(a, b);
      const std::uint64_t k = (lo << 32) | hi;
      std::size_t s = shift < 64 ? static_cast<std::size_t>(mix(k) >> shift) : 0;
      while (key[s] != 0 && key[s] != k) s = (s + 1) & mask;
      key[s] = k;
      unsigned char& st = state[s];
      if ((st & 3) < 3) ++st;
      if (a < b && ((st >> 2) & 3) < 3) st = static_cast<unsigned char>(st + 4);
    }
  for (std::size_t s = 0; s < cap; ++s) {
    if (key[s] == 0) continue;
    ++f.edges;
    const int uses = state[s] & 3, forward = (state[s] >> 2) & 3;
    if (uses == 1)
      ++f.open;
    else if (uses == 3)
      ++f.nonmanifold;
    else if (forward != 1)
      ++f.inconsistent;
  }
  return f;
}

namespace {

// Calls visit(e, f, d2) for every pair of elements whose collocation points
// lie closer than fraction times the smaller of their sizes sqrt(area),
// d2 the squared distance, from the smaller element e (ties: the lower
// number).  Sizes are sorted into classes within a factor two; class s holds
// the sizes in [2^s, 2^(s+1)) and its hashed grid has cells of
// cell_factor * fraction * 2^s (cell_factor >= 4: at least twice the
// largest search radius of the class), so that a pair is sought from its
// smaller element in its own and the larger classes, where its search box
// meets at most two cells along each axis.  Time linear in nelem times the
// number of size classes, whatever the grading or extent.  Elements of no
// finite size or normal (coordinates near the overflow) take no part.
template <class Visit>
void visit_close_pairs(const MeshView& mesh, double fraction, double cell_factor, Visit&& visit) {
  const int ne = mesh.nelem;
  if (ne < 2 || !(fraction > 0.0)) return;
  std::vector<double> size(ne);
  std::vector<int> cls(ne);
  std::vector<char> usable(ne, 0);
  for (int e = 1; e <= ne; ++e) {
    const ElementGeometry g = element_geometry(mesh, e);
    size[e - 1] = std::sqrt(g.area);
    bool ok = std::isfinite(size[e - 1]) && size[e - 1] > 0.0;
    for (int c = 0; c < 3; ++c)
      ok = ok && std::isfinite(g.normal[c]) && std::isfinite(mesh.col(e, c + 1));
    usable[e - 1] = ok ? 1 : 0;
    cls[e - 1] = ok ? std::ilogb(size[e - 1]) : 0;
  }
  auto cell_size = [&](int c) { return cell_factor * fraction * std::ldexp(1.0, c); };
  auto key_of = [&](int c, std::int64_t i, std::int64_t j, std::int64_t k) {
    return cell_hash(i, j, k) ^ mix(static_cast<std::uint64_t>(static_cast<std::int64_t>(c)) + 1);
  };

  // Elements sorted by the key of their class and cell, an open-addressing
  // table from a key to the first element with it, and the classes present.
  std::vector<std::pair<std::uint64_t, int>> binned;
  std::vector<int> classes;
  binned.reserve(ne);
  for (int e = 1; e <= ne; ++e) {
    if (!usable[e - 1]) continue;
    const int c = cls[e - 1];
    const double h = cell_size(c);
    binned.push_back({key_of(c, cell_of(mesh.col(e, 1), h), cell_of(mesh.col(e, 2), h),
                             cell_of(mesh.col(e, 3), h)),
                      e});
    classes.push_back(c);
  }
  std::sort(binned.begin(), binned.end());
  std::sort(classes.begin(), classes.end());
  classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
  const int nb = static_cast<int>(binned.size());
  const std::size_t cap = pow2_at_least(2 * static_cast<std::size_t>(nb) + 2);
  int shift = 64;
  for (std::size_t c = cap; c > 1; c >>= 1) --shift;
  const std::size_t mask = cap - 1;
  std::vector<std::uint64_t> slot_key(cap, 0);
  std::vector<int> slot_first(cap, -1);
  auto slot_of = [&](std::uint64_t key) {
    std::size_t s = static_cast<std::size_t>(mix(key) >> shift);
    while (slot_first[s] >= 0 && slot_key[s] != key) s = (s + 1) & mask;
    return s;
  };
  for (int i = 0; i < nb; ++i) {
    if (i > 0 && binned[i].first == binned[i - 1].first) continue;
    const std::size_t s = slot_of(binned[i].first);
    slot_key[s] = binned[i].first;
    slot_first[s] = i;
  }

  std::uint64_t near[8];
  for (int e = 1; e <= ne; ++e) {
    if (!usable[e - 1]) continue;
    const double he = size[e - 1], reach = fraction * he;
    for (auto c = std::lower_bound(classes.begin(), classes.end(), cls[e - 1]); c != classes.end();
         ++c) {
      const double h = cell_size(*c);
      std::int64_t lo[3], hi[3];
      for (int a = 0; a < 3; ++a) {
        lo[a] = cell_of(mesh.col(e, a + 1) - reach, h);
        hi[a] = std::min(cell_of(mesh.col(e, a + 1) + reach, h), lo[a] + 1);
      }
      int nn = 0;
      for (int di = 0; di < 2; ++di)
        for (int dj = 0; dj < 2; ++dj)
          for (int dk = 0; dk < 2; ++dk)
            if (lo[0] + di <= hi[0] && lo[1] + dj <= hi[1] && lo[2] + dk <= hi[2]) {
              // Two cells of the box with one key would offer their points twice.
              const std::uint64_t key = key_of(*c, lo[0] + di, lo[1] + dj, lo[2] + dk);
              if (std::find(near, near + nn, key) == near + nn) near[nn++] = key;
            }
      for (int t = 0; t < nn; ++t) {
        const std::size_t s = slot_of(near[t]);
        if (slot_first[s] < 0) continue;
        for (int i = slot_first[s]; i < nb && binned[i].first == near[t]; ++i) {
          const int f = binned[i].second;
          const double hf = size[f - 1];
          if (hf < he || (hf == he && f <= e)) continue;
          double d2 = 0.0;
          for (int a = 1; a <= 3; ++a) {
            const double d = mesh.col(e, a) - mesh.col(f, a);
            d2 += d * d;
          }
          if (d2 < reach * reach) visit(e, f, d2);
        }
      }
    }
  }
}

}  // namespace

std::int64_t count_facing_pairs(const MeshView& mesh, double fraction) {
  std::int64_t pairs = 0;
  visit_close_pairs(mesh, fraction, 8.0, [&](int e, int f, double) {
    const ElementGeometry ge = element_geometry(mesh, e), gf = element_geometry(mesh, f);
    if (ge.normal[0] * gf.normal[0] + ge.normal[1] * gf.normal[1] + ge.normal[2] * gf.normal[2] <
        -0.9)
      ++pairs;
  });
  return pairs;
}

BodyGap closest_gap(const MeshView& mesh, const std::vector<int>& body_of, double fraction) {
  BodyGap g;
  double best = 0.0;
  visit_close_pairs(mesh, fraction, 4.0, [&](int e, int f, double d2) {
    if (body_of[e - 1] == body_of[f - 1]) return;
    if (g.found && !(d2 < best)) return;
    g.found = true;
    best = d2;
    g.e = e;
    g.f = f;
  });
  if (g.found) {
    g.gap = std::sqrt(best);
    g.size = std::sqrt(element_geometry(mesh, g.e).area);
  }
  return g;
}

}  // namespace velmora
