// Owning storage for the tree and the multipole passes, for tests and
// benchmarks (the program carves the same arrays from its storage block).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "bem/gauss.hpp"
#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "bem/triint.hpp"
#include "common/units.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/engine.hpp"
#include "fmm/expansion.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/mktree.hpp"
#include "fmm/passes.hpp"
#include "fmm/tree.hpp"
#include "fmm/upwrd.hpp"
#include "solver/precon.hpp"

namespace velmora::testing {

// The tree arrays of MKTREE with capacities maxcel and maxdep.
class TreeStore {
 public:
  TreeStore(int nelem, int maxcel, int maxdep)
      : maxcel_(maxcel),
        maxdep_(maxdep),
        iccode_(maxcel + 1, -1),
        ielord_(nelem, -1),
        ielfst_(maxcel, -1),
        iellst_(maxcel, -1),
        iparnt_(maxcel, -1),
        ichild_(8 * static_cast<std::size_t>(maxcel), -1),
        levfst_(maxdep + 1, -1),
        levlst_(maxdep + 1, -1),
        ioct_(nelem),
        iperm_(nelem),
        celcen_(3 * static_cast<std::size_t>(maxcel)),
        celsiz_(maxdep + 1) {}
  TreeStore(const TreeStore&) = delete;
  TreeStore& operator=(const TreeStore&) = delete;

  Tree view() {
    Tree t;
    t.maxcel = maxcel_;
    t.maxdep = maxdep_;
    t.nlev = &nlev_;
    t.iccode = iccode_.data();
    t.ielord = ielord_.data();
    t.ielfst = ielfst_.data();
    t.iellst = iellst_.data();
    t.iparnt = iparnt_.data();
    t.ichild = ichild_.data();
    t.levfst = levfst_.data();
    t.levlst = levlst_.data();
    t.celcen = celcen_.data();
    t.celsiz = celsiz_.data();
    return t;
  }
  int* ioct() { return ioct_.data(); }
  int* iperm() { return iperm_.data(); }
  int maxcel() const { return maxcel_; }
  int maxdep() const { return maxdep_; }

 private:
  int maxcel_, maxdep_;
  int nlev_ = -1;
  std::vector<int> iccode_, ielord_, ielfst_, iellst_, iparnt_, ichild_, levfst_, levlst_, ioct_,
      iperm_;
  std::vector<double> celcen_, celsiz_;
};

// Near-field lists, TRIINT coefficients and work arrays for nelem elements.
class NearStore {
 public:
  explicit NearStore(int nelem)
      : ltarg_(nelem + 1),
        lsrc_(nelem + 1),
        ints_(kTriintInts * nelem),
        reals_(kTriintReals * nelem) {
    nf_.ltarg = ltarg_.data();
    nf_.lsrc = lsrc_.data();
    carve_triint_arrays(reals_.data(), ints_.data(), nelem, nf_.coef, nf_.work);
  }
  NearStore(const NearStore&) = delete;
  NearStore& operator=(const NearStore&) = delete;
  const NearField& view() const { return nf_; }

 private:
  std::vector<int> ltarg_, lsrc_, ints_;
  std::vector<double> reals_;
  NearField nf_;
};

// Expansions and scratch of the passes for order p and maxcel cells.
class ExpansionStore {
 public:
  ExpansionStore(int p, int maxcel)
      : p_(p),
        cmom_(ExpanView<Complex>::cell_size(p) * maxcel),
        cloc_(ExpanView<Complex>::cell_size(p) * maxcel),
        rtab_(regular_table_size(p)),
        gtab_(gradient_table_size(p)),
        stab_(irregular_table_size(p)),
        mom1_(ExpanView<Complex>::cell_size(p)),
        loc1_(ExpanView<Complex>::cell_size(p)) {}
  ExpansionStore(const ExpansionStore&) = delete;
  ExpansionStore& operator=(const ExpansionStore&) = delete;
  FmmScratch scratch() {
    return FmmScratch{rtab_.data(), gtab_.data(), stab_.data(), mom1_.data(), loc1_.data()};
  }
  Complex* cmom() { return cmom_.data(); }
  Complex* cloc() { return cloc_.data(); }
  int p() const { return p_; }

 private:
  int p_;
  std::vector<Complex> cmom_, cloc_, rtab_, gtab_, stab_, mom1_, loc1_;
};

// A mesh with boundary conditions and collocation points.
struct Model {
  SurfaceMesh mesh;
  std::vector<double> bc;    // nelem x 6
  std::vector<double> xcol;  // nelem x 3
  double mu = 1.0;

