#include "toolkit/surface.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <utility>

namespace velmora::tools {
namespace {

using P3 = std::array<double, 3>;

P3 point(const SurfaceMesh& m, int k) {
  return {m.x(k, 1), m.x(k, 2), m.x(k, 3)};
}
P3 sub(const P3& a, const P3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
P3 cross(const P3& a, const P3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const P3& a, const P3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
double norm(const P3& a) {
  return std::sqrt(dot(a, a));
}

int& node_ref(SurfaceMesh& m, int e, int v) {
  return m.ielem[(e - 1) + (v - 1) * static_cast<std::size_t>(m.nelem)];
}

// One use of an undirected edge by an element: the edge's key (smaller node
// in the high half), the element, and whether the element runs along it from
// the smaller node to the larger.
struct EdgeUse {
  std::uint64_t key;
  int elem;
  bool forward;
};

std::vector<EdgeUse> edge_uses(const SurfaceMesh& m) {
  std::vector<EdgeUse> uses;
  uses.reserve(3 * static_cast<std::size_t>(m.nelem));
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) {
      const int a = m.node(e, v), b = m.node(e, v % 3 + 1);
      const auto lo = static_cast<std::uint64_t>(std::min(a, b));
      const auto hi = static_cast<std::uint64_t>(std::max(a, b));
      uses.push_back({(lo << 32) | hi, e, a < b});
    }
  std::stable_sort(uses.begin(), uses.end(),
                   [](const EdgeUse& x, const EdgeUse& y) { return x.key < y.key; });
  return uses;
}

// Calls f(first, count) for every run of uses of one edge.
template <class F>
void for_each_edge(const std::vector<EdgeUse>& uses, F f) {
  for (std::size_t i = 0; i < uses.size();) {
    std::size_t j = i + 1;
    while (j < uses.size() && uses[j].key == uses[i].key) ++j;
    f(i, j - i);
    i = j;
  }
}

int find_root(std::vector<int>& parent, int i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

// Signed volume of the elements of body b, about a point of the body so that
// its size, not its distance from the origin, sets the rounding.
double body_signed_volume(const SurfaceMesh& m, const Bodies& bodies, int b, const P3& ref) {
  double v = 0;
  for (int e = 1; e <= m.nelem; ++e) {
    if (bodies.body[e - 1] != b) continue;
    const P3 x1 = sub(point(m, m.node(e, 1)), ref), x2 = sub(point(m, m.node(e, 2)), ref),
             x3 = sub(point(m, m.node(e, 3)), ref);
    v += dot(x1, cross(x2, x3));
  }
  return v / 6.0;
}

std::vector<P3> body_reference_points(const SurfaceMesh& m, const Bodies& bodies) {
  std::vector<P3> lo(bodies.count, P3{1e300, 1e300, 1e300}),
      hi(bodies.count, P3{-1e300, -1e300, -1e300});
  for (int e = 1; e <= m.nelem; ++e) {
    const int b = bodies.body[e - 1] - 1;
    for (int v = 1; v <= 3; ++v)
      for (int c = 0; c < 3; ++c) {
        const double x = m.x(m.node(e, v), c + 1);
        lo[b][c] = std::min(lo[b][c], x);
        hi[b][c] = std::max(hi[b][c], x);
      }
  }
  std::vector<P3> ref(bodies.count);
  for (int b = 0; b < bodies.count; ++b)
    for (int c = 0; c < 3; ++c) ref[b][c] = 0.5 * (lo[b][c] + hi[b][c]);
  return ref;
}

// Open, non-manifold and inconsistently oriented edges per body.
struct EdgeStats {
  int open = 0, nonmanifold = 0, inconsistent = 0;
};

std::vector<EdgeStats> edge_stats(const SurfaceMesh& m, const Bodies& bodies) {
  std::vector<EdgeStats> s(bodies.count);
  const std::vector<EdgeUse> uses = edge_uses(m);
  for_each_edge(uses, [&](std::size_t i, std::size_t n) {
    EdgeStats& t = s[bodies.body[uses[i].elem - 1] - 1];
    if (n == 1) ++t.open;
    if (n > 2) ++t.nonmanifold;
    if (n == 2 && uses[i].forward == uses[i + 1].forward) ++t.inconsistent;
  });
  return s;
}

}  // namespace

Bodies find_bodies(const SurfaceMesh& m) {
  std::vector<int> parent(m.nelem);
  std::iota(parent.begin(), parent.end(), 0);
  const std::vector<EdgeUse> uses = edge_uses(m);
  for_each_edge(uses, [&](std::size_t i, std::size_t n) {
    for (std::size_t k = 1; k < n; ++k) {
      const int a = find_root(parent, uses[i].elem - 1),
                b = find_root(parent, uses[i + k].elem - 1);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  });
  Bodies bodies;
  bodies.body.assign(m.nelem, 0);
  std::vector<int> number(m.nelem, 0);
  for (int e = 0; e < m.nelem; ++e) {
    const int r = find_root(parent, e);
    if (number[r] == 0) number[r] = ++bodies.count;
    bodies.body[e] = number[r];
  }
  return bodies;
}

std::vector<BodyCheck> orient_for_exterior_flow(SurfaceMesh& m, const Bodies& bodies) {
  return orient_bodies(m, bodies, std::vector<char>(bodies.count, 0));
}

std::vector<BodyCheck> orient_bodies(SurfaceMesh& m, const Bodies& bodies,
                                     const std::vector<char>& interior) {
  std::vector<BodyCheck> checks(bodies.count);
  for (int e = 1; e <= m.nelem; ++e) ++checks[bodies.body[e - 1] - 1].nelem;

  // Neighbours across manifold edges, with whether the two elements run the
  // shared edge in the same direction (then one of them must be reversed).
  struct Link {
    int other;
    bool same;
  };
  std::vector<std::vector<Link>> links(m.nelem + 1);
  const std::vector<EdgeUse> uses = edge_uses(m);
  for_each_edge(uses, [&](std::size_t i, std::size_t n) {
    BodyCheck& c = checks[bodies.body[uses[i].elem - 1] - 1];
    if (n == 1) ++c.open_edges;
    if (n > 2) ++c.nonmanifold_edges;
    if (n != 2) return;
    const EdgeUse &a = uses[i], &b = uses[i + 1];
    const bool same = a.forward == b.forward;
    links[a.elem].push_back({b.elem, same});
    links[b.elem].push_back({a.elem, same});
  });

  // Breadth-first propagation from the first element of each body.
  std::vector<char> flip(m.nelem + 1, 0), seen(m.nelem + 1, 0);
  std::vector<int> queue;
  for (int s = 1; s <= m.nelem; ++s) {
    if (seen[s]) continue;
    seen[s] = 1;
    queue.assign(1, s);
    for (std::size_t q = 0; q < queue.size(); ++q) {
      const int e = queue[q];
      for (const Link& l : links[e]) {
        const char want = static_cast<char>(flip[e] ^ (l.same ? 1 : 0));
        if (!seen[l.other]) {
          seen[l.other] = 1;
          flip[l.other] = want;
          queue.push_back(l.other);
        } else if (flip[l.other] != want) {
          checks[bodies.body[e - 1] - 1].orientable = false;
        }
      }
    }
  }
  for (int e = 1; e <= m.nelem; ++e)
    if (flip[e]) std::swap(node_ref(m, e, 2), node_ref(m, e, 3));

  // Closed bodies: normals into the body (negative signed volume), or, for
  // a container, out of the enclosed fluid (positive signed volume).
  const std::vector<P3> ref = body_reference_points(m, bodies);
  for (int b = 1; b <= bodies.count; ++b) {
    BodyCheck& c = checks[b - 1];
    c.interior = b <= static_cast<int>(interior.size()) && interior[b - 1] != 0;
    c.signed_volume = body_signed_volume(m, bodies, b, ref[b - 1]);
    if (!c.closed() || (c.interior ? c.signed_volume >= 0 : c.signed_volume <= 0)) continue;
    for (int e = 1; e <= m.nelem; ++e)
      if (bodies.body[e - 1] == b) {
        std::swap(node_ref(m, e, 2), node_ref(m, e, 3));
        flip[e] ^= 1;
      }
    c.signed_volume = -c.signed_volume;
  }
  for (int e = 1; e <= m.nelem; ++e)
    if (flip[e]) ++checks[bodies.body[e - 1] - 1].flipped;
  return checks;
}

std::vector<BodyGeometry> body_geometry(const SurfaceMesh& m, const Bodies& bodies) {
  std::vector<BodyGeometry> g(bodies.count);
  const std::vector<EdgeStats> stats = edge_stats(m, bodies);
  const std::vector<P3> ref = body_reference_points(m, bodies);
  std::vector<double> vol(bodies.count, 0.0);
  std::vector<P3> vmom(bodies.count, P3{0, 0, 0}), amom(bodies.count, P3{0, 0, 0});
  for (int e = 1; e <= m.nelem; ++e) {
    const int b = bodies.body[e - 1] - 1;
    const P3 x1 = sub(point(m, m.node(e, 1)), ref[b]), x2 = sub(point(m, m.node(e, 2)), ref[b]),
             x3 = sub(point(m, m.node(e, 3)), ref[b]);
    const double area = 0.5 * norm(cross(sub(x2, x1), sub(x3, x1)));
    const double v = dot(x1, cross(x2, x3)) / 6.0;  // tetrahedron (ref, x1, x2, x3)
    ++g[b].nelem;
    g[b].area += area;
    vol[b] += v;
    for (int c = 0; c < 3; ++c) {
      const double s = x1[c] + x2[c] + x3[c];
      amom[b][c] += area * s / 3.0;
      vmom[b][c] += v * s / 4.0;
    }
  }
  for (int b = 0; b < bodies.count; ++b) {
    const EdgeStats& s = stats[b];
    g[b].closed = s.open == 0 && s.nonmanifold == 0 && s.inconsistent == 0 && vol[b] != 0.0;
    if (g[b].closed) {
      g[b].volume = std::fabs(vol[b]);
      for (int c = 0; c < 3; ++c) g[b].centroid[c] = ref[b][c] + vmom[b][c] / vol[b];
    } else {
      for (int c = 0; c < 3; ++c)
        g[b].centroid[c] = ref[b][c] + (g[b].area > 0 ? amom[b][c] / g[b].area : 0.0);
    }
  }
  return g;
}

void drop_unused_nodes(SurfaceMesh& m) {
  std::vector<int> renum(m.nnode + 1, 0);
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) renum[m.node(e, v)] = 1;
  int n = 0;
  for (int k = 1; k <= m.nnode; ++k)
    if (renum[k]) renum[k] = ++n;
  if (n == m.nnode) return;
  std::vector<double> x(3 * static_cast<std::size_t>(n));
  for (int k = 1; k <= m.nnode; ++k)
    if (renum[k])
      for (int c = 1; c <= 3; ++c)
        x[(renum[k] - 1) + (c - 1) * static_cast<std::size_t>(n)] = m.x(k, c);
  for (int& node : m.ielem) node = renum[node];
  m.xnode.swap(x);
  m.nnode = n;
}

int merge_coincident_nodes(SurfaceMesh& m, double tol) {
  const int n0 = m.nnode;
  std::vector<int> order(m.nnode);
  std::iota(order.begin(), order.end(), 1);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return m.x(a, 1) < m.x(b, 1); });
  std::vector<int> rep(m.nnode + 1);
  std::iota(rep.begin(), rep.end(), 0);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const int a = order[i];
    const P3 pa = point(m, a);
    for (std::size_t j = i + 1; j < order.size() && m.x(order[j], 1) - pa[0] <= tol; ++j) {
      const int b = order[j];
      if (norm(sub(point(m, b), pa)) > tol) continue;
      // Join the two clusters under the smaller node number.
      int ra = a, rb = b;
      while (rep[ra] != ra) ra = rep[ra];
      while (rep[rb] != rb) rb = rep[rb];
      if (ra != rb) rep[std::max(ra, rb)] = std::min(ra, rb);
    }
  }
  for (int& node : m.ielem) {
    int r = node;
    while (rep[r] != r) r = rep[r];
    node = r;
  }
  drop_unused_nodes(m);
  return n0 - m.nnode;
}

