#include "toolkit/field_tool.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "common/comm.hpp"
#include "common/listread.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "fmm/field_fmm.hpp"
#include "run/bemsol.hpp"
#include "run/program.hpp"
#include "toolkit/args.hpp"
#include "toolkit/field_files.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/progress.hpp"
#include "toolkit/result_io.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

// A wrong command line: exit status 2.
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

int count_of(double v, int least, const std::string& option) {
  if (!(v >= least) || v != std::floor(v) || v > 1e8)
    throw UsageError(option + ": point counts must be whole numbers of at least " +
                     std::to_string(least));
  return static_cast<int>(v);
}

std::array<double, 3> unit(const double* v, const std::string& option) {
  const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(len > 0.0) || !std::isfinite(len)) throw UsageError(option + ": an edge vector is zero");
  return {v[0] / len, v[1] / len, v[2] / len};
}

}  // namespace

std::string field_usage() {
  return R"(Usage: velmora-field (--points FILE | --plane ... | --box ... | --line ...) [options]

Evaluates the flow of a solved velmora model at points in the fluid: the
velocity and the pressure of the boundary-integral representation
  u(x) = sum_e int_e (U t - T u) dS,  p(x) likewise with the pressure kernels,
from the surface velocity u and traction t of every element (output.dat),
with exact integrals over the elements near a point and multipole
expansions for the others.  Run it in the folder of the model (input.cnd,
input.dat, output.dat) or name that folder with --dir.

Points (one of):
  --points FILE   one point per line, "x y z" (blank lines and lines starting
                  with # skipped); writes NAME.csv with the header
                  x,y,z,u,v,w,p,inside and one row per point in input order
  --plane OX,OY,OZ,AX,AY,AZ,BX,BY,BZ,NA,NB
                  the rectangle from origin O with perpendicular edges A and
                  B, NA points along A and NB along B; writes NAME.vti
  --box X0,Y0,Z0,X1,Y1,Z1,NX,NY,NZ
                  the axis-aligned grid from corner (X0,Y0,Z0) to (X1,Y1,Z1)
                  with NX x NY x NZ points; writes NAME.vti
  --line X0,Y0,Z0,X1,Y1,Z1,N
                  N points from the first end to the second; writes NAME.vtp
The VTK files hold point data velocity, pressure and inside, ready for
Slice, Stream Tracer and Glyph in ParaView.  inside is 1 for a point inside
a body or within snaptol (input.cnd) of its surface; its velocity and
pressure are written as 0.

Options:
  --out NAME      file stem (default: field)
  --ascii         VTK files as text (default: compressed binary, appended)
  --dir DIR       folder of the model and of the files written (default: .)
  --help          this text

Examples:
  velmora-field --points probes.txt
  velmora-field --plane -3,-2,0,6,0,0,0,4,0,301,201 --out slice
  velmora-field --box -2,-2,-2,2,2,2,41,41,41 --dir run
  velmora-field --line 1.01,0,0,10,0,0,200 --out wake

The expansions take the order nexp of input.cnd, and translations over
longer offsets lower orders, as the solver's products do; VELMORA_EXACT=1
keeps every translation at nexp.  The tree of the elements is the solve's
(maxdep, minlev, maxl and cubfac of input.cnd), and so are its moments.

Started by mpirun with several processes (a build with -DVELMORA_MPI=ON),
the points are split among them by their work; rank 0 writes the file,
the same bytes as one process writes.

Progress lines (points done of total, elapsed and remaining time) go to
standard error for long evaluations, the summary to standard output.  Bad input (an unreadable point, a missing, unsolved or
mismatched output.dat) stops with one line naming the file and line and
exit status 1, writing nothing; a wrong command line gives status 2.
)";
}