  MeshView view() const {
    return MeshView{mesh.nelem,        mesh.nnode,  mesh.ielem.data(),
                    mesh.xnode.data(), xcol.data(), bc.data()};
  }
};

// Model from a mesh: codes drawn from {2, 0, 1, 3} per component (about half
// traction-prescribed), prescribed values uniform in [-1, 1].
inline Model make_model(SurfaceMesh mesh, double mu, std::uint32_t seed) {
  Model m;
  m.mesh = std::move(mesh);
  m.mu = mu;
  const int ne = m.mesh.nelem;
  m.bc.assign(6 * static_cast<std::size_t>(ne), 0.0);
  m.xcol.assign(3 * static_cast<std::size_t>(ne), 0.0);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  const double codes[6] = {2.0, 2.0, 2.0, 0.0, 1.0, 3.0};
  std::uniform_int_distribution<int> pick(0, 5);
  for (int k = 0; k < 3; ++k)
    for (int e = 0; e < ne; ++e) {
      m.bc[e + k * static_cast<std::size_t>(ne)] = codes[pick(rng)];
      m.bc[e + (k + 3) * static_cast<std::size_t>(ne)] = val(rng);
    }
  collocation_points(ne, m.mesh.nnode, m.mesh.ielem.data(), m.mesh.xnode.data(), m.xcol.data());
  return m;
}

// Tree, expansions and near-field storage of one run of the passes.  The
// tree arrays have room for maxcel cells (default 4 nelem + 64); the
// expansions are sized for the cells the tree uses, which the passes receive
// as their cell capacity.
struct FmmSetup {
  int minlev, maxl, p, ngauss;
  double snaptol;
  double gpt[48], gwt[16];
  TreeStore tree;
  NearStore near;
  std::unique_ptr<ExpansionStore> exp;

  FmmSetup(const Model& m, int maxl_, int p_, int minlev_ = 2, int ngauss_ = 7,
           double cubfac = 1.01, int maxdep = 20, int maxcel = 0)
      : minlev(minlev_),
        maxl(maxl_),
        p(p_),
        ngauss(ngauss_),
        snaptol(1e-10),
        tree(m.mesh.nelem, maxcel > 0 ? maxcel : 4 * m.mesh.nelem + 64, maxdep),
        near(m.mesh.nelem) {
    gauss_rule(ngauss, gpt, gwt);
    {
      // The tree report is not wanted here.
      UnitsGuard guard;
      std::ostringstream sink;
      units().set_console(&sink);
      units().attach(6, &sink);
      MKTREE(maxdep, minlev, tree.maxcel(), maxl, m.mesh.nelem, m.mesh.nnode, tree.view(),
             m.mesh.xnode.data(), m.xcol.data(), cubfac, tree.ioct(), tree.iperm());
    }
    exp = std::make_unique<ExpansionStore>(p, ncell());
  }

  int ncell() { return tree.view().ncell(); }

  // y += the multipole approximation of the operator for `mode`.
  void apply(const Model& m, int mode, const double* x, double* y, FmmTimers* timers = nullptr) {
    const MeshView mv = m.view();
    const Tree t = tree.view();
    const FmmScratch s = exp->scratch();
    UPWRD(mv, m.mu, minlev, maxl, ncell(), p, ngauss, gwt, gpt, t, x, mode, exp->cmom(), s, timers);
    DNWRD(mv, m.mu, minlev, maxl, ncell(), p, mode, t, exp->cmom(), x, snaptol, exp->cloc(),
          near.view(), s, y, timers);
  }
};

// The block preconditioner's state over the tree and near-field storage of an
// FmmSetup, with its own block, pivots and right-hand side.
struct PreconStore {
  std::vector<double> block, rhs;
  std::vector<int> ipvt;
  PreconData data;
  PreconStore(const Model& m, FmmSetup& s) {
    block.resize(9 * static_cast<std::size_t>(s.maxl) * s.maxl);
    rhs.resize(3 * static_cast<std::size_t>(s.maxl));
    ipvt.resize(3 * static_cast<std::size_t>(s.maxl));
    data.mesh = m.view();
    data.mu = m.mu;
    data.snaptol = s.snaptol;
    data.maxl = s.maxl;
    data.minlev = s.minlev;
    data.tree = s.tree.view();
    data.block = block.data();
    data.ipvt = ipvt.data();
    data.rhs = rhs.data();
    data.ltarg = s.near.view().ltarg;
    data.coef = s.near.view().coef;
    data.work = s.near.view().work;
  }
};

// n values uniform in [-1, 1] from the seed.
inline std::vector<double> uniform_vector(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> v(n);
  for (auto& a : v) a = u(rng);
  return v;
}

// Largest entry of |a - ref| relative to the largest entry of |ref|.
inline double max_rel_error(const std::vector<double>& a, const std::vector<double>& ref) {
  double d = 0.0, m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    d = std::max(d, std::abs(a[i] - ref[i]));
    m = std::max(m, std::abs(ref[i]));
  }
  return d / m;
}

// A fast engine over the tree of an FmmSetup, with its own expansion
// arrays, the given translations and trades (none: the exact path).
struct EngineRig {
  std::vector<Complex> cmom, cloc;
  FmmEngine engine;
  static EngineParams params(const Model& m, FmmSetup& f, const EngineTrades& t) {
    EngineParams par;
    par.mu = m.mu;
    par.snaptol = f.snaptol;
    par.minlev = f.minlev;
    par.maxl = f.maxl;
    par.p = f.p;
    par.ngauss = f.ngauss;
    par.gwt = f.gwt;
    par.gpt = f.gpt;
    par.trades = t;
    return par;
  }
  EngineRig(const Model& m, FmmSetup& f, Translations k = Translations::Rotation,
            const EngineTrades& t = EngineTrades())
      : cmom(ExpanView<Complex>::cell_size(f.p) * f.ncell()),
        cloc(ExpanView<Complex>::cell_size(f.p) * f.ncell()),
        engine(m.view(), f.tree.view(), params(m, f, t), cmom.data(), cloc.data(), k) {}
};

}  // namespace velmora::testing