int remove_degenerate_elements(SurfaceMesh& m, std::vector<int>* tag, double rel_tol) {
  std::vector<int> keep;
  for (int e = 1; e <= m.nelem; ++e) {
    const int a = m.node(e, 1), b = m.node(e, 2), c = m.node(e, 3);
    if (a == b || b == c || a == c) continue;
    const P3 x1 = point(m, a), x2 = point(m, b), x3 = point(m, c);
    const P3 d = sub(x2, x1), g = sub(x3, x1), h = sub(x3, x2);
    const double lmax = std::max({dot(d, d), dot(g, g), dot(h, h)});
    if (norm(cross(d, g)) <= rel_tol * lmax) continue;
    keep.push_back(e);
  }
  const int removed = m.nelem - static_cast<int>(keep.size());
  if (removed == 0) return 0;
  const int n = static_cast<int>(keep.size());
  std::vector<int> ie(3 * static_cast<std::size_t>(n));
  std::vector<int> t;
  for (int i = 0; i < n; ++i) {
    for (int v = 1; v <= 3; ++v) ie[i + (v - 1) * static_cast<std::size_t>(n)] = m.node(keep[i], v);
    if (tag) t.push_back((*tag)[keep[i] - 1]);
  }
  m.ielem.swap(ie);
  m.nelem = n;
  if (tag) tag->swap(t);
  drop_unused_nodes(m);
  return removed;
}

double extent(const SurfaceMesh& m) {
  double e = 0;
  for (int c = 1; c <= 3; ++c) {
    double lo = 1e300, hi = -1e300;
    for (int k = 1; k <= m.nnode; ++k) {
      lo = std::min(lo, m.x(k, c));
      hi = std::max(hi, m.x(k, c));
    }
    if (m.nnode > 0) e = std::max(e, hi - lo);
  }
  return e;
}

double longest_edge(const SurfaceMesh& m) {
  double l = 0;
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v)
      l = std::max(l, norm(sub(point(m, m.node(e, v % 3 + 1)), point(m, m.node(e, v)))));
  return l;
}

}  // namespace velmora::tools
