// Whole runs of the program against independent references: Stokes drag, a prescribed-traction
// sphere, spheroid and two-sphere drag, a dense LU solve of the same discretisation, and the
// preconditioning variants.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm_dense.hpp"
#include "fmm_support.hpp"
#include "solver/lu.hpp"
#include "tool_support.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/result_io.hpp"

namespace velmora {
namespace {

using testing::ScratchDir;

// Writes the model and controls into a fresh folder, runs the solver there and reads output.dat.
tools::RunResults solve(const tools::Model& model, const tools::Controls& c, const std::string& tag,
                        std::string* log = nullptr) {
  ScratchDir dir(tag);
  {
    std::ofstream dat(dir / "input.dat"), cnd(dir / "input.cnd");
    tools::write_input_dat(dat, model);
    tools::write_input_cnd(cnd, c);
  }
  const std::string cmd = "cd '" + dir.path().string() + "' && '" VELMORA_EXE "' > console.txt 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << testing::read_file(dir / "console.txt");
  if (log) *log = testing::read_file(dir / "output.log");
  return tools::read_output_dat(dir / "output.dat", model.mesh.nelem);
}

tools::Model rigid_model(SurfaceMesh mesh, double mu, const double value[3], double code) {
  tools::Model m;
  m.title = "end-to-end test";
  m.subtitle = "generated";
  m.mu = mu;
  m.mesh = std::move(mesh);
  m.bc.assign(6 * static_cast<std::size_t>(m.mesh.nelem), 0.0);
  for (int e = 1; e <= m.mesh.nelem; ++e)
    for (int k = 1; k <= 3; ++k) {
      m.code(e, k) = code;
      m.value(e, k) = value[k - 1];
    }
  return m;
}

tools::Controls controls_for(const SurfaceMesh& mesh, int nexp, double tol) {
  tools::Controls c = tools::suggest_controls(mesh);
  c.nexp = nexp;
  c.tol = tol;
  return c;
}

// A translating sphere feels the Stokes drag -6 pi mu a U; the error of flat constant elements
// falls as h^2, about fourfold per refinement.
TEST(EndToEnd, TranslatingSphereDragConverges) {
  const double a = 0.5, mu = 2.0, u[3] = {0.0, 0.0, 1.5};
  const double stokes = -6.0 * M_PI * mu * a * u[2];
  double err[2];
  for (int r = 1; r <= 2; ++r) {
    const tools::Model model = rigid_model(icosphere(r, a), mu, u, 1.0);
    const tools::RunResults res = solve(model, controls_for(model.mesh, 8, 1e-8), "drag");
    ASSERT_TRUE(res.has_force);
    err[r - 1] = std::fabs(res.force[2] - stokes) / std::fabs(stokes);
    EXPECT_LT(std::fabs(res.force[0]), 1e-5 * std::fabs(stokes));
    EXPECT_LT(std::fabs(res.force[1]), 1e-5 * std::fabs(stokes));
  }
  // 80 and 320 elements: about 5% and 1.3%.
  EXPECT_LT(err[1], 0.02);
  EXPECT_GT(err[0] / err[1], 3.3);
  EXPECT_LT(err[0] / err[1], 4.7);
}

// A uniform traction t = (3 mu / 2a) U on a sphere is the load of a sphere translating with U:
// the solved surface velocity is U everywhere, to discretisation accuracy.
TEST(EndToEnd, PrescribedTractionSphereMovesRigidly) {
  const double a = 1.25, mu = 0.5, U[3] = {0.3, -0.4, 0.2};
  double t[3];
  for (int k = 0; k < 3; ++k) t[k] = 1.5 * mu / a * U[k];
  const tools::Model model = rigid_model(icosphere(2, a), mu, t, 2.0);
  const tools::RunResults res = solve(model, controls_for(model.mesh, 8, 1e-8), "traction");
  const double unorm = std::sqrt(U[0] * U[0] + U[1] * U[1] + U[2] * U[2]);
  double worst = 0.0;
  for (int e = 0; e < model.mesh.nelem; ++e)
    for (int k = 0; k < 3; ++k) worst = std::max(worst, std::fabs(res.u[3 * e + k] - U[k]));
  EXPECT_LT(worst, 0.02 * unorm);
  // The prescribed traction is reported as given and the force is -6 pi mu a U within 2%.
  EXPECT_NEAR(res.t[0], t[0], 1e-12);
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(res.force[k], -6.0 * M_PI * mu * a * U[k], 0.02 * 6.0 * M_PI * mu * a * unorm);
}

// Drag of a prolate spheroid (semi-axes b, b, a with a > b, e = sqrt(1 - b^2/a^2)) translating
// with speed U: along its axis 16 pi mu a e^3 U / ((1 + e^2) L - 2e), broadside
// 32 pi mu a e^3 U / (2e + (3e^2 - 1) L), L = ln((1 + e)/(1 - e)).
TEST(EndToEnd, ProlateSpheroidDragMatchesAnalytic) {
  const double a = 2.0, b = 1.0, mu = 1.0;
  const double e = std::sqrt(1.0 - b * b / (a * a)), L = std::log((1.0 + e) / (1.0 - e));
  const double axial = 16.0 * M_PI * mu * a * e * e * e / ((1.0 + e * e) * L - 2.0 * e);
  const double broad = 32.0 * M_PI * mu * a * e * e * e / (2.0 * e + (3.0 * e * e - 1.0) * L);
  const double along_z[3] = {0.0, 0.0, 1.0}, along_x[3] = {1.0, 0.0, 0.0};
  const tools::Model m_axial = rigid_model(ellipsoid(3, b, b, a), mu, along_z, 1.0);
  const tools::Model m_broad = rigid_model(ellipsoid(3, b, b, a), mu, along_x, 1.0);
  const tools::RunResults r_axial = solve(m_axial, controls_for(m_axial.mesh, 10, 1e-8), "axial");
  const tools::RunResults r_broad = solve(m_broad, controls_for(m_broad.mesh, 10, 1e-8), "broad");
  // 1280 flat elements: the sphere's error at this refinement is 0.33 %.
  EXPECT_NEAR(r_axial.force[2], -axial, 0.01 * axial);
  EXPECT_NEAR(r_broad.force[0], -broad, 0.01 * broad);
}

// Two equal spheres translating together along their line of centres, centres 2a cosh(alpha)
// apart: each feels lambda times the Stokes drag, with Stimson and Jeffery's series
// lambda = (4/3) sinh(alpha) sum_n n(n+1)/((2n-1)(2n+3)) [1 - (4 sinh^2((n+1/2) alpha)
//          - (2n+1)^2 sinh^2(alpha)) / (2 sinh((2n+1) alpha) + (2n+1) sinh(2 alpha))].
TEST(EndToEnd, TwoSpheresMatchStimsonJeffery) {
  const double a = 1.0, mu = 1.0, alpha = 1.0;
  double lambda = 0.0;
  for (int n = 1; n <= 60; ++n) {
    const double num = 4.0 * std::pow(std::sinh((n + 0.5) * alpha), 2) -
                       (2.0 * n + 1) * (2.0 * n + 1) * std::pow(std::sinh(alpha), 2);
    const double den = 2.0 * std::sinh((2.0 * n + 1) * alpha) + (2.0 * n + 1) * std::sinh(2 * alpha);
    lambda += n * (n + 1.0) / ((2.0 * n - 1) * (2.0 * n + 3)) * (1.0 - num / den);
  }
  lambda *= 4.0 / 3.0 * std::sinh(alpha);  // 0.70245
  const double h = a * std::cosh(alpha);
  const double c1[3] = {0.0, 0.0, -h}, c2[3] = {0.0, 0.0, h};
  SurfaceMesh mesh = icosphere(3, a, c1);
  append_mesh(mesh, icosphere(3, a, c2));
  const double u[3] = {0.0, 0.0, 1.0};
  const tools::Model model = rigid_model(std::move(mesh), mu, u, 1.0);
  // tol 1e-6 with nexp 14 (before the closed bodies' null space was taken out, 1e-8 with
  // nexp 10 stalled near 7e-7 and stopped at its iteration limit, status 3).
  const tools::RunResults r = solve(model, controls_for(model.mesh, 14, 1e-6), "pair");
  const double expected = -2.0 * lambda * 6.0 * M_PI * mu * a;
  EXPECT_NEAR(r.force[2], expected, 0.01 * std::fabs(expected));
  EXPECT_LT(std::fabs(r.force[0]) + std::fabs(r.force[1]), 1e-5 * std::fabs(expected));
}

tools::Model mixed_model(SurfaceMesh mesh, double mu, unsigned seed) {
  tools::Model m;
  m.title = "mixed conditions";
  m.subtitle = "generated";
  m.mu = mu;
  m.mesh = std::move(mesh);
  const int ne = m.mesh.nelem;
  m.bc.assign(6 * static_cast<std::size_t>(ne), 0.0);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  std::bernoulli_distribution traction(0.4);
  for (int e = 1; e <= ne; ++e)
    for (int k = 1; k <= 3; ++k) {
      m.code(e, k) = traction(rng) ? 2.0 : 1.0;
      m.value(e, k) = val(rng);
    }
  return m;
}

// The unknowns of the dense LU solve of the same collocation system (matrix and right-hand side
// summed element by element from the exact integrals).
std::vector<double> dense_solution(const tools::Model& model, double snaptol) {
  testing::Model tm;
  tm.mesh = model.mesh;
  tm.bc = model.bc;
  tm.mu = model.mu;
  tm.xcol.assign(3 * static_cast<std::size_t>(tm.mesh.nelem), 0.0);
  collocation_points(tm.mesh.nelem, tm.mesh.nnode, tm.mesh.ielem.data(), tm.mesh.xnode.data(),
                     tm.xcol.data());
  testing::NearStore near(tm.mesh.nelem);
  const int n = 3 * tm.mesh.nelem;
  std::vector<double> a = testing::dense_matrix(tm.view(), tm.mu, snaptol, near.view());
  std::vector<double> b(n, 0.0);
  testing::dense_apply(tm.view(), tm.mu, snaptol, near.view(), 0, nullptr, b.data());
  std::vector<int> ipvt(n);
  int info = 0;
  lufact(a.data(), n, n, ipvt.data(), info);
  EXPECT_EQ(info, 0);
  lusolv(a.data(), n, n, ipvt.data(), b.data(), 0);
  return b;
}

// The unknown of each component from a run's output: the traction where the velocity is given,
// else the velocity.
std::vector<double> unknowns(const tools::Model& model, const tools::RunResults& r) {
  std::vector<double> x(3 * static_cast<std::size_t>(model.mesh.nelem));
  tools::Model& m = const_cast<tools::Model&>(model);
  for (int e = 1; e <= model.mesh.nelem; ++e)
    for (int k = 1; k <= 3; ++k) {
      const std::size_t j = 3 * static_cast<std::size_t>(e - 1) + (k - 1);
      x[j] = m.code(e, k) == 2.0 ? r.u[j] : r.t[j];
    }
  return x;
}

double rel_max_diff(const std::vector<double>& a, const std::vector<double>& b) {
  double d = 0.0, s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    d = std::max(d, std::fabs(a[i] - b[i]));
    s = std::max(s, std::fabs(b[i]));
  }
  return d / s;
}

// The multipole solve agrees with a dense LU solve of the same system on an ellipsoid with mixed
// codes; the difference falls steadily with the expansion order (measured 3.0e-2, 7.7e-4 and
// 3.6e-5 at nexp 4, 8 and 12: the operator's truncation error times the system's amplification).
TEST(EndToEnd, AgreesWithDenseSolve) {
  const tools::Model model = mixed_model(ellipsoid(2, 1.0, 0.7, 0.5), 1.3, 21);
  tools::Controls c = controls_for(model.mesh, 4, 1e-11);
  c.maxl = 20;
  c.maxcel = 400;
  c.M = 60;
  const std::vector<double> dense = dense_solution(model, c.snaptol);
  double prev = 1.0;
  for (int nexp : {4, 8, 12}) {
    c.nexp = nexp;
    const double d = rel_max_diff(unknowns(model, solve(model, c, "dense")), dense);
    EXPECT_LT(d, nexp == 4 ? 6e-2 : (nexp == 8 ? 2e-3 : 1e-4)) << "nexp " << nexp;
    EXPECT_LT(d, prev / 3) << "nexp " << nexp;
    prev = d;
  }
}

// Without, with left, right and both preconditioners the solve reaches the same solution.
TEST(EndToEnd, PreconditioningVariantsAgree) {
  const tools::Model model = mixed_model(icosphere(2, 1.0), 1.0, 8);
  tools::Controls c = controls_for(model.mesh, 8, 1e-10);
  c.M = 80;
  std::vector<double> ref;
  for (int iprec = 0; iprec <= 3; ++iprec) {
    c.iprec = iprec;
    std::string log;
    const std::vector<double> x = unknowns(model, solve(model, c, "iprec", &log));
    static const char* const kLine[4] = {"No preconditioning", "Left preconditioning",
                                         "Right preconditioning", "Left and right preconditioning"};
    EXPECT_NE(log.find(std::string("\n") + kLine[iprec] + "\n"), std::string::npos) << iprec;
    EXPECT_NE(log.find(" info(1) =            0"), std::string::npos) << iprec;
    if (iprec == 0)
      ref = x;
    else
      EXPECT_LT(rel_max_diff(x, ref), 1e-7) << "iprec " << iprec;
  }
}

}  // namespace
}  // namespace velmora
