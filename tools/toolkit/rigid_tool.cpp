#include "toolkit/rigid_tool.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>

#include <omp.h>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "common/large_array.hpp"
#include "common/listread.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "rigid/mobility_matrix.hpp"
#include "rigid/rigid_solver.hpp"
#include "run/program.hpp"
#include "toolkit/args.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/progress.hpp"
#include "toolkit/mesh_gaps.hpp"
#include "toolkit/rigid_model_out.hpp"
#include "toolkit/rigid_problem.hpp"
#include "toolkit/rigid_steps.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

// A command-line error: exit status 2.
struct UsageError : ToolError {
  using ToolError::ToolError;
};

// Loads and reference point given for all bodies (body 0) or for one.
struct LoadSpec {
  int body = 0;
  std::optional<Vec3> force, torque, about;
  std::optional<Squirmer> squirmer;
};

std::string num(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string json_vec(const double* v, int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? ", " : "") + num(v[i]);
  return s + "]";
}

std::string json_matrix(const std::vector<double>& a, int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) {
    s += (i ? ",\n    " : "\n    ") + json_vec(&a[static_cast<std::size_t>(i) * n], n);
  }
  return s + "\n  ]";
}

void print_matrix(std::ostream& out, const std::string& name, const std::vector<double>& a, int n,
                  int stride, int row0 = 0, int col0 = 0) {
  out << name << ":\n";
  char buf[32];
  for (int i = 0; i < n; ++i) {
    out << ' ';
    for (int j = 0; j < n; ++j) {
      std::snprintf(buf, sizeof buf, " %13.6e", a[static_cast<std::size_t>(row0 + i) * stride + col0 + j]);
      out << buf;
    }
    out << '\n';
  }
}

}  // namespace