int run_field_tool(const std::vector<std::string>& raw, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  if (!raw.empty() && (raw[0] == "--help" || raw[0] == "-h")) {
    out << field_usage();
    return 0;
  }
  UnitsGuard guard;
  units().set_error(&err);
  try {
    const std::vector<std::string> a = split_assignments(raw);
    std::string dir = ".", stem = "field";
    VtkEncoding encoding = VtkEncoding::binary;
    std::optional<std::string> points_file;
    std::optional<FieldGrid> grid;
    std::optional<std::vector<double>> line;
    int modes = 0;
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::string& w = a[i];
      auto value = [&]() -> const std::string& {
        if (i + 1 >= a.size()) throw UsageError(w + " needs a value");
        return a[++i];
      };
      try {
        if (w == "--dir" || w == "--out") {
          // A second one would silently override the first.
          if (std::find(seen.begin(), seen.end(), w) != seen.end())
            throw UsageError(w + " given twice (see velmora-field --help)");
          seen.push_back(w);
        }
        if (w == "--dir") {
          dir = value();
        } else if (w == "--out") {
          stem = value();
          if (stem.empty() || stem.find('/') != std::string::npos)
            throw UsageError("--out takes a file stem without folders (see --dir)");
        } else if (w == "--ascii") {
          encoding = VtkEncoding::ascii;
        } else if (w == "--points") {
          points_file = value();
          ++modes;
        } else if (w == "--plane") {
          const std::vector<double> v = parse_reals(value(), 11, w);
          FieldGrid g;
          g.origin = {v[0], v[1], v[2]};
          const auto ea = unit(&v[3], w), eb = unit(&v[6], w);
          const double dot = ea[0] * eb[0] + ea[1] * eb[1] + ea[2] * eb[2];
          if (std::fabs(dot) > 1e-9) throw UsageError("--plane: the edges A and B must be perpendicular");
          g.axis[0] = ea;
          g.axis[1] = eb;
          g.axis[2] = {ea[1] * eb[2] - ea[2] * eb[1], ea[2] * eb[0] - ea[0] * eb[2],
                       ea[0] * eb[1] - ea[1] * eb[0]};
          g.n = {count_of(v[9], 2, w), count_of(v[10], 2, w), 1};
          g.spacing = {std::sqrt(v[3] * v[3] + v[4] * v[4] + v[5] * v[5]) / (g.n[0] - 1),
                       std::sqrt(v[6] * v[6] + v[7] * v[7] + v[8] * v[8]) / (g.n[1] - 1), 1.0};
          grid = g;
          ++modes;
        } else if (w == "--box") {
          const std::vector<double> v = parse_reals(value(), 9, w);
          FieldGrid g;
          g.origin = {v[0], v[1], v[2]};
          g.axis = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
          for (int c = 0; c < 3; ++c) {
            g.n[c] = count_of(v[6 + c], 1, w);
            if (!(v[3 + c] > v[c]) && g.n[c] > 1)
              throw UsageError("--box: the second corner must lie above the first in x, y and z");
            g.spacing[c] = g.n[c] > 1 ? (v[3 + c] - v[c]) / (g.n[c] - 1) : 1.0;
          }
          grid = g;
          ++modes;
        } else if (w == "--line") {
          line = parse_reals(value(), 7, w);
          count_of((*line)[6], 2, w);
          ++modes;
        } else {
          throw UsageError("unknown argument " + w + " (see velmora-field --help)");
        }
      } catch (const UsageError&) {
        throw;
      } catch (const ToolError& e) {
        throw UsageError(e.what());
      }
    }
    if (modes != 1)
      throw UsageError("give exactly one of --points, --plane, --box, --line (see velmora-field --help)");

    // The points, before the model: a bad point list stops before any work.
    FieldValues f;
    std::string suffix;
    if (points_file) {
      f.xyz = read_points(*points_file);
      suffix = ".csv";
    } else if (grid) {
      f.xyz = grid->points();
      suffix = ".vti";
    } else {
      const std::vector<double>& v = *line;
      const int n = static_cast<int>(v[6]);
      for (int k = 0; k < n; ++k)
        for (int c = 0; c < 3; ++c) f.xyz.push_back(v[c] + (v[3 + c] - v[c]) * k / (n - 1));
      suffix = ".vtp";
    }
    const std::string target = (fs::path(dir) / (stem + suffix)).string();

    // The solved model.
    const std::string cnd_path = (fs::path(dir) / "input.cnd").string();
    const std::string in_path = (fs::path(dir) / "input.dat").string();
    const std::string out_path = (fs::path(dir) / "output.dat").string();
    RunScalars sc;
    {
      ListReader cnd;
      if (!cnd.open(cnd_path)) throw ToolError("cannot open " + cnd_path);
      read_control(cnd, sc);
    }
    if (sc.nexp < 0 || sc.nexp > 30)
      throw ToolError(cnd_path + ":2: nexp must lie in 0..30 (read " + std::to_string(sc.nexp) + ")");
    if (sc.ngauss != 3 && sc.ngauss != 7 && sc.ngauss != 16)
      throw ToolError(cnd_path + ":2: ngauss must be 3, 7 or 16 (read " + std::to_string(sc.ngauss) + ")");
    if (sc.maxl < 1) throw ToolError(cnd_path + ":2: maxl must be at least 1");
    if (sc.minlev < 2) throw ToolError(cnd_path + ":2: minlev must be at least 2");
    if (sc.maxdep < 2 || sc.maxdep > 60)
      throw ToolError(cnd_path + ":2: maxdep must lie in 2..60 (read " + std::to_string(sc.maxdep) + ")");
    if (!(sc.cubfac > 0.0) || !std::isfinite(sc.cubfac))
      throw ToolError(cnd_path + ":2: cubfac must be positive");
    const Model model = read_input_dat(in_path);
    const SurfaceMesh& m = model.mesh;
    if (!fs::exists(out_path))
      throw ToolError("cannot open " + out_path + ": the model has not been solved (run velmora first)");
    const RunResults res = read_output_dat(out_path, m.nelem);
    check_results_match(model, res, in_path, out_path);
    for (std::size_t j = 0; j < res.u.size(); ++j)
      if (!std::isfinite(res.u[j]) || !std::isfinite(res.t[j]))
        throw ToolError(out_path + ", line " +
                        std::to_string(res.first_record_line + static_cast<int>(j / 3)) +
                        ": the record of element " + std::to_string(j / 3 + 1) +
                        " holds values that are not numbers: the run did not converge");
    if (!res.has_force)
      err << "velmora-field: warning: " << out_path
          << " has no total force record; the run may not have finished\n";

    std::vector<double> xcol(3 * static_cast<std::size_t>(m.nelem));
    collocation_points(m.nelem, m.nnode, m.ielem.data(), m.xnode.data(), xcol.data());
    const MeshView mv = view_of(m, xcol.data(), model.bc.data());
    FieldParams par;
    par.mu = model.mu;
    par.snaptol = sc.snaptol;
    par.p = std::max(sc.nexp, 1);
    par.ngauss = sc.ngauss;
    par.maxl = sc.maxl;
    par.minlev = sc.minlev;
    par.cubfac = sc.cubfac;
    par.maxdep = sc.maxdep;
    use_solver_trades(par);
    FieldDensities d{res.u.data(), res.t.data()};
    const int n = static_cast<int>(f.xyz.size() / 3);
    f.vel.assign(3 * static_cast<std::size_t>(n), 0.0);
    f.pres.assign(n, 0.0);
    f.inside.assign(n, 0);
    const double t0 = omp_get_wtime();
    // Progress of long evaluations: a line at most every two seconds.
    double last = t0;
    auto progress = [&](std::int64_t done, std::int64_t total) {
      const double now = omp_get_wtime();
      if (now - last < 2.0 && done < total) return;
      if (done == total && now - t0 < 2.0) return;
      last = now;
      err << "velmora-field: " << done << " of " << total << " points, "
          << pace_text(now - t0, static_cast<long>(done), static_cast<long>(total)) << '\n'
          << std::flush;
    };
    // Started by mpirun with several processes (a build with MPI): the
    // points are split among them, each holds every value at the end, and
    // rank 0 alone writes the file.
    const Comm& comm = Comm::world();
    FieldStats stats;
    field_fast(mv, par, d, n, f.xyz.data(), f.vel.data(), f.pres.data(), f.inside.data(), progress,
               &stats, comm.distributed() ? &comm : nullptr);
    const double secs = omp_get_wtime() - t0;

    if (comm.rank() == 0) write_file_replacing(target, [&](std::ostream& os) {
      if (points_file)
        write_field_csv(os, f);
      else if (grid)
        write_field_vti(os, *grid, f, encoding);
      else
        write_field_vtp(os, f, encoding);
    });
    const long inside = std::count(f.inside.begin(), f.inside.end(), 1);
    char buf[320];
    std::snprintf(buf, sizeof buf, "velmora-field: %d points (%ld inside a body or on its surface) in %.2f s; ",
                  n, inside, secs);
    out << buf << "wrote " << target << '\n';
    if (comm.distributed()) {
      std::snprintf(buf, sizeof buf,
                    "velmora-field: processes: ranks: %d, threads per rank: %d; work imbalance %.3f, "
                    "%lld bytes sent by rank 0 in %.3f s\n",
                    comm.size(), omp_get_max_threads(), stats.imbalance,
                    static_cast<long long>(stats.bytes_sent), stats.t_exchange);
      out << buf;
      for (std::size_t r = 0; r < stats.per_rank.size(); ++r) {
        const FieldStats::Rank& k = stats.per_rank[r];
        std::snprintf(buf, sizeof buf,
                      "velmora-field:   rank %zu: %lld leaves, %lld points, work %6.3f, %lld near pairs, "
                      "local expansions %.2f s, evaluation %.2f s, exchange %.3f s, sent %.1f Mb in "
                      "%lld messages, peak memory %.1f Mb\n",
                      r, static_cast<long long>(k.leaves), static_cast<long long>(k.points),
                      k.work_share, static_cast<long long>(k.near_pairs), k.t_local, k.t_eval,
                      k.t_exchange, k.bytes_sent / 1048576.0, static_cast<long long>(k.messages),
                      k.peak_bytes / 1048576.0);
        out << buf;
      }
    }
    return 0;
  } catch (const UsageError& e) {
    err << "velmora-field: " << e.what() << '\n';
    return 2;
  } catch (const ToolError& e) {
    err << "velmora-field: " << e.what() << '\n';
    return 1;
  } catch (const StopRun& stop) {
    return report_stop(stop);
  }
}

}  // namespace velmora::tools
