#include "rigid/rigid_solver.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "bem/bodies.hpp"
#include "bem/gauss.hpp"
#include "bem/mesh.hpp"
#include "bem/null_space.hpp"
#include "bem/pressure_constant.hpp"
#include "common/blas.hpp"
#include "common/constants.hpp"
#include "common/large_array.hpp"
#include "common/stop.hpp"
#include "fmm/engine.hpp"
#include "fmm/expansion.hpp"
#include "fmm/owned_tree.hpp"
#include "fmm/product_share.hpp"
#include "fmm/tree.hpp"
#include "rigid/coarse_space.hpp"
#include "run/bemsol.hpp"
#include "solver/fast_precon.hpp"
#include "solver/gmres.hpp"

namespace velmora {

struct RigidSolver::Impl {
  RigidControls ctl;
  SurfaceMesh mesh;
  std::vector<double> xcol, bc_rigid, bc_motion;
  std::vector<double> prescribed;  // u of the last traction solve, interleaved
  MeshView view_rigid, view_motion;
  RigidBodies rb;
  double gpt[48], gwt[16];

  // The tree (MKTREE's outputs) and the expansions of the engine.
  std::unique_ptr<OwnedTree> owned_tree;
  Tree tree;  // owned_tree's view
  // The engines use the half layout of the tree's cells, a quarter to a
  // third of each array (fmm/engine.hpp): mapped, and only that part
  // cleared, so the rest is never touched.
  LargeArray<Complex> cmom, cloc;

  std::unique_ptr<FmmEngine> engine;  // codes 2: the operator A
  // A distributed solver's processes, and each engine's share of them.
  const Comm* comm = nullptr;
  std::unique_ptr<ProductShare> share;
  std::vector<std::string> share_report;  // of the last mobility engine released
  std::unique_ptr<RigidCoarseSpace> coarse;  // pieces of the bodies with several points
  std::vector<char> fixed;            // per body
  std::vector<int> fixed_list;        // 1-based
  std::vector<double> stiffness;      // K_b: 6 per body
  std::vector<double> scratch;
  long products = 0;
  double product_seconds = 0.0;
  SolveProgress progress;

  EngineParams params() const { return engine_params(ctl, gwt, gpt, engine_trades()); }

  // GMRES stops after M * ncycle iterations (held at the 32-bit limit).
  int iteration_limit() const {
    return static_cast<int>(std::min(static_cast<long>(ctl.m) * ctl.ncycle, 2147483647L));
  }

  // Templates of congruent bodies (at most kTemplateBytes in all).
  static constexpr std::size_t kTemplateBytes = std::size_t(1) << 30;
  std::shared_ptr<const CongruentTemplates> templates;
  int solves_expected = 1;

  FmmEngine& rigid_engine() {
    if (!engine) {
      engine = std::make_unique<FmmEngine>(view_rigid, tree, params(), cmom.get(), cloc.get());
      if (!templates) {
        const double per_element = static_cast<double>(engine->near_pairs()) / mesh.nelem;
        templates = CongruentTemplates::build(view_rigid, rb.body.data(), rb.nbody, params(),
                                              per_element * solves_expected, kTemplateBytes);
      }
      // (After the templates' choice, which counts the pairs of all elements.)
      if (comm) share = std::make_unique<ProductShare>(*engine, tree, mesh.nelem, *comm);
      // Each body's pairs with itself from its template, the rest cached.
      engine->use_congruent_blocks(std::make_shared<PlacedBlocks>(
          templates, view_rigid, rb.body.data(), rb.nbody, ctl.mu, ctl.snaptol));
      if (engine->near_cache_bytes() <= cache_budget_bytes()) engine->enable_near_cache();
    }
    return *engine;
  }
  std::int64_t shared = 0, integrated = 0;  // of engines released
};

RigidSolver::RigidSolver(const SurfaceMesh& mesh, const int* body, int nbody,
                         const double* centres, const RigidControls& ctl)
    : RigidSolver(mesh, body, nbody, centres, ctl, {}, {}) {}

RigidSolver::RigidSolver(const SurfaceMesh& mesh, const int* body, int nbody,
                         const double* centres, const RigidControls& ctl,
                         const std::vector<int>& point_first, const std::vector<double>& points)
    : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.ctl = ctl;
  s.mesh = mesh;
  const int ne = mesh.nelem;
  if (!gauss_rule(ctl.ngauss, s.gpt, s.gwt)) fatal_stop(" Invalid parameter --> ngauss; stop");
  s.xcol.resize(3 * static_cast<std::size_t>(ne));
  collocation_points(ne, mesh.nnode, s.mesh.ielem.data(), s.mesh.xnode.data(), s.xcol.data());
  // Every component traction-prescribed: the unknowns are velocities and
  // the product is A = 1/2 I + D.
  s.bc_rigid.assign(6 * static_cast<std::size_t>(ne), 0.0);
  std::fill(s.bc_rigid.begin(), s.bc_rigid.begin() + 3 * static_cast<std::size_t>(ne), 2.0);
  s.bc_motion.assign(6 * static_cast<std::size_t>(ne), 0.0);
  std::fill(s.bc_motion.begin(), s.bc_motion.begin() + 3 * static_cast<std::size_t>(ne), 1.0);
  s.view_rigid = MeshView{ne, mesh.nnode, s.mesh.ielem.data(), s.mesh.xnode.data(),
                          s.xcol.data(), s.bc_rigid.data()};
  s.view_motion = MeshView{ne, mesh.nnode, s.mesh.ielem.data(), s.mesh.xnode.data(),
                           s.xcol.data(), s.bc_motion.data()};
  s.rb = point_first.empty()
             ? make_rigid_bodies(s.view_rigid, body, nbody, centres)
             : make_rigid_bodies(s.view_rigid, body, nbody, centres, point_first, points);

