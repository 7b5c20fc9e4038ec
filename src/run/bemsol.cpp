#include "run/bemsol.hpp"

#include "common/large_array.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bem/bodies.hpp"
#include "bem/gauss.hpp"
#include "bem/mesh.hpp"
#include "bem/null_space.hpp"
#include "bem/pressure_constant.hpp"
#include "common/array.hpp"
#include "common/blas.hpp"
#include "common/blas_tall.hpp"
#include "common/comm.hpp"
#include "common/constants.hpp"
#include "common/process_memory.hpp"
#include "common/records.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/engine.hpp"
#include "fmm/expansion.hpp"
#include "fmm/mktree.hpp"
#include "fmm/tree_needs.hpp"
#include "fmm/upwrd.hpp"
#include "fmm/product_share.hpp"
#include "run/registry.hpp"
#include "run/results.hpp"
#include "run/body_checks.hpp"
#include "solver/gmres_vectors.hpp"
#include "run/sanity.hpp"
#include "solver/fast_precon.hpp"
#include "solver/two_level.hpp"
#include "solver/gmres.hpp"
#include "solver/precon.hpp"

namespace velmora {
namespace {

// Progress lines go to the console and then to the log.
void to_console_and_log(const std::string& record) {
  units().write_console(record);
  units().write(kUnitLog, record);
}

// The solver's iteration limit M * ncycle.  The product of two 32-bit
// counts can exceed 32 bits; it is held at the largest 32-bit value then,
// which no run reaches.
int iteration_limit(int m, int ncycle) {
  const long long limit = static_cast<long long>(m) * ncycle;
  if (limit > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (limit < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(limit);
}

[[noreturn]] void bad_record(const ListReader& dat, int line, const std::string& text) {
  fatal_stop(dat.name() + ", line " + std::to_string(line) + ": " + text);
}

bool solved_outcome(const SolveOutcome& o) { return o.info == 0 || o.info == -4; }

// Per treated body, on the log: the relative size |beta_B| / |b| of the part
// of the right-hand side along the body's null direction that the augmented
// system removed; on the console, one line when one exceeds the tolerance.
void report_removed_parts(const ClosedBodyNullSpace& ns, const Bodies& bodies, const double* x,
                          double bnorm, double tol) {
  if (ns.empty()) return;
  const std::vector<double> beta = ns.removed(x);
  std::vector<int> size(static_cast<std::size_t>(bodies.count), 0);
  for (int b : bodies.of_element) ++size[b];
  double largest = 0.0;
  int worst = -1;
  for (std::size_t i = 0; i < beta.size(); ++i) {
    const int b = ns.treated()[i];
    const double rel = bnorm > 0.0 ? std::abs(beta[i]) / bnorm : 0.0;
    units().write(kUnitLog, " Closed body " + std::to_string(b + 1) + " (" +
                                std::to_string(size[b]) +
                                " elements): part of b along its null direction removed, "
                                "relative size" +
                                fmt::E(rel, 11, 4));
    if (rel > largest) largest = rel, worst = b;
  }
  if (largest > tol)
    units().write_console(" Closed body " + std::to_string(worst + 1) +
                          ": the part of b along its null direction (relative size" +
                          fmt::E(largest, 11, 4) +
                          ") exceeds the tolerance; it was removed (output.log lists every body)");
}

}  // namespace

void read_mesh(Block& a, ListReader& dat) {
  const int nelem = *a.var<int>(kVarNelem);
  const int nnode = *a.var<int>(kVarNnode);
  Mat<double> xnode(a.var<double>(kVarXnode), nnode);
  Mat<int> ielem(a.var<int>(kVarIelem), nelem);
  Mat<double> bc(a.var<double>(kVarBc), nelem);

  // Line of the record that gave each node / element (0: none yet).  Every
  // row must be given exactly once, so no row is left undefined.
  std::vector<int> given(static_cast<std::size_t>(nnode > nelem ? nnode : nelem) + 1, 0);

  dat.skip({"heading line before the nodes"});
  for (int rec = 1; rec <= nnode; ++rec) {
    int k = 0;
    double x[3] = {0.0, 0.0, 0.0};
    dat.begin();
    dat.get(k, {"number of node record", &rec});
    const int line = dat.line();
    dat.get(x[0], {"x of node", &k});
    dat.get(x[1], {"y of node", &k});
    dat.get(x[2], {"z of node", &k});
    dat.end();
    if (k < 1 || k > nnode)
      bad_record(dat, line,
                 "node record " + std::to_string(rec) + " gives node number " + std::to_string(k) +
                     ", outside 1.." + std::to_string(nnode));
    if (given[k] != 0)
      bad_record(dat, line,
                 "node " + std::to_string(k) + " is given a second time (first on line " +
                     std::to_string(given[k]) + "); each node needs exactly one record");
    given[k] = line;
    for (int c = 1; c <= 3; ++c) xnode(k, c) = x[c - 1];
  }

  std::fill(given.begin(), given.end(), 0);
  dat.skip({"heading line before the elements"});
  for (int rec = 1; rec <= nelem; ++rec) {
    int e = 0;
    int n[3] = {0, 0, 0};
    double code[3] = {0.0, 0.0, 0.0}, value[3] = {0.0, 0.0, 0.0};
    dat.begin();
    dat.get(e, {"number of element record", &rec});
    const int line = dat.line();
    dat.get(n[0], {"node 1 of element", &e});
    dat.get(n[1], {"node 2 of element", &e});
    dat.get(n[2], {"node 3 of element", &e});
    dat.get(code[0], {"code 1 of element", &e});
    dat.get(code[1], {"code 2 of element", &e});
    dat.get(code[2], {"code 3 of element", &e});
    dat.get(value[0], {"value 1 of element", &e});
    dat.get(value[1], {"value 2 of element", &e});
    dat.get(value[2], {"value 3 of element", &e});
    dat.end();
    if (e < 1 || e > nelem)
      bad_record(dat, line,
                 "element record " + std::to_string(rec) + " gives element number " +
                     std::to_string(e) + ", outside 1.." + std::to_string(nelem));
    if (given[e] != 0)
      bad_record(dat, line,
                 "element " + std::to_string(e) + " is given a second time (first on line " +
                     std::to_string(given[e]) + "); each element needs exactly one record");
    for (int v = 0; v < 3; ++v)
      if (n[v] < 1 || n[v] > nnode)
        bad_record(dat, line,
                   "node " + std::to_string(v + 1) + " of element " + std::to_string(e) + " is " +
                       std::to_string(n[v]) + ", outside 1.." + std::to_string(nnode));
    // |(x2 - x1) x (x3 - x1)| as the element geometry forms it: zero for
    // coincident or collinear nodes, where the normal does not exist.
    double d[3], g[3];
    for (int c = 1; c <= 3; ++c) {
      d[c - 1] = xnode(n[1], c) - xnode(n[0], c);
      g[c - 1] = xnode(n[2], c) - xnode(n[0], c);
    }
    const double k1 = d[1] * g[2] - d[2] * g[1];
    const double k2 = d[2] * g[0] - d[0] * g[2];
    const double k3 = d[0] * g[1] - d[1] * g[0];
    if (!(std::sqrt(k1 * k1 + k2 * k2 + k3 * k3) > 0.0))
      bad_record(dat, line,
                 "element " + std::to_string(e) + " has zero area (nodes " + std::to_string(n[0]) +
                     ", " + std::to_string(n[1]) + " and " + std::to_string(n[2]) +
                     " coincide or are collinear)");
    given[e] = line;
    for (int v = 1; v <= 3; ++v) {
      ielem(e, v) = n[v - 1];
      bc(e, v) = code[v - 1];
      bc(e, v + 3) = value[v - 1];
    }
  }
  dat.close();
}

SolveOutcome BEMSOL(Block& a, ListReader& dat, const SolveOptions& opt) {
  return BEMSOL(a, [&](Block& blk) { read_mesh(blk, dat); }, opt);
}

SolveOutcome BEMSOL(Block& a, const MeshSource& mesh_source, const SolveOptions& opt,
                    const SolveHooks& hooks) {
  const RunScalars s = load_scalars(a);
  // VELMORA_HUGE_PAGES=0: the caches without transparent huge pages
  // (measurements of their first touch).
  if (const char* h = std::getenv("VELMORA_HUGE_PAGES")) use_huge_pages(std::string(h) != "0");

  // 1. Gauss rule.
  if (!gauss_rule(s.ngauss, a.var<double>(kVarGpt), a.var<double>(kVarGwt)))
    fatal_stop(fmt::list("Invalid parameter --> ngauss; stop"));

  // 2. Nodes and elements.
  mesh_source(a);

  // 3. Collocation points: the element centroids.
  collocation_points(s.nelem, s.nnode, a.var<int>(kVarIelem), a.var<double>(kVarXnode),
                     a.var<double>(kVarXcol));

  const MeshView mesh = mesh_in_block(a);
  const Tree tree = tree_in_block(a);

  // The mesh checks: warnings only; what they find also explains a solve
  // that breaks down.
  const MeshFindings findings = check_mesh(mesh);
  double largest_value = 0.0;
  for (int e = 1; e <= s.nelem; ++e)
    for (int k = 1; k <= 3; ++k)
      largest_value = std::max(largest_value, std::abs(mesh.value(e, k)));
  auto require_finite_at = [&](SolveStage stage, const double* v) {
    require_finite(stage, v, 3 * static_cast<std::int64_t>(s.nelem), findings, s.mu, largest_value);
  };

  // 4. Tree of cells.
  // A tree that does not fit maxcel or maxdep: what this mesh needs goes
  // before the stop (counted only then).
  MKTREE(s.maxdep, s.minlev, s.maxcel, s.maxl, s.nelem, s.nnode, tree, mesh.xnode, mesh.xcol,
         s.cubfac, a.var<int>(kVarIoct), a.var<int>(kVarIperm),
         [&] { report_tree_needs(mesh, s.maxdep, s.minlev, s.maxcel, s.maxl, s.cubfac); });

  const int n = 3 * s.nelem;
  double* const uvec = a.var<double>(kVarUvec);
  double* const b = a.var<double>(kVarB);
  double* const work = a.var<double>(kVarWork);
  Complex* const cmom = a.var<Complex>(kVarCmom);
  Complex* const cloc = a.var<Complex>(kVarCloc);
  const double* const gwt = a.var<double>(kVarGwt);
  const double* const gpt = a.var<double>(kVarGpt);
  const FmmScratch scratch = fmm_scratch_in_block(a);
  const NearField near = near_field_in_block(a);
  const PreconData precon = precon_data_in_block(a);

  // The fast path: the same operator and preconditioner, threaded, with the
  // lists, scratch and translation operators set up once.  Its caches (the
  // preconditioner's factors first, then the near-field blocks) are kept
  // when each fits whole in what is left of the cache budget; they are
  // sized here, before any product.
  std::unique_ptr<FmmEngine> engine;
  std::unique_ptr<FastPrecon> fast_precon;
  // A run of several processes splits the product's targets among them
  // (fmm/product_share.hpp) before the caches are sized.
  const Comm& comm = Comm::world();
  std::unique_ptr<ProductShare> share;
  if (!opt.reference_path) {
    engine = std::make_unique<FmmEngine>(mesh, tree, engine_params(s, gwt, gpt, opt.trades), cmom,
                                         cloc);
    // (An MPI build splits it for one process too, so that its console
    // reports the product the same way for any number.)
    if (comm_has_mpi()) share = std::make_unique<ProductShare>(*engine, tree, s.nelem, comm);
    if (s.iprec != 0) fast_precon = std::make_unique<FastPrecon>(precon);
    if (fast_precon && share) fast_precon->distribute(*share);
    const std::size_t budget = opt.cache_budget != SolveOptions::kFromFreeMemory
                                   ? opt.cache_budget
                                   : solve_cache_budget(a, tree.ncell(), s.maxcel, s.nexp);
    keep_caches(*engine, fast_precon.get(), budget);
    // What the caches kept beside the block will take (filled by the first
    // products), in the units of the memory report.
    const double factors = fast_precon && fast_precon->factor_cache_enabled()
                               ? static_cast<double>(fast_precon->factor_cache_bytes())
                               : 0.0;
    const double near_blocks =
        engine->near_cache_enabled() ? static_cast<double>(engine->near_cache_bytes()) : 0.0;
    to_console_and_log("  Caches kept beside the block a       =" +
                       fmt::F((factors + near_blocks) / 1.0e6, 12, 1) + " Mb (factors" +
                       fmt::F(factors / 1.0e6, 10, 1) + ", near field" +
                       fmt::F(near_blocks / 1.0e6, 10, 1) + ")");
  }

  // One application of the boundary integral operator, y += sum (T u - U t)
  // over all elements, with the densities of `mode`: 0 the prescribed values
  // with their signs reversed (the right-hand side), 1 the vector x.
  // complete = false (GMRES on split vectors, which reads only this
  // process's entries): the other processes' entries of y are left out.
  auto apply_operator = [&](int mode, const double* x, double* y, bool complete = true) {
    if (engine) {
      engine->apply(mode, x, y);
      if (share) {
        if (complete) share->complete(y);
        share->note_product(engine->timers().wall.total() + share->exchange_seconds());
      }
      return;
    }
    UPWRD(mesh, s.mu, s.minlev, s.maxl, s.maxcel, s.nexp, s.ngauss, gwt, gpt, tree, x, mode, cmom,
          scratch);
    DNWRD(mesh, s.mu, s.minlev, s.maxl, s.maxcel, s.nexp, mode, tree, cmom, x, s.snaptol, cloc,
          near, scratch, y);
  };

  // Closed bodies with prescribed velocities: the operator is singular on
  // them (x + c n_B), and every product gets the rank-one augmentation of
  // each such body (bem/null_space.hpp).
  const Bodies bodies = find_bodies(mesh);
  const ClosedBodyNullSpace null_space(mesh, bodies, s.mu);
  check_bodies(mesh, bodies, opt.interior);
  if (fast_precon) fast_precon->augment_whole_bodies(&null_space);

  // The coarse correction over the leaves' preconditioner, on the fast path.
  std::unique_ptr<TwoLevelPrecon> two_level;
  if (fast_precon && opt.coarse_correction) {
    two_level = std::make_unique<TwoLevelPrecon>(precon, *fast_precon, &null_space, opt.coarse);
    if (share) two_level->distribute(comm);
    if (two_level->coarse_unknowns() > 0) {
      std::string mb = fmt::F(static_cast<double>(two_level->bytes()) / 1.0e6, 12, 1);
      mb.erase(0, mb.find_first_not_of(' '));
      to_console_and_log("  Coarse correction: " + std::to_string(two_level->leaves()) +
                         " leaves in " + std::to_string(two_level->aggregates()) +
                         " aggregates, " + std::to_string(two_level->leaf_unknowns()) + " and " +
                         std::to_string(two_level->coarse_unknowns()) + " unknowns, " + mb + " Mb" +
                         (two_level->supports() > 0
                              ? " (linear on " + std::to_string(two_level->supports()) + " supports)"
                              : std::string()));
    } else {
      two_level.reset();
    }
  }

  // 5. Right-hand side.
  std::fill(b, b + n, 0.0);
  to_console_and_log(fmt::list("Calculating the b-vector ..."));
  apply_operator(0, uvec, b);
  std::fill(uvec, uvec + n, 0.0);
  require_finite_at(SolveStage::kRightHandSide, b);
  double bnorm2 = 0.0;
  for (int j = 0; j < n; ++j) bnorm2 += b[j] * b[j];
  const double bnorm = std::sqrt(bnorm2);

  // 6. Solver set-up: zero initial guess and b in the work array (GMRES's
  // order and, in a run of several processes, its share: solver/gmres_vectors.hpp).
  // Its requests are served in element order through gx, gz.
  to_console_and_log(fmt::list("Calling the GMRES solver ..."));
  std::vector<double> gx(static_cast<std::size_t>(n)), gz(static_cast<std::size_t>(n));
  GmresVectors gv(tree, s.nelem, s.maxl, s.minlev, s.m, work, s.lwork, share.get(), comm);
  const int nl = gv.nlocal();
  const bool precon_own = gv.local() && (two_level || fast_precon);
  if (precon_own) {
    if (two_level)
      two_level->keep_own_entries();
    else
      fast_precon->keep_own_entries();
  }
  // Ghost densities for the product on split vectors (collective).
  if (gv.local() && engine) gv.plan_product_reads(engine->density_positions());
  if (share) share->note_product_reads(gv.product_entries_received());
  const std::vector<int> own_elements = gv.local() ? gv.own_elements() : std::vector<int>();
  double* const gwork = gv.work();
  gv.from_whole(uvec, gwork);
  gv.from_whole(b, gwork + nl);
  int m = s.m;
  int ictrl[8], ireq[5] = {0, 0, 0, 0, 0}, info[3] = {0, 0, 0};
  double rctrl[5], rinfo[2] = {0.0, 0.0};
  gmres_init(ictrl, rctrl);
  ictrl[2] = kUnitLog;  // set-up summary and convergence history on output.log
  ictrl[3] = s.iprec;
  ictrl[4] = 3;  // iterative classical Gram-Schmidt
  ictrl[5] = 1;  // the initial guess in the work array is used
  ictrl[6] = iteration_limit(s.m, s.ncycle);
  rctrl[0] = s.tol;

  // 7. Reverse communication: serve every request until the solver is done.
  GmresState state;
  if (gv.local()) state.whole_nlocal = n;
  int products = 0;
  for (;;) {
    gmres_drive(state, n, nl, m, gv.lwork(), gwork, ireq, ictrl, rctrl, info, rinfo);
    const int request = ireq[0];
    if (request < req_amul || request > req_dots) break;
    double* const vt = gwork + (ireq[1] - 1);
    double* const zt = gwork + (ireq[3] - 1);
    double* const v = gx.data();
    double* const z = gz.data();
    // A non-finite value in a vector of the iteration can only end in a
    // non-finite solution: the run stops at the first one.
    if (request == req_amul) {
      if (hooks.progress) hooks.progress(products++, state.be_arnoldi);
      // On split vectors a process receives only the entries of v its
      // product reads (ghost densities), unless a value is not finite
      // somewhere: then v is gathered, and every process stops with the one
      // message.
      if (gv.has_product_plan()) {
        gv.to_product(vt, v);
        if (comm.sum(gv.non_finite_own(v)) > 0) gv.to_whole(vt, v);
      } else {
        gv.to_whole(vt, v);
      }
      require_finite_at(SolveStage::kIteration, v);
      std::fill(z, z + n, 0.0);
      // On split vectors each process forms and keeps its own entries of
      // the product; y is gathered only when some process finds a value
      // that is not finite, so that every process stops with the one
      // message.  The others' entries of z are zeros then augmented.  The
      // augmentation's inner products are added exactly over each process's
      // own elements and then across the processes: the same bits however
      // the elements are cut.
      apply_operator(1, v, z, !gv.local());
      null_space.augment_exact(v, z, gv.local() ? &own_elements : nullptr,
                               gv.local() ? &comm : nullptr);
      if (gv.local() && comm.sum(gv.non_finite_own(z)) > 0) share->complete(z);
      require_finite_at(SolveStage::kProduct, z);
      gv.from_whole(z, zt);
    } else if (request == req_lprec || request == req_rprec) {
      // On split vectors the preconditioner reads and forms this process's
      // entries only: no exchange of v or z, unless a value is not finite
      // somewhere (then they are gathered, and every process stops with the
      // one message).
      if (precon_own) {
        gv.own_to_whole(vt, v);
        if (comm.sum(gv.non_finite_own(v)) > 0) gv.to_whole(vt, v);
      } else {
        gv.to_whole(vt, v);
      }
      require_finite_at(SolveStage::kIteration, v);
      // The entries the preconditioner does not reach stay (with local
      // vectors it reaches all: every element is in a leaf of level 2 or
      // more).
      if (!gv.local()) gv.to_elements(zt, z);
      if (two_level)
        two_level->apply(v, z);
      else if (fast_precon)
        fast_precon->apply(v, z);
      else
        PRECON(v, z, precon);
      if (precon_own && comm.sum(gv.non_finite_own(z)) > 0) share->complete(z, true);
      require_finite_at(SolveStage::kPreconditioner, z);
      gv.from_whole(z, zt);
    } else {
      gv.dots(ireq[4], vt, gwork + (ireq[2] - 1), zt);
    }
  }

  if (two_level && two_level->active()) {
    auto seconds = [](double v) {
      std::string t = fmt::F(v, 12, 1);
      return t.erase(0, t.find_first_not_of(' '));
    };
    // The line carries "time used", as every record that depends on the
    // machine does, so that comparisons of runs can leave it out.
    to_console_and_log("  Coarse correction time used: built and factored in " +
                       seconds(two_level->setup_seconds()) + " s, applied in " +
                       seconds(two_level->correction_seconds()) + " s (coarse solves " +
                       seconds(two_level->coarse_solve_seconds()) + " s)");
  }

  if (share)
    for (const std::string& line : share->report(*engine)) units().write_console(line);

  // 8. Solver report, on the log only.
  Units& io = units();
  static const char* const kOrthogonalisation[4] = {"MGS", "IMGS", "CGS", "ICGS"};
  if (ictrl[4] >= 0 && ictrl[4] <= 3)
    io.write(kUnitLog,
             fmt::list(std::string("Orthogonalisation : ") + kOrthogonalisation[ictrl[4]]));
  io.write(kUnitLog, fmt::list("Restart : ", m));
  io.write(kUnitLog, fmt::list("info(1) = ", info[0], "  info(2) = ", info[1]));
  io.write(kUnitLog, fmt::list("rinfo(1) = ", rinfo[0], "  rinfo(2) = ", rinfo[1]));
  io.write(kUnitLog, fmt::list("Optimal workspace = ", info[2]));
  io.write(kUnitLog, fmt::list("Solution : "));

  // 9. The solution.
  gv.to_whole(gwork, uvec);
  const SolveOutcome outcome{info[0], info[1], rinfo[0], s.tol};
  if (outcome.info == 0 || outcome.info == -4) {
    // A solution that is not finite, or zero for a right-hand side that is
    // not, is no result: the run stops before writing any.
    require_finite_at(SolveStage::kSolution, uvec);
    require_nonzero_solution(uvec, b, n, findings, s.mu);
  }
  if (solved_outcome(outcome)) report_removed_parts(null_space, bodies, uvec, bnorm, s.tol);

  // 10. Split each element's unknowns into velocities and tractions and
  // write its record.
  double* const tvec = a.var<double>(kVarTvec);
  // A solve the solver refused (an error status) computed nothing: the files
  // are written as always (from the zero initial guess), but the console
  // shows no force as if it had solved; the program's exit status and its
  // last console line say what happened.
  const bool solved = solved_outcome(outcome);
  for (int e = 1; e <= s.nelem; ++e) {
    for (int k = 1; k <= 3; ++k) {
      const long j = 3L * (e - 1) + (k - 1);
      if (mesh.traction_prescribed(e, k)) {
        tvec[j] = mesh.value(e, k);
      } else {
        tvec[j] = uvec[j];
        uvec[j] = mesh.value(e, k);
      }
    }
  }
  // The c of t + c n on each treated body: the pressure vanishes at infinity
  // (bem/pressure_constant.hpp).  Force and torque do not change.
  if (solved) fix_pressure_constants(mesh, bodies, null_space, s.mu, uvec, tvec);
  if (hooks.velocity) hooks.velocity->assign(uvec, uvec + n);
  if (hooks.traction) hooks.traction->assign(tvec, tvec + n);
  write_solution_head();
  write_element_records(kUnitOut, uvec, tvec, mesh);

  // 11. Total force on the body.
  write_total_force(total_force(mesh, tvec), solved);

  // 12. The surface file, with the tractions negated.
  for (int j = 0; j < n; ++j) tvec[j] = -tvec[j];
  TECOUT(s.nelem, s.nnode, mesh.xnode, mesh.ielem, uvec, tvec);
  return outcome;
}

}  // namespace velmora
