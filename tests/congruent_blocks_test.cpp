// Near-field blocks shared by rigid copies of a body: the fit that places a
// copy, the turned template blocks against direct integration, and the
// mobility product with and without them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bem/congruence.hpp"
#include "bem/shapes.hpp"
#include "bem/triint.hpp"
#include "fmm/congruent_blocks.hpp"
#include "fmm/engine.hpp"
#include "fmm/partition.hpp"
#include "rigid/rigid_solver.hpp"
#include "toolkit/rigid_problem.hpp"
#include "fmm_support.hpp"
#include "rigid_support.hpp"

namespace velmora {
namespace {

// Rotation about the unit axis a by angle th, row by row.
void axis_rotation(const double a[3], double th, double R[9]) {
  const double c = std::cos(th), s = std::sin(th), v = 1.0 - c;
  const double x = a[0], y = a[1], z = a[2];
  const double M[9] = {c + x * x * v,     x * y * v - z * s, x * z * v + y * s,
                       y * x * v + z * s, c + y * y * v,     y * z * v - x * s,
                       z * x * v - y * s, z * y * v + x * s, c + z * z * v};
  for (int i = 0; i < 9; ++i) R[i] = M[i];
}

// m turned by R about the origin, then moved by d.
SurfaceMesh placed(SurfaceMesh m, const double R[9], const double d[3]) {
  for (int k = 1; k <= m.nnode; ++k) {
    const double p[3] = {m.x(k, 1), m.x(k, 2), m.x(k, 3)};
    for (int i = 0; i < 3; ++i)
      m.xnode[(k - 1) + i * static_cast<std::size_t>(m.nnode)] =
          R[3 * i] * p[0] + R[3 * i + 1] * p[1] + R[3 * i + 2] * p[2] + d[i];
  }
  return m;
}

// Three turned copies of one ellipsoid and, last, the same mesh scaled by
// 1.2: alike in connectivity but not a copy.
struct Copies {
  SurfaceMesh mesh;
  std::vector<int> body;
  Copies() {
    const SurfaceMesh e = ellipsoid(2, 1.0, 0.7, 0.5);
    const double ax[3][3] = {{0, 0, 1}, {0.6, 0.0, 0.8}, {0.48, 0.6, 0.64}};
    const double th[3] = {0.0, 1.1, -2.3};
    const double d[4][3] = {{0, 0, 0}, {3.0, 0.2, 0}, {0.1, 2.6, 0.7}, {-2.5, -0.4, 1.5}};
    for (int c = 0; c < 4; ++c) {
      double R[9];
      axis_rotation(ax[c % 3], th[c % 3], R);
      SurfaceMesh p = placed(e, R, d[c]);
      if (c == 3)
        for (double& v : p.xnode) v *= 1.2;
      if (c == 0)
        mesh = p;
      else
        append_mesh(mesh, p);
      body.insert(body.end(), e.nelem, c + 1);
    }
  }
};

TEST(Congruence, FitFindsTheRotationAndRefusesAMirrorImage) {
  const SurfaceMesh e = ellipsoid(1, 1.0, 0.7, 0.5);
  const double ax[3] = {0.48, 0.6, 0.64}, d[3] = {0, 0, 0};
  double R[9];
  axis_rotation(ax, 2.0, R);
  const SurfaceMesh t = placed(e, R, d);
  std::vector<int> body(e.nelem, 1);
  std::vector<double> xcol(3 * e.nelem);
  const MeshView ve = view_of(e, xcol.data(), nullptr), vt = view_of(t, xcol.data(), nullptr);
  const BodyLayout le = body_layouts(ve, body.data(), 1)[0];
  const std::vector<double> a = centred_nodes(ve, le), b = centred_nodes(vt, le);
  const RigidFit f = fit_rotation(a.data(), b.data(), static_cast<int>(le.nodes.size()));
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(f.rot[i], R[i], 1e-13) << i;
  EXPECT_LT(f.residual, 1e-13);
  // A mirror image (z -> -z) of the same nodes is no proper rotation of them.
  std::vector<double> m = a;
  for (std::size_t i = 2; i < m.size(); i += 3) m[i] = -m[i];
  EXPECT_GT(fit_rotation(a.data(), m.data(), static_cast<int>(le.nodes.size())).residual, 0.1);
}

TEST(CongruentBlocks, TurnedTemplateBlocksAreTheIntegrals) {
  Copies c;
  const int ne = c.mesh.nelem;
  std::vector<double> xcol(3 * ne), bc(6 * ne, 0.0);
  collocation_points(ne, c.mesh.nnode, c.mesh.ielem.data(), c.mesh.xnode.data(), xcol.data());
  std::fill(bc.begin(), bc.begin() + 3 * ne, 2.0);  // traction prescribed: the blocks are T
  const MeshView v = view_of(c.mesh, xcol.data(), bc.data());
  EngineParams par;
  par.mu = 1.0;
  par.snaptol = 1e-10;
  // A template of n elements is taken when n <= members x uses: not for
  // one solve of few near pairs, nor beyond the budget.
  const double n1 = c.mesh.nelem / 4;
  EXPECT_EQ(CongruentTemplates::build(v, c.body.data(), 4, par, 0.3 * n1, 1 << 28)->classes(), 0);
  EXPECT_EQ(CongruentTemplates::build(v, c.body.data(), 4, par, n1, 48 * n1 * n1 - 1)->classes(), 0);
  auto t = CongruentTemplates::build(v, c.body.data(), 4, par, 0.34 * n1, 48 * n1 * n1);
  ASSERT_EQ(t->classes(), 1);
  EXPECT_EQ(t->members(0), (std::vector<int>{1, 2, 3}));
  PlacedBlocks pb(t, v, c.body.data(), 4, par.mu, par.snaptol);
  EXPECT_EQ(pb.placed_count(), 3);
  const int nb = ne / 4;
  EXPECT_EQ(pb.placed_body(3 * nb + 1), -1);
  // Against TRIINT on the copies themselves: targets all of a body's
  // elements, sources a spread of them (the self element among them).
  std::vector<double> reals(kTriintReals * 512);
  std::vector<int> ints(kTriintInts * 512), ltarg(nb + 1);
  NearCoef coef{};
  TriintWork work{};
  carve_triint_arrays(reals.data(), ints.data(), 512, coef, work);
  ASSERT_LE(nb, 512);
  double worst = 0.0;
  for (int b = 1; b <= 2; ++b) {
    ltarg[0] = nb;
    for (int i = 0; i < nb; ++i) ltarg[1 + i] = b * nb + i + 1;
    for (int s = b * nb + 1; s <= (b + 1) * nb; s += 7) {
      double normal[3];
      TRIINT(v, par.mu, par.snaptol, ltarg.data(), coef, work, normal, s);
      for (int i = 0; i < nb; ++i) {
        double blk[6];
        pb.block(b, ltarg[1 + i], s, blk);
        const double ref[6] = {coef.t[0][i], coef.t[1][i], coef.t[2][i],
                               coef.t[4][i], coef.t[5][i], coef.t[8][i]};
        double size = 0.0, diff = 0.0;
        for (int q = 0; q < 6; ++q) {
          size = std::max(size, std::fabs(ref[q]));
          diff = std::max(diff, std::fabs(blk[q] - ref[q]));
        }
        worst = std::max(worst, diff / size);
      }
    }
  }
  // The template keeps its blocks as the single-precision cache does, each
  // entry within 2^-24 of the integral (relative): a few such roundings.
  EXPECT_LT(worst, 4e-7);
}

RigidControls controls() { return rigid_test_controls(30, 2, 1e-8, 10, 20); }

TEST(CongruentBlocks, MobilityProductAndSolveAsIntegrated) {
  Copies c;
  const tools::RigidSetup setup = tools::rigid_setup(c.mesh, "copies");
  ASSERT_EQ(setup.bodies.count, 4);
  auto shared = tools::make_solver(c.mesh, setup, controls());
  auto plain = tools::make_solver(c.mesh, setup, controls());
  plain->share_congruent_templates(std::make_shared<CongruentTemplates>());
  const int n = 3 * c.mesh.nelem;
  std::vector<double> x(n), ys(n), yp(n);
  for (int i = 0; i < n; ++i) x[i] = std::sin(0.37 * i) + 0.2;
  shared->apply(x.data(), ys.data());
  plain->apply(x.data(), yp.data());
  double diff = 0.0, size = 0.0;
  for (int i = 0; i < n; ++i) {
    diff = std::max(diff, std::fabs(ys[i] - yp[i]));
    size = std::max(size, std::fabs(yp[i]));
  }
  // The blocks of one product in single precision (the cache's), against
  // the integration in double: a few float roundings of the near field.
  EXPECT_LT(diff, 1e-6 * size);
  EXPECT_GT(shared->pairs_shared(), 0);
  EXPECT_LT(shared->pairs_integrated(), plain->pairs_integrated());
  EXPECT_EQ(plain->pairs_shared(), 0);
  EXPECT_EQ(shared->pairs_shared() + shared->pairs_integrated(), plain->pairs_integrated());
  // The solves: the same motions to far below the solver's tolerance.
  std::vector<double> loads(24, 0.0);
  for (int b = 0; b < 4; ++b) loads[6 * b + 2] = -1.0, loads[6 * b + 3] = 0.1 * b;
  std::vector<double> ms(24), mp(24);
  EXPECT_TRUE(shared->mobility(loads.data(), ms.data()).converged);
  EXPECT_TRUE(plain->mobility(loads.data(), mp.data()).converged);
  for (int i = 0; i < 24; ++i) EXPECT_NEAR(ms[i], mp[i], 1e-7) << i;
}

// A product split among virtual processes (each engine restricted to its
// run of leaves, as in a run of several) gives the whole engine's bits with
// the copies' pairs from their template too: whether a pair comes from the
// template must depend on the pair alone, not on which targets an engine
// walks together.
TEST(CongruentBlocks, RestrictedEnginesGiveTheWholeProductsBits) {
  Copies c;
  testing::Model m = testing::make_model(c.mesh, 1.0, 5);
  const int ne = m.mesh.nelem;
  std::fill(m.bc.begin(), m.bc.begin() + 3 * static_cast<std::size_t>(ne), 2.0);
  testing::FmmSetup f(m, 12, 8);
  const std::size_t n = 3 * static_cast<std::size_t>(ne);
  std::vector<double> x1(n), x2(n);
  for (std::size_t i = 0; i < n; ++i) x1[i] = std::sin(0.37 * i) + 0.2, x2[i] = std::cos(0.11 * i);
  // The default path's trades: the templates serve a single-precision cache.
  EngineTrades trades;
  trades.single_precision_near_cache = true;
  trades.m2l_order_by_distance = true;
  const EngineParams par = testing::EngineRig::params(m, f, trades);
  auto templates = CongruentTemplates::build(m.view(), c.body.data(), 4, par, 1e9, 1 << 28);
  ASSERT_EQ(templates->classes(), 2);  // the copies, and the scaled body alone
  // The first product fills the cache (from the templates where they
  // serve), the second reads it.
  auto products = [&](FmmEngine& e) {
    e.use_congruent_blocks(std::make_shared<PlacedBlocks>(templates, m.view(), c.body.data(), 4,
                                                          par.mu, par.snaptol));
    e.enable_near_cache();
    std::vector<std::vector<double>> out(2, std::vector<double>(n, 0.0));
    e.apply(1, x1.data(), out[0].data());
    e.apply(1, x2.data(), out[1].data());
    return out;
  };
  testing::EngineRig whole(m, f, Translations::Rotation, trades);
  const std::vector<std::vector<double>> want = products(whole.engine);
  EXPECT_GT(whole.engine.timers().near_pairs_shared, 0);
  const Tree t = f.tree.view();
  for (int p : {2, 3, 5}) {
    std::vector<std::vector<double>> got(2, std::vector<double>(n, 0.0));
    const LeafPartition part = partition_leaves(whole.engine.leaf_work(), p);
    std::int64_t shared = 0;
    for (int r = 0; r < p; ++r) {
      testing::EngineRig rig(m, f, Translations::Rotation, trades);
      rig.engine.restrict_targets(part.first[r], part.last[r]);
      const std::vector<std::vector<double>> mine = products(rig.engine);
      shared += rig.engine.timers().near_pairs_shared;
      for (int pos = part.first[r]; pos <= part.last[r]; ++pos)
        for (int k = 0; k < 2; ++k)
          for (int q = 0; q < 3; ++q) {
            const std::size_t i = 3 * static_cast<std::size_t>(t.elord(pos) - 1) + q;
            got[k][i] = mine[k][i];
          }
    }
    for (int k = 0; k < 2; ++k) EXPECT_EQ(got[k], want[k]) << "product " << k << ", " << p << " ranks";
    EXPECT_EQ(shared, whole.engine.timers().near_pairs_shared) << p << " ranks";
  }
}

}  // namespace
}  // namespace velmora