  s.owned_tree = std::make_unique<OwnedTree>(ctl.maxdep, ctl.minlev, ctl.maxcel, ctl.maxl, ne,
                                             mesh.nnode, s.mesh.xnode.data(), s.xcol.data(),
                                             ctl.cubfac);
  s.tree = s.owned_tree->tree();
  const Tree& t = s.tree;
  const std::size_t cells = static_cast<std::size_t>(ExpanView<Complex>::cell_size(ctl.nexp)) *
                            static_cast<std::size_t>(t.ncell());
  s.cmom.reset(cells);
  s.cloc.reset(cells);
  const std::size_t used = 4 * static_cast<std::size_t>(ctl.nexp + 1) * (ctl.nexp + 2) *
                           static_cast<std::size_t>(t.ncell());
  std::fill_n(reinterpret_cast<double*>(s.cmom.get()), used, 0.0);
  std::fill_n(reinterpret_cast<double*>(s.cloc.get()), used, 0.0);
  s.scratch.resize(3 * static_cast<std::size_t>(ne));
}

RigidSolver::~RigidSolver() = default;

const RigidBodies& RigidSolver::bodies() const { return impl_->rb; }
int RigidSolver::nelem() const { return impl_->mesh.nelem; }
int RigidSolver::ncell() const { return impl_->tree.ncell(); }
long RigidSolver::products() const { return impl_->products; }
void RigidSolver::expect_solves(int solves) { impl_->solves_expected = std::max(1, solves); }
std::shared_ptr<const CongruentTemplates> RigidSolver::congruent_templates() const {
  return impl_->templates;
}
void RigidSolver::share_congruent_templates(std::shared_ptr<const CongruentTemplates> t) {
  impl_->templates = std::move(t);
}
std::int64_t RigidSolver::pairs_shared() const {
  const Impl& s = *impl_;
  const std::int64_t mine = s.shared + (s.engine ? s.engine->timers().near_pairs_shared : 0);
  return s.comm ? s.comm->sum(mine) : mine;
}
std::int64_t RigidSolver::pairs_integrated() const {
  const Impl& s = *impl_;
  const std::int64_t mine =
      s.integrated + (s.engine ? s.engine->timers().near_pairs_integrated : 0);
  return s.comm ? s.comm->sum(mine) : mine;
}
void RigidSolver::set_progress(SolveProgress progress) { impl_->progress = std::move(progress); }
void RigidSolver::distribute(const Comm& comm) { impl_->comm = &comm; }
std::vector<std::string> RigidSolver::product_split_report() {
  Impl& s = *impl_;
  return s.share ? s.share->report(*s.engine) : s.share_report;
}
double RigidSolver::product_seconds() const { return impl_->product_seconds; }

