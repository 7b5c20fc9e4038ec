#include "fmm/congruent_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <map>
#include <cstdio>

#include "bem/triint.hpp"
#include "fmm/engine.hpp"

namespace velmora {

namespace {

constexpr int kTemplateChunk = 512;  // targets per TRIINT call
constexpr int kRepsPerLayout = 8;    // distinct shapes tried per connectivity

// The one code of every component of the layout's elements, or -1 when they differ.
double uniform_code(const MeshView& mesh, const BodyLayout& l) {
  if (l.elements.empty()) return -1.0;
  const double c = mesh.code(l.elements.front(), 1);
  for (const int e : l.elements)
    for (int k = 1; k <= 3; ++k)
      if (mesh.code(e, k) != c) return -1.0;
  return c;
}

double shortest_edge(const MeshView& mesh, const BodyLayout& l) {
  double h = INFINITY;
  for (const int e : l.elements)
    for (int v = 1; v <= 3; ++v) {
      const int a = mesh.node(e, v), b = mesh.node(e, v % 3 + 1);
      double d2 = 0.0;
      for (int k = 1; k <= 3; ++k) d2 += (mesh.x(a, k) - mesh.x(b, k)) * (mesh.x(a, k) - mesh.x(b, k));
      h = std::min(h, std::sqrt(d2));
    }
  return h;
}

// Storage slots of a body's local elements along a Morton curve through
// their centroids, so that a cell's targets, close together, take nearby
// blocks of a source's row.
std::vector<int> morton_slots(const MeshView& mesh, const BodyLayout& l) {
  const std::size_t n = l.elements.size();
  std::vector<double> c(3 * n);
  double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (std::size_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      c[3 * i + k] = mesh.col(l.elements[i], k + 1);
      lo[k] = std::min(lo[k], c[3 * i + k]);
      hi[k] = std::max(hi[k], c[3 * i + k]);
    }
  const double span = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1e-300});
  std::vector<std::pair<std::uint64_t, int>> key(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t m = 0;
    std::uint32_t q[3];
    for (int k = 0; k < 3; ++k)
      q[k] = static_cast<std::uint32_t>(std::min(1023.0, std::floor(1024.0 * (c[3 * i + k] - lo[k]) / span)));
    for (int bit = 9; bit >= 0; --bit)
      for (int k = 0; k < 3; ++k) m = (m << 1) | ((q[k] >> bit) & 1u);
    key[i] = {m, static_cast<int>(i)};
  }
  std::sort(key.begin(), key.end());
  std::vector<int> slot(n);
  for (std::size_t j = 0; j < n; ++j) slot[key[j].second] = static_cast<int>(j);
  return slot;
}

// The dense folded blocks of one body: source by source, every target, at
// their slots.
std::vector<float> self_blocks(const MeshView& mesh, const BodyLayout& l, const std::vector<int>& slot,
                                double code, double mu, double snaptol) {
  const int n = static_cast<int>(l.elements.size());
  std::vector<float> out(6 * static_cast<std::size_t>(n) * n);
  const bool traction = code == 2.0;
#pragma omp parallel
  {
    std::vector<double> reals(kTriintReals * kTemplateChunk);
    std::vector<int> ints(kTriintInts * kTemplateChunk), ltarg(kTemplateChunk + 1);
    NearCoef c{};
    TriintWork w{};
    carve_triint_arrays(reals.data(), ints.data(), kTemplateChunk, c, w);
#pragma omp for schedule(dynamic, 4)
    for (int s = 0; s < n; ++s) {
      for (int t0 = 0; t0 < n; t0 += kTemplateChunk) {
        const int nt = std::min(kTemplateChunk, n - t0);
        ltarg[0] = nt;
        for (int i = 0; i < nt; ++i) ltarg[1 + i] = l.elements[t0 + i];
        double normal[3];
        TRIINT(mesh, mu, snaptol, ltarg.data(), c, w, normal, l.elements[s]);
        for (int i = 0; i < nt; ++i) {
          float* blk = out.data() + 6 * (static_cast<std::size_t>(slot[s]) * n + slot[t0 + i]);
          if (traction) {
            blk[0] = c.t[0][i], blk[1] = c.t[1][i], blk[2] = c.t[2][i];
            blk[3] = c.t[4][i], blk[4] = c.t[5][i], blk[5] = c.t[8][i];
          } else {
            for (int q = 0; q < 6; ++q) blk[q] = -c.u[q][i];
          }
        }
      }
    }
  }
  return out;
}

}  // namespace