int run_rigid_tool(const std::vector<std::string>& raw, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  for (const std::string& w : raw)
    if (w == "--help" || w == "-h") {
      out << rigid_usage();
      return 0;
    }
  UnitsGuard guard;
  units().set_error(&err);
  try {
    // 1. Command line.
    const std::vector<std::string> a = split_assignments(raw);
    std::string dir = ".";
    std::optional<std::string> json_path, vtu_path, model_dir;
    bool resistance = false, traction = true;
    std::vector<LoadSpec> specs(1);
    std::vector<int> fixed_given;
    AmbientFlow flow;
    int steps = 0;
    double dt = 0.0;
    bool pvd = false, quiet = false;
    // Options that take effect once: a second one would override the first.
    std::vector<std::string> seen;
    auto once = [&](const std::string& w) {
      if (std::find(seen.begin(), seen.end(), w) != seen.end())
        throw UsageError(w + " given twice (see velmora-rigid --help)");
      seen.push_back(w);
    };
    // Per --body (or before any): each load option once.
    auto once_per_body = [&]<class T>(const std::optional<T>& field, const std::string& w) {
      if (field.has_value()) {
        const int b = specs.back().body;
        throw UsageError(w + " given twice " +
                         (b == 0 ? std::string("before any --body") : "for --body " + std::to_string(b)));
      }
    };
    try {
      for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string& w = a[i];
        auto value = [&]() -> const std::string& {
          if (i + 1 >= a.size()) throw UsageError(w + " needs a value");
          return a[++i];
        };
        auto vec = [&]() {
          const std::vector<double> v = parse_reals(value(), 3, w);
          return Vec3{v[0], v[1], v[2]};
        };
        if (w == "--dir" || w == "--json" || w == "--vtu" || w == "--steps" || w == "--dt" ||
            w == "--model")
          once(w);
        if (w == "--dir") {
          dir = value();
        } else if (w == "--json") {
          json_path = value();
        } else if (w == "--vtu") {
          vtu_path = value();
        } else if (w == "--model") {
          model_dir = value();
        } else if (w == "--quiet") {
          quiet = true;
        } else if (w == "--resistance") {
          resistance = true;
        } else if (w == "--no-traction") {
          traction = false;
        } else if (w == "--body") {
          LoadSpec s;
          s.body = parse_int(value(), w);
          if (s.body < 1) throw UsageError("--body expects a body number from 1");
          specs.push_back(s);
        } else if (w == "--force") {
          once_per_body(specs.back().force, w);
          specs.back().force = vec();
        } else if (w == "--torque") {
          once_per_body(specs.back().torque, w);
          specs.back().torque = vec();
        } else if (w == "--about") {
          once_per_body(specs.back().about, w);
          specs.back().about = vec();
        } else if (w == "--squirmer") {
          once_per_body(specs.back().squirmer, w);
          const std::string& text = value();
          const int n = static_cast<int>(std::count(text.begin(), text.end(), ',')) + 1;
          if (n != 2 && n != 5) throw UsageError("--squirmer expects B1,B2 or B1,B2,AX,AY,AZ");
          const std::vector<double> v = parse_reals(text, n, w);
          Squirmer q;
          q.given = true;
          q.B1 = v[0];
          q.B2 = v[1];
          if (n == 5) {
            const double len = std::sqrt(v[2] * v[2] + v[3] * v[3] + v[4] * v[4]);
            if (!(len > 0.0) || !std::isfinite(len)) throw UsageError("--squirmer: the axis is zero");
            q.axis = {v[2] / len, v[3] / len, v[4] / len};
          }
          specs.back().squirmer = q;
        } else if (w == "--fixed") {
          const int k = parse_int(value(), w);
          if (k < 1) throw UsageError("--fixed expects a body number from 1");
          fixed_given.push_back(k);
        } else if (w == "--gradient" || w == "--shear") {
          if (flow.given)
            throw UsageError(w + ": give one of --gradient and --shear, once (see velmora-rigid --help)");
          flow.given = true;
          if (w == "--shear") {
            flow.G[1] = parse_real(value(), w);
          } else {
            const std::vector<double> g = parse_reals(value(), 9, w);
            double big = 0.0;
            for (int k = 0; k < 9; ++k) {
              flow.G[k] = g[k];
              big = std::max(big, std::abs(g[k]));
            }
            const double trace = g[0] + g[4] + g[8];
            if (std::abs(trace) > 1e-12 * big)
              throw UsageError("--gradient: the trace G11 + G22 + G33 = " + show(&trace, 1) +
                               " is not zero: an incompressible flow has none");
          }
        } else if (w == "--steps") {
          steps = parse_int(value(), w);
          if (steps < 1) throw UsageError("--steps expects at least 1");
        } else if (w == "--dt") {
          dt = parse_real(value(), w);
          if (!(dt > 0.0) || !std::isfinite(dt)) throw UsageError("--dt must be positive");
        } else if (w == "--pvd") {
          pvd = true;
        } else {
          throw UsageError("unknown argument " + w + " (see velmora-rigid --help)");
        }
      }
    } catch (const UsageError&) {
      throw;
    } catch (const ToolError& e) {
      throw UsageError(e.what());
    }
    // The same body named by two --body with the same load option: the
    // second would override the first.
    for (std::size_t i = 1; i < specs.size(); ++i)
      for (std::size_t j = i + 1; j < specs.size(); ++j) {
        if (specs[i].body != specs[j].body) continue;
        const LoadSpec &p = specs[i], &q = specs[j];
        const char* both = p.force && q.force       ? "--force"
                           : p.torque && q.torque   ? "--torque"
                           : p.about && q.about     ? "--about"
                           : p.squirmer && q.squirmer ? "--squirmer"
                                                    : nullptr;
        if (both)
          throw UsageError(std::string(both) + " given twice for --body " +
                           std::to_string(p.body));
      }
    if ((steps > 0) != (dt > 0.0)) throw UsageError("--steps and --dt go together");
    if (pvd && steps == 0) throw UsageError("--pvd needs --steps and --dt");
    if (model_dir && (!traction || steps > 0))
      throw UsageError("--model writes the traction solve: not with --no-traction or --steps");
    if (model_dir && !model_dir_clash(*model_dir, dir).empty())
      throw UsageError(model_dir_clash(*model_dir, dir));
    const std::string cnd_path = (fs::path(dir) / "input.cnd").string();
    const std::string dat_path = (fs::path(dir) / "input.dat").string();
    const std::string jpath = json_path.value_or((fs::path(dir) / "rigid.json").string());
    const std::string vpath = vtu_path.value_or((fs::path(dir) / "rigid.vtu").string());

    // 2. Input files.
    blas::pin_single_thread();
    const auto t0 = std::chrono::steady_clock::now();
    RunScalars s;
    {
      ListReader cnd;
      if (!cnd.open(cnd_path)) throw ToolError(cnd_path + ": cannot open the file");
      read_control(cnd, s);
    }
    const Model model = read_input_dat(dat_path);
    const SurfaceMesh& m = model.mesh;
    s.nelem = m.nelem;
    s.nnode = m.nnode;
    s.mu = model.mu;
    check_parameters(s);

    // 3. Bodies: closed, oriented for exterior flow, centroid inside.
    RigidSetup setup = rigid_setup(m, dat_path);
    const Bodies& bodies = setup.bodies;
    const int nb = bodies.count;
    const std::vector<BodyGeometry>& geo = setup.geometry;
    // Bodies closer than their elements are long move far too fast (the
    // lubrication flow between them is not resolved): said before solving.
    if (nb > 1) {
      const Gap gap = narrowest_gap(m, bodies);
      if (gap.found)
        err << "velmora-rigid: warning: bodies " << gap.body_a << " and " << gap.body_b
            << " come within " << show(&gap.distance, 1) << " of each other, where the elements "
            << "are up to " << show(&gap.size, 1)
            << " long: their relative motion comes out too fast (88 %, 31 %, 9 % for two spheres "
               "at element edges of 6, 3 and 1.5 gaps); mesh the gap with elements of a third of "
               "it\n";
    }

    // 4. Loads and reference points, about the reference (6 per body).
    std::vector<double> loads_ref(6 * static_cast<std::size_t>(nb), 0.0);
    std::vector<Vec3>& ref = setup.reference;
    std::vector<char> fixed(nb, 0);
    for (const int k : fixed_given) {
      if (k > nb)
        throw UsageError("--fixed " + std::to_string(k) + ": the mesh has " + std::to_string(nb) +
                         (nb == 1 ? " body" : " bodies"));
      fixed[k - 1] = 1;
    }
    std::vector<Squirmer> squirmers;
    for (const LoadSpec& sp : specs) {
      if (sp.body > nb)
        throw UsageError("--body " + std::to_string(sp.body) + ": the mesh has " +
                         std::to_string(nb) + (nb == 1 ? " body" : " bodies"));
      if (sp.body != 0 && fixed[sp.body - 1] && (sp.force || sp.torque))
        throw UsageError("--body " + std::to_string(sp.body) +
                         " is --fixed: its force and torque are found, not given");
      for (int b = 1; b <= nb; ++b) {
        if (sp.body != 0 && sp.body != b) continue;
        double* L = &loads_ref[6 * static_cast<std::size_t>(b - 1)];
        if (!fixed[b - 1]) {
          if (sp.force) for (int i = 0; i < 3; ++i) L[i] = (*sp.force)[i];
          if (sp.torque) for (int i = 0; i < 3; ++i) L[3 + i] = (*sp.torque)[i];
        }
        if (sp.about) ref[b - 1] = *sp.about;
        if (sp.squirmer) {
          squirmers.resize(nb);
          squirmers[b - 1] = *sp.squirmer;
        }
      }
    }
    const bool active = flow.given || !squirmers.empty();
    const std::vector<double> g = active ? surface_velocity(m, setup, flow, squirmers)
                                         : std::vector<double>();

    // 5. Solves.
    // With time steps, the memory of this solver's caches is handed on to
    // the steps' solvers rather than mapped afresh.
    std::optional<KeepLargeMappings> keep;
    if (steps > 0) keep.emplace();
    std::unique_ptr<RigidSolver> solver_ptr = make_solver(m, setup, s);
    RigidSolver& solver = *solver_ptr;
    solver.set_fixed(fixed);
    // The steps share this solver's templates of the bodies' near fields.
    if (steps > 0) solver.expect_solves(steps + 2);
    auto since = [](std::chrono::steady_clock::time_point t) {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    const double setup_seconds = since(t0);
    out << "velmora-rigid: " << m.nelem << " elements, " << nb << (nb == 1 ? " body" : " bodies")
        << ", mu " << show(&s.mu, 1) << ", " << solver.ncell() << " cells\n"
        << std::flush;
    // A build that runs on several processes names their number.
    if (comm_has_mpi())
      out << "velmora-rigid: processes: ranks: " << Comm::world().size()
          << ", threads per rank: " << omp_get_max_threads() << '\n';
    std::ostream* progress = quiet ? nullptr : &err;
    if (progress)
      *progress << "velmora-rigid: set-up " << seconds_text(setup_seconds) << " (files, tree)\n"
                << std::flush;
    // Within a long solve: a line every 10 s with the products so far and
    // the solver's estimate of the backward error.
    Stopwatch solve_clock;
    double last_line = 0.0;
    if (progress)
      solver.set_progress([&](int products, double be) {
        if (products == 0) solve_clock = Stopwatch(), last_line = 0.0;
        const double t = solve_clock.seconds();
        if (t - last_line < 10.0) return;
        last_line = t;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2e", be);
        *progress << "velmora-rigid:   " << products << " products, backward error " << buf
                  << ", elapsed " << seconds_text(t) << " in this solve\n"
                  << std::flush;
      });

    std::vector<SolveReport> reports;
    const std::size_t n6 = 6 * static_cast<std::size_t>(nb);
    std::vector<double> lc(n6), mc(n6), motion(n6);
    loads_to_centres(setup, loads_ref.data(), lc.data());
    const int nfree = nb - static_cast<int>(std::count(fixed.begin(), fixed.end(), 1));
    const std::size_t nf6 = 6 * static_cast<std::size_t>(nfree);
    // The solves in order: mobility, the resistance columns, the tractions.
    const long nsolves = 1 + (resistance && nfree > 0 ? static_cast<long>(nf6) : 0) + (traction ? 1 : 0);
    const auto t1 = std::chrono::steady_clock::now();
    // The time left at the mean pace of the solves that iterated so far (a
    // zero right-hand side, as for no loads, takes no time and says nothing
    // of the others).
    long iterated = 0;
    auto solved = [&](const std::string& what) {
      if (!progress) return;
      const SolveReport& r = reports.back();
      const long k = static_cast<long>(reports.size());
      if (r.iterations > 0) ++iterated;
      const double el = since(t1);
      std::string pace = "elapsed " + seconds_text(el);
      if (iterated > 0 && k < nsolves)
        pace += ", about " + seconds_text(el / static_cast<double>(iterated) *
                                          static_cast<double>(nsolves - k)) + " left";
      *progress << "velmora-rigid: solve " << k << " of " << nsolves << " (" << what
                << "): " << r.iterations << " iterations, " << pace
                << (r.converged ? "" : ", NOT CONVERGED") << '\n'
                << std::flush;
    };
    std::vector<double> density0;  // the start of the time steps' first solve
    const RigidSolver::Outcome first =
        solver.solve(lc.data(), active ? g.data() : nullptr, steps > 0 ? &density0 : nullptr);
    reports.push_back(first.report);
    solved("mobility");
    if (progress && solver.pairs_shared() > 0) {
      const auto t = solver.congruent_templates();
      std::size_t copies = 0;
      for (int k = 0; k < t->classes(); ++k) copies += t->members(k).size();
      *progress << "velmora-rigid: near field: " << solver.pairs_shared() << " pairs of "
                << copies << " bodies with themselves turned from " << t->classes()
                << (t->classes() == 1 ? " template" : " templates") << ", "
                << solver.pairs_integrated() << " integrated\n"
                << std::flush;
    }
    mc = first.motion;
    motions_to_references(setup, mc.data(), motion.data());
    // Fixed bodies: the loads found, about the references.
    fixed_loads_to_references(setup, fixed, first.loads.data(), loads_ref.data());
    const double mobility_seconds = since(t1);

    std::vector<double> mob, res;
    if (resistance && nfree > 0) {
      mob = mobility_matrix(solver, setup, reports, fixed, [&](std::size_t j, std::size_t n) {
        solved("column " + std::to_string(j) + " of " + std::to_string(n) + " of the mobility matrix");
      });
      if (!invert_matrix(static_cast<int>(nf6), mob, res))
        throw ToolError("the mobility matrix is singular");
    }

    // The motion about the centres, for the velocities of the surface.
    std::vector<double> mcent(n6);
    motions_to_centres(setup, motion.data(), mcent.data());
    std::vector<double> t, stress, t_model;
    if (traction) {
      t.assign(3 * static_cast<std::size_t>(m.nelem), 0.0);
      reports.push_back(solver.tractions(mcent.data(), active ? g.data() : nullptr, t.data()));
      solved("tractions");
      if (model_dir) t_model = t;  // the disturbance's traction, for --model
      // The whole traction: the disturbance's and the ambient flow's.
      add_ambient_traction(m, flow, s.mu, t.data());
      const std::vector<double> us = slip_velocity(m, setup, squirmers);
      stress = stresslets(m, setup, t.data(), squirmers.empty() ? nullptr : us.data(), s.mu);
    }
    const double seconds = since(t0);

    // 6. Console summary.
    for (int b = 1; b <= nb; ++b) {
      const double* L = &loads_ref[6 * static_cast<std::size_t>(b - 1)];
      const double* V = &motion[6 * static_cast<std::size_t>(b - 1)];
      const std::string k = "body " + std::to_string(b);
      out << k << ": " << geo[b - 1].nelem << " elements, reference " << show(ref[b - 1].data())
          << '\n';
      out << k << " force: " << show(L) << "  torque: " << show(L + 3) << '\n';
      out << k << " velocity: " << show(V) << "  rotation: " << show(V + 3)
          << (fixed[b - 1] ? "  (fixed)" : "") << '\n';
      if (!stress.empty()) {
        const double* S = &stress[9 * static_cast<std::size_t>(b - 1)];
        out << k << " stresslet: " << show(S) << " / " << show(S + 3) << " / " << show(S + 6)
            << '\n';
      }
    }
    if (traction) {
      const Loads ld = compute_loads(m, bodies, t.data(), Vec3{0, 0, 0});
      for (int b = 1; b <= nb; ++b) {
        // compute_loads gives the fluid's force on the body, -sum A t.
        const Vec3& f = ld.bodies[b - 1].force;
        const double fb[3] = {0.0 - f[0], 0.0 - f[1], 0.0 - f[2]};
        out << "body " << b << " force from the tractions: " << show(fb) << '\n';
      }
    }
    for (std::size_t i = 0; i < reports.size(); ++i) {
      const char* kind = i == 0 ? "mobility"
                         : (traction && i + 1 == reports.size()) ? "traction"
                                                                  : "resistance";
      char buf[160];
      std::snprintf(buf, sizeof buf, "solve %zu (%s): %d iterations, backward error %.3e%s\n",
                    i + 1, kind, reports[i].iterations, reports[i].backward_error,
                    reports[i].converged ? "" : ", NOT CONVERGED");
      out << buf;
    }
    if (resistance && nfree > 0) {
      const int n = static_cast<int>(nf6);
      if (nfree < nb) out << "(the free bodies only; fixed bodies are held still)\n";
      print_matrix(out, "resistance matrix R", res, n, n);
      print_matrix(out, "mobility matrix M = R^-1", mob, n, n);
      if (nb == 1 && nfree == 1) {
        double d[3];
        if (centre_of_mobility(mob, d)) {
          const std::vector<double> mc6 = shift_mobility(mob, d);
          const double cm[3] = {ref[0][0] + d[0], ref[0][1] + d[1], ref[0][2] + d[2]};
          out << "centre of mobility: " << show(cm) << '\n';
          print_matrix(out, "translation mobility there", mc6, 3, 6, 0, 0);
          print_matrix(out, "coupling mobility there (symmetric)", mc6, 3, 6, 3, 0);
          print_matrix(out, "rotation mobility", mc6, 3, 6, 3, 3);
        }
      }
    }
    char tline[200];
    std::snprintf(tline, sizeof tline,
                  "set-up %.2f s (files, tree), mobility solve %.2f s, %ld products of the "
                  "mobility operator %.2f s; wall-clock time %.2f s\n",
                  setup_seconds, mobility_seconds, solver.products(), solver.product_seconds(),
                  seconds);
    out << tline;
    for (const std::string& line : solver.product_split_report()) out << line << '\n';
    if (solver.coarse_dimension() > 0)
      out << "coarse space: " << solver.coarse_dimension() / 6 << " pieces of thin bodies ("
          << solver.coarse_dimension()
          << " products to set up), taken because plain restarts converged too slowly\n";

    // 7. rigid.json (rank 0 of several processes writes the files).
    if (writes_files()) {
      std::ofstream f(jpath);
      if (!f) throw ToolError(jpath + ": cannot write the file");
      f << "{\n  \"bodies\": [";
      for (int b = 1; b <= nb; ++b) {
        const double* L = &loads_ref[6 * static_cast<std::size_t>(b - 1)];
        const double* V = &motion[6 * static_cast<std::size_t>(b - 1)];
        f << (b > 1 ? ",\n    " : "\n    ") << "{\"body\": " << b
          << ", \"elements\": " << geo[b - 1].nelem
          << ", \"reference\": " << json_vec(ref[b - 1].data(), 3)
          << ", \"force\": " << json_vec(L, 3) << ", \"torque\": " << json_vec(L + 3, 3)
          << ", \"velocity\": " << json_vec(V, 3) << ", \"rotation\": " << json_vec(V + 3, 3);
        if (fixed[b - 1]) f << ", \"fixed\": true";
        if (!stress.empty()) {
          const double* S = &stress[9 * static_cast<std::size_t>(b - 1)];
          f << ", \"stresslet\": [" << json_vec(S, 3) << ", " << json_vec(S + 3, 3) << ", "
            << json_vec(S + 6, 3) << "]";
        }
        f << "}";
      }
      f << "\n  ],\n";
      if (resistance && nfree > 0) {
        f << "  \"resistance\": " << json_matrix(res, static_cast<int>(nf6)) << ",\n";
        f << "  \"mobility\": " << json_matrix(mob, static_cast<int>(nf6)) << ",\n";
      }
      f << "  \"solves\": [";
      for (std::size_t i = 0; i < reports.size(); ++i)
        f << (i ? ",\n    " : "\n    ") << "{\"iterations\": " << reports[i].iterations
          << ", \"backward_error\": " << num(reports[i].backward_error)
          << ", \"converged\": " << (reports[i].converged ? "true" : "false") << "}";
      f << "\n  ]\n}\n";
      if (!f.flush()) throw ToolError(jpath + ": cannot write the file");
      out << "wrote " << jpath << '\n';
    }

    // 8. rigid.vtu: per element the velocity (rigid motion and slip) and the traction.
    if (traction && writes_files()) {
      std::vector<double> u = slip_velocity(m, setup, squirmers);
      add_rigid_motion(solver.bodies(), mcent.data(), u.data());
      std::ofstream f(vpath);
      if (!f) throw ToolError(vpath + ": cannot write the file");
      write_vtu(f, m, bodies, u.data(), t.data());
      if (!f.flush()) throw ToolError(vpath + ": cannot write the file");
      out << "wrote " << vpath << '\n';
    }
    if (model_dir && writes_files())  // the disturbance flow the traction solve prescribed and found
      write_rigid_model(*model_dir, model, s, solver.prescribed_velocity().data(), t_model.data(),
                        cpu_seconds(), since(t0), out);
    int status = 0;
    for (const SolveReport& r : reports)
      if (!r.converged) status = 3;

    // 9. Time steps.  The first configuration's solver goes first: its
    // near-field cache would hold the memory the steps' solvers cache in.
    if (steps > 0) {
      StepRequest req;
      req.templates = solver.congruent_templates();
      solver_ptr.reset();
      req.mesh = &m;
      req.setup = &setup;
      req.controls = s;
      req.loads = loads_ref;
      for (int b = 0; b < nb; ++b)
        if (fixed[b])
          for (int k = 0; k < 6; ++k) req.loads[6 * b + k] = 0.0;
      req.squirmers = squirmers;
      req.flow = flow;
      req.fixed = fixed;
      req.motion0 = motion;
      req.density0 = std::move(density0);
      req.steps = steps;
      req.dt = dt;
      req.pvd = pvd;
      req.dir = dir;
      if (run_time_steps(req, out, progress) == 3) status = 3;
    }
    return status;
  } catch (const UsageError& e) {
    err << "velmora-rigid: " << e.what() << '\n';
    return 2;
  } catch (const ToolError& e) {
    err << "velmora-rigid: " << e.what() << '\n';
    return 1;
  } catch (const std::invalid_argument& e) {
    err << "velmora-rigid: " << e.what() << '\n';
    return 1;
  } catch (const StopRun& stop) {
    return report_stop(stop);
  }
}

}  // namespace velmora::tools