void RigidSolver::apply(const double* x, double* y) {
  Impl& s = *impl_;
  const int n = 3 * s.mesh.nelem;
  std::vector<double>& ax = s.scratch;
  const auto t0 = std::chrono::steady_clock::now();
  std::fill(ax.begin(), ax.end(), 0.0);
  s.rigid_engine().apply(1, x, ax.data());
  if (s.share) {
    s.share->complete(ax.data());
    s.share->note_product(s.engine->timers().wall.total() + s.share->exchange_seconds());
  }
  ++s.products;
  for (int i = 0; i < n; ++i) y[i] = x[i] - ax[i];
  std::vector<double> coef(6 * static_cast<std::size_t>(s.rb.nbody));
  rigid_coefficients(s.rb, x, coef.data());
  if (s.fixed_list.empty()) {
    add_rigid_motion(s.rb, coef.data(), y);
  } else {
    // Free bodies: P x.  Fixed bodies: the point singularities of K (V, Omega)[x].
    std::vector<double> held(coef.size(), 0.0);
    for (const int b : s.fixed_list)
      for (int k = 0; k < 6; ++k) {
        const std::size_t j = 6 * static_cast<std::size_t>(b - 1) + k;
        held[j] = s.stiffness[j] * coef[j];
        coef[j] = 0.0;
      }
    add_rigid_motion(s.rb, coef.data(), y);
    add_point_singularities(s.rb, s.ctl.mu, held.data(), y, s.fixed_list);
  }
  s.product_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

SolveReport RigidSolver::mobility(const double* loads, double* motion,
                                  std::vector<double>* density) {
  Outcome o = solve(loads, nullptr, density);
  std::copy(o.motion.begin(), o.motion.end(), motion);
  return o.report;
}

void RigidSolver::set_fixed(const std::vector<char>& fixed) {
  Impl& s = *impl_;
  const int nb = s.rb.nbody;
  s.fixed.assign(static_cast<std::size_t>(nb), 0);
  s.fixed_list.clear();
  s.stiffness.assign(6 * static_cast<std::size_t>(nb), 0.0);
  for (int b = 1; b <= nb && b <= static_cast<int>(fixed.size()); ++b) {
    if (!fixed[b - 1]) continue;
    s.fixed[b - 1] = 1;
    s.fixed_list.push_back(b);
    const double r = std::sqrt(s.rb.body_area[b - 1] / (4.0 * kPi));
    for (int k = 0; k < 3; ++k) {
      s.stiffness[6 * (b - 1) + k] = 6.0 * kPi * s.ctl.mu * r;
      s.stiffness[6 * (b - 1) + 3 + k] = 8.0 * kPi * s.ctl.mu * r * r * r;
    }
  }
}

RigidSolver::Outcome RigidSolver::solve(const double* loads, const double* g,
                                        std::vector<double>* density, const double* guess) {
  Impl& s = *impl_;
  const int n = 3 * s.mesh.nelem;
  const std::size_t n6 = 6 * static_cast<std::size_t>(s.rb.nbody);
  Outcome o;
  o.loads.assign(loads, loads + n6);
  for (const int b : s.fixed_list)
    for (int k = 0; k < 6; ++k) o.loads[6 * static_cast<std::size_t>(b - 1) + k] = 0.0;
  std::vector<double> b(n, 0.0), phi(n, 0.0);
  add_point_singularities(s.rb, s.ctl.mu, o.loads.data(), b.data());
  if (g != nullptr)
    for (int i = 0; i < n; ++i) b[i] -= g[i];
  if (guess != nullptr) std::copy(guess, guess + n, phi.begin());
  o.report = solve_operator(b.data(), phi.data(), guess != nullptr);
  o.motion.assign(n6, 0.0);
  rigid_coefficients(s.rb, phi.data(), o.motion.data());
  for (const int b : s.fixed_list)
    for (int k = 0; k < 6; ++k) {
      const std::size_t j = 6 * static_cast<std::size_t>(b - 1) + k;
      o.loads[j] = -s.stiffness[j] * o.motion[j];
      o.motion[j] = 0.0;
    }
  if (density) *density = std::move(phi);
  return o;
}

SolveReport RigidSolver::solve_operator(const double* b, double* phi, bool guess) {
  Impl& s = *impl_;
  const int n = 3 * s.mesh.nelem;
  const int limit = s.iteration_limit();
  const std::function<void(const double*, double*)> amul = [this](const double* x, double* y) {
    apply(x, y);
  };
  const std::function<void(const double*, double*)> pre = [&s](const double* x, double* y) {
    s.coarse->apply(x, y);
  };
  if (!s.coarse) s.coarse = std::make_unique<RigidCoarseSpace>(s.rb);
  // GMRES on the tree's order, split as the product is (the engine and its
  // share made first).
  s.rigid_engine();
  const GmresSplit split{&s.tree, s.mesh.nelem, s.ctl.maxl, s.ctl.minlev, s.share.get(), s.comm};
  if (s.coarse->factored())
    return gmres_solve(n, s.ctl.m, limit, s.ctl.tol, amul, &pre, b, phi, s.progress,
                       GmresChoices{true, guess}, &split);
  int k = s.coarse->dimension();
  if (k == 0)
    return gmres_solve(n, s.ctl.m, limit, s.ctl.tol, amul, nullptr, b, phi, s.progress,
                       GmresChoices{false, guess}, &split);
  // Bodies that could use the coarse space: restart cycles without it while
  // the iterations done and those the backward error's rate of decrease
  // over the last cycle predicts to go stay below the k products of the
  // coarse matrix.  (The iterations to go alone would keep a solve whose
  // restarts slow down on plain cycles for ever: each estimate is a little
  // short of k, while the solve's total runs far beyond it.)
  int done = 0;
  double be_before = 1.0;
  auto shifted = [&s](int offset) {
    return s.progress ? SolveProgress([&s, offset](int products, double e) {
      s.progress(products + offset, e);
    })
                      : SolveProgress();
  };
  for (;;) {
    SolveReport cycle =
        gmres_solve(n, s.ctl.m, std::min(s.ctl.m, limit - done), s.ctl.tol, amul, nullptr, b, phi,
                    shifted(done), GmresChoices{false, guess || done > 0}, &split);
    done += cycle.iterations;
    if (cycle.converged || done >= limit || cycle.iterations == 0) {
      cycle.iterations = done;
      return cycle;
    }
    const double be = cycle.backward_error;
    const double rate = std::pow(be / be_before, 1.0 / cycle.iterations);
    be_before = be;
    const double to_go = rate < 1.0 ? std::log(s.ctl.tol / be) / std::log(rate) : 1e300;
    if (done + to_go > k) {
      if (s.coarse->factor(amul)) break;
      k = limit;  // E singular: on without it
    }
  }
  SolveReport rest = gmres_solve(n, s.ctl.m, limit - done, s.ctl.tol, amul, &pre, b, phi,
                                 shifted(done + k), GmresChoices{true, true}, &split);
  rest.iterations += done;
  return rest;
}

int RigidSolver::coarse_dimension() const {
  return impl_->coarse && impl_->coarse->factored() ? impl_->coarse->dimension() : 0;
}

SolveReport RigidSolver::tractions(const double* motion, double* t) {
  return tractions(motion, nullptr, t);
}

SolveReport RigidSolver::tractions(const double* motion, const double* g, double* t) {
  Impl& s = *impl_;
  const int ne = s.mesh.nelem;
  const int n = 3 * ne;
  // The mobility engine and its cache are no longer needed.
  if (s.engine) {
    s.shared += s.engine->timers().near_pairs_shared;
    s.integrated += s.engine->timers().near_pairs_integrated;
  }
  if (s.share) s.share_report = s.share->report(*s.engine);
  s.engine.reset();
  s.share.reset();
  std::vector<double> u(n, 0.0);
  add_rigid_motion(s.rb, motion, u.data());
  if (g != nullptr)
    for (int i = 0; i < n; ++i) u[i] += g[i];
  for (int e = 0; e < ne; ++e)
    for (int k = 0; k < 3; ++k)
      s.bc_motion[static_cast<std::size_t>(k + 3) * ne + e] = u[3 * static_cast<std::size_t>(e) + k];
  FmmEngine eng(s.view_motion, s.tree, s.params(), s.cmom.get(), s.cloc.get());
  std::unique_ptr<ProductShare> share;
  if (s.comm) share = std::make_unique<ProductShare>(eng, s.tree, ne, *s.comm);
  std::unique_ptr<FastPrecon> precon;
  if (s.ctl.iprec != 0) {
    PreconData pd;
    pd.mesh = s.view_motion;
    pd.mu = s.ctl.mu;
    pd.snaptol = s.ctl.snaptol;
    pd.maxl = s.ctl.maxl;
    pd.minlev = s.ctl.minlev;
    pd.tree = s.tree;
    precon = std::make_unique<FastPrecon>(pd);
    if (share) precon->distribute(*share);
  }
  keep_caches(eng, precon.get(), cache_budget_bytes());
  std::vector<double> b(n, 0.0);
  eng.apply(0, nullptr, b.data());
  if (share) share->complete(b.data());
  // Every velocity is prescribed: each closed body's null vector t + c n is
  // taken out by the augmentation, and c is set by the pressure at infinity.
  const Bodies pieces = find_bodies(s.view_motion);
  const ClosedBodyNullSpace null_space(s.view_motion, pieces, s.ctl.mu);
  const std::function<void(const double*, double*)> amul = [&](const double* x, double* y) {
    std::fill(y, y + n, 0.0);
    eng.apply(1, x, y);
    if (share) share->complete(y);
    null_space.augment(x, y);
  };
  const std::function<void(const double*, double*)> pre = [&](const double* x, double* z) {
    precon->apply(x, z);
  };
  const GmresSplit split{&s.tree, ne, s.ctl.maxl, s.ctl.minlev, share.get(), s.comm};
  const SolveReport r = gmres_solve(n, s.ctl.m, s.iteration_limit(), s.ctl.tol, amul,
                                    precon ? &pre : nullptr, b.data(), t, s.progress, {}, &split);
  fix_pressure_constants(s.view_motion, pieces, null_space, s.ctl.mu, u.data(), t);
  s.prescribed = std::move(u);
  return r;
}

const std::vector<double>& RigidSolver::prescribed_velocity() const { return impl_->prescribed; }

}  // namespace velmora