std::shared_ptr<const CongruentTemplates> CongruentTemplates::build(
    const MeshView& mesh, const int* body, int nbody, const EngineParams& par, double uses,
    std::size_t budget_bytes) {
  auto out = std::make_shared<CongruentTemplates>();
  const std::vector<BodyLayout> layouts = body_layouts(mesh, body, nbody);
  // Classes: bodies of one connectivity, split by shape (a fit to the
  // class's first member).
  struct Class {
    int first = 0;
    std::vector<double> nodes;
    double h = 0.0, code = 0.0;
    std::vector<int> members;
  };
  std::vector<Class> classes;
  std::map<std::vector<int>, std::vector<int>> by_layout;  // local connectivity -> classes
  for (int b = 1; b <= nbody; ++b) {
    const BodyLayout& l = layouts[b - 1];
    const double code = uniform_code(mesh, l);
    if (code < 0.0) continue;
    std::vector<int>& cls = by_layout[l.local];
    const std::vector<double> nodes = centred_nodes(mesh, l);
    bool placed = false;
    for (const int k : cls) {
      Class& c = classes[k];
      if (c.code != code) continue;
      const RigidFit f = fit_rotation(c.nodes.data(), nodes.data(), static_cast<int>(l.nodes.size()));
      if (f.residual <= kPlaceTolerance * c.h) {
        c.members.push_back(b);
        placed = true;
        break;
      }
    }
    if (placed || static_cast<int>(cls.size()) >= kRepsPerLayout) continue;
    Class c;
    c.first = b;
    c.nodes = nodes;
    c.h = shortest_edge(mesh, l);
    c.code = code;
    c.members.push_back(b);
    cls.push_back(static_cast<int>(classes.size()));
    classes.push_back(std::move(c));
  }
  std::vector<int> order(classes.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return classes[a].members.size() > classes[b].members.size();
  });
  std::size_t used = 0;
  for (const int k : order) {
    Class& c = classes[k];
    const BodyLayout& l = layouts[c.first - 1];
    const std::size_t n = l.elements.size();
    if (static_cast<double>(n) > uses * static_cast<double>(c.members.size())) continue;
    const std::size_t bytes = 6 * sizeof(double) * n * n;
    if (used + bytes > budget_bytes) continue;
    used += bytes;
    Template t;
    t.layout = l;
    t.nodes = std::move(c.nodes);
    t.shortest_edge = c.h;
    t.code = c.code;
    t.mu = par.mu;
    t.snaptol = par.snaptol;
    t.members = std::move(c.members);
    t.slot = morton_slots(mesh, l);
    t.blocks = self_blocks(mesh, l, t.slot, t.code, par.mu, par.snaptol);
    out->tpl_.push_back(std::move(t));
  }
  return out;
}

std::size_t CongruentTemplates::bytes() const {
  std::size_t b = 0;
  for (const Template& t : tpl_) b += sizeof(float) * t.blocks.size();
  return b;
}

PlacedBlocks::PlacedBlocks(std::shared_ptr<const CongruentTemplates> t, const MeshView& mesh,
                           const int* body, int nbody, double mu, double snaptol)
    : t_(std::move(t)),
      placed_(static_cast<std::size_t>(mesh.nelem), -1),
      local_(static_cast<std::size_t>(mesh.nelem), 0),
      class_(static_cast<std::size_t>(nbody), -1),
      rot_(9 * static_cast<std::size_t>(nbody), 0.0),
      turn_(36 * static_cast<std::size_t>(nbody), 0.0) {
  if (!t_ || t_->classes() == 0) return;
  const std::vector<BodyLayout> layouts = body_layouts(mesh, body, nbody);
  for (int k = 0; k < t_->classes(); ++k) {
    const CongruentTemplates::Template& tp = t_->templ(k);
    if (tp.mu != mu || tp.snaptol != snaptol) continue;
    for (const int b : tp.members) {
      if (b < 1 || b > nbody) continue;
      const BodyLayout& l = layouts[b - 1];
      if (l.local != tp.layout.local || uniform_code(mesh, l) != tp.code) continue;
      const std::vector<double> nodes = centred_nodes(mesh, l);
      const RigidFit f = fit_rotation(tp.nodes.data(), nodes.data(), static_cast<int>(l.nodes.size()));
      if (!(f.residual <= CongruentTemplates::kPlaceTolerance * tp.shortest_edge)) continue;
      class_[b - 1] = k;
      std::copy(f.rot, f.rot + 9, &rot_[9 * static_cast<std::size_t>(b - 1)]);
      // (R B Rᵀ)_ij = sum_ab R_ia B_ab R_jb over the six entries of B: an
      // off-diagonal entry ab stands for B_ab and B_ba.
      static constexpr int kRow[6] = {0, 0, 0, 1, 1, 2}, kCol[6] = {0, 1, 2, 1, 2, 2};
      const double* R = f.rot;
      double* T = &turn_[36 * static_cast<std::size_t>(b - 1)];
      for (int q = 0; q < 6; ++q)
        for (int p = 0; p < 6; ++p) {
          const int i = kRow[q], j = kCol[q], a = kRow[p], c = kCol[p];
          T[6 * q + p] = a == c ? R[3 * i + a] * R[3 * j + a]
                                : R[3 * i + a] * R[3 * j + c] + R[3 * i + c] * R[3 * j + a];
        }
      for (std::size_t i = 0; i < l.elements.size(); ++i) {
        placed_[l.elements[i] - 1] = b - 1;
        local_[l.elements[i] - 1] = tp.slot[i];
      }
      ++count_;
    }
  }
}

void PlacedBlocks::block(int b, int t, int s, double out[6]) const {
  const float* B = t_->block(class_[b], local_[t - 1], local_[s - 1]);
  const double F[3][3] = {{B[0], B[1], B[2]}, {B[1], B[3], B[4]}, {B[2], B[4], B[5]}};
  const double* R = &rot_[9 * static_cast<std::size_t>(b)];
  // G = R F, then the upper triangle of G Rᵀ.
  double G[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      G[i][j] = R[3 * i] * F[0][j] + R[3 * i + 1] * F[1][j] + R[3 * i + 2] * F[2][j];
  static constexpr int kRow[6] = {0, 0, 0, 1, 1, 2}, kCol[6] = {0, 1, 2, 1, 2, 2};
  for (int q = 0; q < 6; ++q) {
    const int i = kRow[q], j = kCol[q];
    out[q] = G[i][0] * R[3 * j] + G[i][1] * R[3 * j + 1] + G[i][2] * R[3 * j + 2];
  }
}

}  // namespace velmora
