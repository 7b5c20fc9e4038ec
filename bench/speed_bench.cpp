// Timing of the multipole product and of the preconditioner on a model
// directory (input.cnd, input.dat as the program reads them), for the table
// of bench/speed.sh.
//
//   speed_bench DIR [--products K] [--threads N] [--no-cache] [--reference]
//                   [--dense] [--thread-ratio] [--exact] [--compare-exact]
//                   [--dense-file F] [--alpha A] [--factor F]
//
// It sets up the run as the program does (parameters, storage block, mesh,
// tree), then with the fast path (FmmEngine, FastPrecon) times
//   - the first product of mode 1 (near field integrated by TRIINT, the
//     near-field cache filled when it fits the budget of the solve),
//   - K further products of mode 1 (from the cache when it is kept),
//   - two preconditioner applications (the first factors the leaf blocks
//     and keeps the factors when they fit),
// each product split into its phases (wall-clock seconds), after the
// right-hand side's product (mode 0, "rhs").  Options:
//   --reference     one product by UPWRD + DNWRD (the plain path) on the
//                   calling thread, and its largest difference to the fast
//                   product relative to the largest entry;
//   --dense         the dense product (every pair through TRIINT, threaded)
//                   and the errors of the fast product against it, mode 0
//                   and mode 1 (relative, max norm, and relative in the
//                   2-norm, the metric of the backward error);
//   --thread-ratio  the product (integrated and cached) with 1 thread and
//                   with N threads, one after the other;
//   --exact         without the fast path's trades (as VELMORA_EXACT=1);
//   --compare-exact with --dense, the errors of the exact path as well;
//   --dense-file F  the dense products kept in F.mode0 and F.mode1 (read
//                   when present, written otherwise);
//   --alpha A, --factor F  the model of the translation orders
//                   (fmm/m2l_order.hpp).
// Output: one "key value" pair per line.  Peak resident memory (VmHWM) is
// that of this process, which writes the solver's work array and vectors as
// well, so it holds what a run holds.
#include <omp.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "bem/gauss.hpp"
#include "bem/mesh.hpp"
#include "bem/triint.hpp"
#include "common/blas.hpp"
#include "common/listread.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"
#include "common/units.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/engine.hpp"
#include "fmm/mktree.hpp"
#include "fmm/passes.hpp"
#include "fmm/upwrd.hpp"
#include "run/bemsol.hpp"
#include "run/program.hpp"
#include "run/registry.hpp"
#include "solver/fast_precon.hpp"
#include "solver/precon.hpp"

namespace velmora {
namespace {

double peak_rss_mb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0.0;
}

// Processor seconds of the whole process (all threads).
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double rel_diff(const std::vector<double>& a, const std::vector<double>& ref) {
  double d = 0.0, m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    d = std::max(d, std::abs(a[i] - ref[i]));
    m = std::max(m, std::abs(ref[i]));
  }
  return m > 0.0 ? d / m : d;
}

// |a - ref|_2 / |ref|_2: the far field's share of a backward error.
double rel_diff2(const std::vector<double>& a, const std::vector<double>& ref) {
  double d = 0.0, m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    d += (a[i] - ref[i]) * (a[i] - ref[i]);
    m += ref[i] * ref[i];
  }
  return m > 0.0 ? std::sqrt(d / m) : std::sqrt(d);
}

// A vector of doubles in a raw file (the dense product, kept between runs):
// read when the file exists with the right size.
bool read_vector(const std::string& file, std::vector<double>& v) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::vector<double> r(v.size());
  in.read(reinterpret_cast<char*>(r.data()), static_cast<std::streamsize>(r.size() * sizeof(double)));
  if (!in || in.peek() != std::char_traits<char>::eof()) return false;
  v = r;
  return true;
}
void write_vector(const std::string& file, const std::vector<double>& v) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(double)));
}

void put(const char* key, double v) {
  std::printf("%s %.6g\n", key, v);
}

// Wall-clock seconds per phase as prefix_phase, processor seconds as
// prefix_phase_cpu, the critical path as prefix_phase_crit.
void put_phases(const char* prefix, const EngineTimers& t, double n) {
  const char* names[6] = {"moments", "m2m", "m2l", "l2l", "near", "eval"};
  for (int k = 0; k < 3; ++k) {
    const PhaseTimes& p = k == 0 ? t.wall : k == 1 ? t.cpu : t.critical;
    const char* suffix = k == 0 ? "" : k == 1 ? "_cpu" : "_crit";
    const double v[6] = {p.moments, p.m2m, p.m2l, p.l2l, p.near, p.eval};
    for (int i = 0; i < 6; ++i) std::printf("%s_%s%s %.6g\n", prefix, names[i], suffix, v[i] / n);
    std::printf("%s_total%s %.6g\n", prefix, suffix, p.total() / n);
  }
}

// The dense product y += sum over all pairs, every target against every
// source through TRIINT, targets split among the threads.
void dense_product(const MeshView& mesh, double mu, double snaptol, int mode, const double* x,
                   double* y) {
  const int ne = mesh.nelem;
  const int chunk = 512;
  const int nchunks = (ne + chunk - 1) / chunk;
#pragma omp parallel
  {
    std::vector<int> ltarg(chunk + 1), ints(kTriintInts * chunk);
    std::vector<double> reals(kTriintReals * chunk);
    NearCoef c{};
    TriintWork w{};
    carve_triint_arrays(reals.data(), ints.data(), chunk, c, w);
#pragma omp for schedule(dynamic, 1)
    for (int ic = 0; ic < nchunks; ++ic) {
      const int g0 = ic * chunk + 1;
      const int nb = std::min(chunk, ne - g0 + 1);
      ltarg[0] = nb;
      for (int k = 0; k < nb; ++k) ltarg[1 + k] = g0 + k;
      for (int e = 1; e <= ne; ++e) {
        double normal[3], u[3], t[3];
        TRIINT(mesh, mu, snaptol, ltarg.data(), c, w, normal, e);
        element_densities(mesh, e, mode, x, u, t);
        for (int k = 0; k < nb; ++k) {
          const double U[3][3] = {{c.u[0][k], c.u[1][k], c.u[2][k]},
                                  {c.u[1][k], c.u[3][k], c.u[4][k]},
                                  {c.u[2][k], c.u[4][k], c.u[5][k]}};
          for (int i = 0; i < 3; ++i) {
            double s = 0.0;
            for (int j = 0; j < 3; ++j) s += c.t[3 * i + j][k] * u[j] - U[i][j] * t[j];
            y[3 * static_cast<long>(g0 + k - 1) + i] += s;
          }
        }
      }
    }
  }
}

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: speed_bench DIR [--products K] [--threads N] [--no-cache] [--reference] "
                 "[--dense] [--thread-ratio]\n");
    return 2;
  }
  const std::string dir = argv[1];
  int products = 3, threads = omp_get_max_threads();
  bool cache = true, reference = false, dense = false, ratio = false, compare_exact = false;
  std::string dense_file;
  EngineTrades trades = engine_trades();
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--products" && i + 1 < argc)
      products = std::atoi(argv[++i]);
    else if (a == "--threads" && i + 1 < argc)
      threads = std::atoi(argv[++i]);
    else if (a == "--no-cache")
      cache = false;
    else if (a == "--reference")
      reference = true;
    else if (a == "--dense")
      dense = true;
    else if (a == "--thread-ratio")
      ratio = true;
    else if (a == "--exact")
      trades = EngineTrades();
    else if (a == "--compare-exact")
      compare_exact = true;
    else if (a == "--dense-file" && i + 1 < argc)
      dense_file = argv[++i];
    else if (a == "--alpha" && i + 1 < argc)
      trades.m2l_order.alpha = std::atof(argv[++i]);
    else if (a == "--factor" && i + 1 < argc)
      trades.m2l_order.factor = std::atof(argv[++i]);
    else {
      std::fprintf(stderr, "speed_bench: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  blas::pin_single_thread();
  omp_set_num_threads(threads);
#pragma omp parallel
  {
    // Subnormals flushed in every thread, as the program runs.
    unsigned csr;
    __asm__ __volatile__("stmxcsr %0" : "=m"(csr));
    csr |= 0x8040;
    __asm__ __volatile__("ldmxcsr %0" : : "m"(csr));
  }

  // Set-up as the program: parameters, block, mesh, tree.
  UnitsGuard guard;
  std::ostringstream sink;
  units().set_console(&sink);
  units().attach(6, &sink);
  ListReader cnd, dat;
  if (!cnd.open(dir + "/input.cnd") || !dat.open(dir + "/input.dat")) {
    std::fprintf(stderr, "speed_bench: cannot open the model files in %s\n", dir.c_str());
    return 1;
  }
  RunScalars s;
  read_control(cnd, s);
  cnd.close();
  read_model_head(dat, s);
  check_parameters(s);
  Block a;
  register_variables(a, RunSizes{s.nelem, s.nnode, s.lwork, s.maxl, s.maxcel, s.maxdep, s.nexp});
  a.allocate();
  store_scalars(a, s);
  double* gpt = a.var<double>(kVarGpt);
  double* gwt = a.var<double>(kVarGwt);
  gauss_rule(s.ngauss, gpt, gwt);
  read_mesh(a, dat);
  collocation_points(s.nelem, s.nnode, a.var<int>(kVarIelem), a.var<double>(kVarXnode),
                     a.var<double>(kVarXcol));
  const MeshView mesh = mesh_in_block(a);
  const Tree tree = tree_in_block(a);
  double w = omp_get_wtime();
  MKTREE(s.maxdep, s.minlev, s.maxcel, s.maxl, s.nelem, s.nnode, tree, mesh.xnode, mesh.xcol,
         s.cubfac, a.var<int>(kVarIoct), a.var<int>(kVarIperm));
  const double tree_s = omp_get_wtime() - w;

  put("nelem", s.nelem);
  put("nexp", s.nexp);
  put("maxl", s.maxl);
  put("ngauss", s.ngauss);
  put("threads", threads);
  put("nlev", *tree.nlev);
  put("ncell", tree.ncell());
  put("tree_s", tree_s);
  put("block_mb", block_megabytes(a));

  const std::size_t ndof = 3 * static_cast<std::size_t>(s.nelem);
  std::vector<double> x(ndof);
  for (std::size_t i = 0; i < ndof; ++i) x[i] = std::sin(0.37 * static_cast<double>(i) + 0.1);
  Complex* cmom = a.var<Complex>(kVarCmom);
  Complex* cloc = a.var<Complex>(kVarCloc);
  const EngineParams par = engine_params(s, gwt, gpt, trades);
  put("exact", trades.m2l_order_by_distance || trades.single_precision_near_cache ? 0 : 1);

  // The fast path with the caches of the solve.
  w = omp_get_wtime();
  auto engine = std::make_unique<FmmEngine>(mesh, tree, par, cmom, cloc);
  const PreconData pd = precon_data_in_block(a);
  FastPrecon precon(pd);
  put("setup_s", omp_get_wtime() - w);
  const std::size_t budget = cache ? solve_cache_budget(a, tree.ncell(), s.maxcel, s.nexp) : 0;
  put("cache_budget_mb", budget / 1e6);
  {
    // What the budget was formed from: the system's available memory and
    // this process's resident memory at that moment.
    std::ifstream mi("/proc/meminfo"), st("/proc/self/status");
    std::string line;
    while (std::getline(mi, line))
      if (line.rfind("MemAvailable:", 0) == 0) put("available_at_budget_mb", std::atof(line.c_str() + 13) / 1024.0);
    while (std::getline(st, line))
      if (line.rfind("VmRSS:", 0) == 0) put("rss_at_budget_mb", std::atof(line.c_str() + 6) / 1024.0);
  }
  put("factor_cache_mb", precon.factor_cache_bytes() / 1e6);
  put("near_cache_mb", engine->near_cache_bytes() / 1e6);
  keep_caches(*engine, &precon, budget);
  put("factor_cache_kept", precon.factor_cache_enabled());
  put("near_cache_kept", engine->near_cache_enabled());
  put("fixed_extra_mb", (engine->fixed_bytes() + precon.fixed_bytes()) / 1e6);

  std::vector<double> y(ndof, 0.0), y1(ndof);
  // The right-hand side first, as a solve forms it (mode 0: the prescribed
  // values, near field integrated, nothing cached).
  engine->apply(0, nullptr, y.data());
  put_phases("rhs", engine->timers(), 1.0);
  engine->timers() = EngineTimers();
  std::fill(y.begin(), y.end(), 0.0);
  engine->apply(1, x.data(), y.data());
  y1 = y;
  put_phases("first", engine->timers(), 1.0);
  put("near_pairs", static_cast<double>(engine->timers().near_pairs_integrated));
  put("m2l_pairs", static_cast<double>(engine->m2l_pairs()));
  {
    // The translations' share of the work at full order, counting
    // (q+1)^3 per entry of order q.
    const std::vector<std::int64_t> orders = engine->m2l_orders();
    double work = 0.0, full = 0.0;
    for (std::size_t q = 0; q < orders.size(); ++q) {
      work += static_cast<double>(orders[q]) * std::pow(static_cast<double>(q + 1), 3);
      full += static_cast<double>(orders[q]) * std::pow(static_cast<double>(s.nexp + 1), 3);
    }
    put("m2l_cubic_work_share", full > 0.0 ? work / full : 0.0);
  }
  engine->timers() = EngineTimers();
  for (int k = 0; k < products; ++k) {
    std::fill(y.begin(), y.end(), 0.0);
    engine->apply(1, x.data(), y.data());
  }
  if (products > 0) {
    put_phases("next", engine->timers(), products);
    put("next_vs_first_diff", rel_diff(y, y1));
  }

  std::vector<double> z(ndof, 0.0);
  w = omp_get_wtime();
  double c = cpu_seconds();
  precon.apply(x.data(), z.data());
  put("precon_first_s", omp_get_wtime() - w);
  put("precon_first_cpu", cpu_seconds() - c);
  w = omp_get_wtime();
  c = cpu_seconds();
  precon.apply(x.data(), z.data());
  put("precon_next_s", omp_get_wtime() - w);
  put("precon_next_cpu", cpu_seconds() - c);
  // The solver's vectors and work array, written as the solve writes them,
  // so that the peak holds everything a run holds.
  std::fill_n(a.var<double>(kVarWork), s.lwork, 0.0);
  std::fill_n(a.var<double>(kVarUvec), ndof, 0.0);
  std::fill_n(a.var<double>(kVarB), ndof, 0.0);
  put("peak_rss_mb", peak_rss_mb());

  if (ratio) {
    double t_int[2], t_cached[2], c_int[2], c_cached[2];
    const int counts[2] = {1, threads};
    for (int i = 0; i < 2; ++i) {
      omp_set_num_threads(counts[i]);
      engine.reset();
      engine = std::make_unique<FmmEngine>(mesh, tree, par, cmom, cloc);
      if (cache) keep_caches(*engine, nullptr, solve_cache_budget(a, tree.ncell(), s.maxcel, s.nexp));
      std::fill(y.begin(), y.end(), 0.0);
      engine->apply(1, x.data(), y.data());
      t_int[i] = engine->timers().wall.total();
      c_int[i] = engine->timers().critical.total();
      engine->timers() = EngineTimers();
      std::fill(y.begin(), y.end(), 0.0);
      engine->apply(1, x.data(), y.data());
      t_cached[i] = engine->timers().wall.total();
      c_cached[i] = engine->timers().critical.total();
    }
    omp_set_num_threads(threads);
    put("ratio_first_1t_s", t_int[0]);
    put("ratio_first_nt_s", t_int[1]);
    put("ratio_next_1t_s", t_cached[0]);
    put("ratio_next_nt_s", t_cached[1]);
    put("speedup_threads_first", t_int[0] / t_int[1]);
    put("speedup_threads_next", t_cached[0] / t_cached[1]);
    put("speedup_threads_first_crit", c_int[0] / c_int[1]);
    put("speedup_threads_next_crit", c_cached[0] / c_cached[1]);
  }

  if (reference) {
    const FmmScratch scratch = fmm_scratch_in_block(a);
    const NearField near = near_field_in_block(a);
    FmmTimers ft;
    std::vector<double> yr(ndof, 0.0);
    w = omp_get_wtime();
    UPWRD(mesh, s.mu, s.minlev, s.maxl, s.maxcel, s.nexp, s.ngauss, gwt, gpt, tree, x.data(), 1,
          cmom, scratch, &ft);
    DNWRD(mesh, s.mu, s.minlev, s.maxl, s.maxcel, s.nexp, 1, tree, cmom, x.data(), s.snaptol, cloc,
          near, scratch, yr.data(), &ft);
    put("reference_s", omp_get_wtime() - w);
    put("reference_near_s", ft.near);
    put("reference_m2l_s", ft.m2l);
    put("reference_vs_fast_diff", rel_diff(y1, yr));
  }

  if (dense) {
    // The products as a solve forms them: mode 0 integrated (the right-hand
    // side), mode 1 from the near-field cache (kept here whatever the
    // budget), with the trades in use and, with --compare-exact, with none.
    std::vector<EngineTrades> paths{par.trades};
    if (compare_exact) paths.push_back(EngineTrades());
    for (int mode = 0; mode <= 1; ++mode) {
      std::vector<double> yd(ndof, 0.0);
      const std::string file =
          dense_file.empty() ? std::string() : dense_file + ".mode" + std::to_string(mode);
      if (file.empty() || !read_vector(file, yd)) {
        w = omp_get_wtime();
        dense_product(mesh, s.mu, s.snaptol, mode, x.data(), yd.data());
        std::printf("dense_s_mode%d %.6g\n", mode, omp_get_wtime() - w);
        if (!file.empty()) write_vector(file, yd);
      }
      for (std::size_t k = 0; k < paths.size(); ++k) {
        EngineParams pk = par;
        pk.trades = paths[k];
        FmmEngine e(mesh, tree, pk, cmom, cloc);
        e.enable_near_cache();
        std::vector<double> yf(ndof, 0.0);
        e.apply(mode, x.data(), yf.data());
        if (mode == 1) {
          std::fill(yf.begin(), yf.end(), 0.0);
          e.apply(mode, x.data(), yf.data());
        }
        std::printf("dense_error_mode%d%s %.6g\n", mode, k == 0 ? "" : "_exact", rel_diff(yf, yd));
        std::printf("dense_error2_mode%d%s %.6g\n", mode, k == 0 ? "" : "_exact", rel_diff2(yf, yd));
      }
    }
  }
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  // A stop of the set-up (maxcel or maxdep too small, unreadable input),
  // whose message is written here, or a refused allocation ends the
  // benchmark with a failure status.
  try {
    return velmora::run(argc, argv);
  } catch (const velmora::StopRun& e) {
    return velmora::report_stop(e);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "speed_bench: not enough memory for this model\n");
    return 1;
  }
}
