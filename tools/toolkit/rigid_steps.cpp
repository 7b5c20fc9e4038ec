#include "toolkit/rigid_steps.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <unordered_map>

#include "bem/interior_point.hpp"
#include "common/large_array.hpp"
#include "rigid/dynamics.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/progress.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

namespace fs = std::filesystem;

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Point p turned and moved with body state s from its initial place,
// the body's initial reference point being x0.
void carry(const BodyState& s, const double x0[3], const double* p, double* out) {
  const double d[3] = {p[0] - x0[0], p[1] - x0[1], p[2] - x0[2]};
  double r[3];
  rotate(s.q, d, r);
  for (int c = 0; c < 3; ++c) out[c] = s.x[c] + r[c];
}

struct Cell {
  long long i, j, k;
  bool operator==(const Cell& o) const { return i == o.i && j == o.j && k == o.k; }
};
struct CellHash {
  std::size_t operator()(const Cell& c) const {
    return static_cast<std::size_t>(c.i * 73856093LL ^ c.j * 19349663LL ^ c.k * 83492791LL);
  }
};

}  // namespace

CloseBodies closest_bodies(const SurfaceMesh& m, const Bodies& bodies, double fraction) {
  CloseBodies best;
  if (bodies.count < 2) return best;
  const MeshView v = view_of(m, nullptr, nullptr);
  const int nb = bodies.count;
  std::vector<double> area(nb, 0.0), count(nb, 0.0);
  double diam = 0.0;
  std::vector<double> cen(3 * static_cast<std::size_t>(m.nelem));
  for (int e = 1; e <= m.nelem; ++e) {
    const ElementGeometry g = element_geometry(v, e);
    area[bodies.body[e - 1] - 1] += g.area;
    count[bodies.body[e - 1] - 1] += 1.0;
    for (int c = 0; c < 3; ++c) {
      double s = 0.0;
      for (int k = 1; k <= 3; ++k) s += m.x(m.node(e, k), c + 1);
      cen[3 * (e - 1) + c] = s / 3.0;
    }
    for (int k = 1; k <= 3; ++k) {
      double d2 = 0.0;
      for (int c = 0; c < 3; ++c) {
        const double d = m.x(m.node(e, k), c + 1) - cen[3 * (e - 1) + c];
        d2 += d * d;
      }
      diam = std::max(diam, std::sqrt(d2));
    }
  }
  std::vector<double> h(nb);
  double hmax = 0.0;
  for (int b = 0; b < nb; ++b) {
    h[b] = std::sqrt(area[b] / std::max(1.0, count[b]));
    hmax = std::max(hmax, h[b]);
  }
  // Element centroids binned in cells of the largest element radius plus the
  // largest threshold: a node within the threshold of an element lies in
  // the element's cell or a neighbour.
  const double cell = diam + fraction * hmax;
  std::unordered_map<Cell, std::vector<int>, CellHash> grid;
  auto cell_of = [&](const double* p) {
    return Cell{static_cast<long long>(std::floor(p[0] / cell)),
                static_cast<long long>(std::floor(p[1] / cell)),
                static_cast<long long>(std::floor(p[2] / cell))};
  };
  for (int e = 1; e <= m.nelem; ++e) grid[cell_of(&cen[3 * (e - 1)])].push_back(e);
  std::vector<int> node_body(m.nnode + 1, 0);
  for (int e = 1; e <= m.nelem; ++e)
    for (int k = 1; k <= 3; ++k) node_body[m.node(e, k)] = bodies.body[e - 1];
  std::vector<int> one(1);
  for (int n = 1; n <= m.nnode; ++n) {
    const int a = node_body[n];
    if (a == 0) continue;
    const double p[3] = {m.x(n, 1), m.x(n, 2), m.x(n, 3)};
    const Cell c = cell_of(p);
    for (long long di = -1; di <= 1; ++di)
      for (long long dj = -1; dj <= 1; ++dj)
        for (long long dk = -1; dk <= 1; ++dk) {
          const auto it = grid.find(Cell{c.i + di, c.j + dj, c.k + dk});
          if (it == grid.end()) continue;
          for (const int e : it->second) {
            const int b = bodies.body[e - 1];
            if (b == a) continue;
            const double size = std::min(h[a - 1], h[b - 1]);
            one[0] = e;
            const double gap = distance_to_surface(v, one, p);
            if (gap < fraction * size && (best.a == 0 || gap / size < best.gap / best.size)) {
              best.a = std::min(a, b);
              best.b = std::max(a, b);
              best.gap = gap;
              best.size = size;
            }
          }
        }
  }
  return best;
}

std::array<int, 2> overlapping_bodies(const SurfaceMesh& m, const Bodies& bodies) {
  const int nb = bodies.count;
  if (nb < 2) return {0, 0};
  const MeshView v = view_of(m, nullptr, nullptr);
  // Boxes of the bodies, their elements and their nodes.
  std::vector<std::array<double, 6>> box(nb, {1e300, 1e300, 1e300, -1e300, -1e300, -1e300});
  std::vector<std::vector<int>> elems(nb), nodes(nb);
  std::vector<int> node_body(m.nnode + 1, 0);
  for (int e = 1; e <= m.nelem; ++e) {
    const int b = bodies.body[e - 1] - 1;
    elems[b].push_back(e);
    for (int k = 1; k <= 3; ++k) {
      const int n = m.node(e, k);
      if (node_body[n] == 0) nodes[b].push_back(n);
      node_body[n] = b + 1;
      for (int c = 0; c < 3; ++c) {
        box[b][c] = std::min(box[b][c], m.x(n, c + 1));
        box[b][c + 3] = std::max(box[b][c + 3], m.x(n, c + 1));
      }
    }
  }
  // Pairs whose boxes meet, by sweeping along x.
  std::vector<int> order(nb);
  for (int b = 0; b < nb; ++b) order[b] = b;
  std::sort(order.begin(), order.end(), [&](int p, int q) { return box[p][0] < box[q][0]; });
  auto inside = [&](int a, int b) {
    // A node of a inside b's box, and there inside b by the winding number
    // (about 1 for b's orientation, or -1 for the opposite one).  At most
    // 256 nodes a pair, spread evenly over those in the box.
    std::vector<int> cand;
    for (const int n : nodes[a]) {
      bool in = true;
      for (int c = 0; c < 3 && in; ++c)
        in = m.x(n, c + 1) >= box[b][c] && m.x(n, c + 1) <= box[b][c + 3];
      if (in) cand.push_back(n);
    }
    const std::size_t stride = std::max<std::size_t>(1, cand.size() / 256);
    for (std::size_t i = 0; i < cand.size(); i += stride) {
      const double p[3] = {m.x(cand[i], 1), m.x(cand[i], 2), m.x(cand[i], 3)};
      if (std::fabs(winding_number(v, elems[b], p)) > 0.5) return true;
    }
    return false;
  };
  for (int i = 0; i < nb; ++i)
    for (int j = i + 1; j < nb && box[order[j]][0] <= box[order[i]][3]; ++j) {
      const int a = order[i], b = order[j];
      bool meet = true;
      for (int c = 1; c < 3 && meet; ++c)
        meet = box[a][c] <= box[b][c + 3] && box[b][c] <= box[a][c + 3];
      if (meet && (inside(a, b) || inside(b, a))) return {std::min(a, b) + 1, std::max(a, b) + 1};
    }
  return {0, 0};
}

int integrate_steps(const StepRequest& req, const std::function<void(const StepView&)>& on_step) {
  const SurfaceMesh& m0 = *req.mesh;
  const RigidSetup& s0 = *req.setup;
  const int nb = s0.bodies.count;
  std::vector<char> fixed = req.fixed;
  fixed.resize(nb, 0);

  std::vector<BodyState> initial(nb);
  for (int b = 0; b < nb; ++b)
    for (int c = 0; c < 3; ++c) initial[b].x[c] = s0.reference[b][c];
  std::vector<int> node_body(m0.nnode + 1, 0);
  for (int e = 1; e <= m0.nelem; ++e)
    for (int k = 1; k <= 3; ++k) node_body[m0.node(e, k)] = s0.bodies.body[e - 1];

  // The mesh and set-up of a configuration: every node, centre, point and
  // reference carried rigidly; what depends on the shape alone is kept.
  auto configuration = [&](const std::vector<BodyState>& st, SurfaceMesh& m, RigidSetup& r,
                           std::vector<Squirmer>& sq) {
    m = m0;
    r = s0;
    for (int n = 1; n <= m0.nnode; ++n) {
      const int b = node_body[n];
      if (b == 0) continue;
      const double p[3] = {m0.x(n, 1), m0.x(n, 2), m0.x(n, 3)};
      double q[3];
      carry(st[b - 1], s0.reference[b - 1].data(), p, q);
      for (int c = 0; c < 3; ++c) m.xnode[(n - 1) + c * static_cast<std::size_t>(m.nnode)] = q[c];
    }
    for (int b = 0; b < nb; ++b) {
      const double* x0 = s0.reference[b].data();
      carry(st[b], x0, &s0.centres[3 * b], &r.centres[3 * b]);
      carry(st[b], x0, s0.geometry[b].centroid.data(), r.geometry[b].centroid.data());
      for (int j = s0.point_first[b]; j < s0.point_first[b + 1]; ++j)
        carry(st[b], x0, &s0.points[3 * j], &r.points[3 * j]);
      for (int c = 0; c < 3; ++c) r.reference[b][c] = st[b].x[c];
    }
    sq = req.squirmers;
    for (std::size_t b = 0; b < sq.size(); ++b) {
      double a[3];
      rotate(st[b].q, req.squirmers[b].axis.data(), a);
      sq[b].axis = {a[0], a[1], a[2]};
    }
  };

  int status = 0;
  int step_now = 0;
  // The last solve's density and the body states it was found in: each
  // solve starts from it, every body's part turned with the body (the
  // density is a velocity-like field on the carried elements), which the
  // small change of a step leaves close to the new solution.
  std::vector<double> last_density;
  std::vector<BodyState> last_state;
  std::shared_ptr<const CongruentTemplates> templates = req.templates;
  // Each step's solver builds caches of about the last one's size: their
  // memory is handed on rather than mapped afresh.
  const KeepLargeMappings keep;
  SurfaceMesh mesh;
  RigidSetup setup;
  std::vector<Squirmer> sq;
  const MotionOf motion_of = [&](const std::vector<BodyState>& st, std::vector<double>& motion) {
    configuration(st, mesh, setup, sq);
    const CloseBodies close = closest_bodies(mesh, setup.bodies, StepRequest::kGapFraction);
    if (close.a != 0) {
      char buf[200];
      std::snprintf(buf, sizeof buf,
                    "step %d: bodies %d and %d are %.3g apart, closer than %.2g of their element "
                    "size %.3g; trajectory.csv holds the steps before",
                    step_now, close.a, close.b, close.gap, StepRequest::kGapFraction, close.size);
      throw ToolError(buf);
    }
    // A step long beside the gap can carry a body into another, past the
    // closeness check: a node inside another body stops the run as well.
    const std::array<int, 2> through = overlapping_bodies(mesh, setup.bodies);
    if (through[0] != 0)
      throw ToolError("step " + std::to_string(step_now) + ": bodies " + std::to_string(through[0]) +
                      " and " + std::to_string(through[1]) +
                      " overlap (the step carried one into the other; take a smaller --dt); "
                      "trajectory.csv holds the steps before");
    std::unique_ptr<RigidSolver> solver = make_solver(mesh, setup, req.controls);
    solver->set_fixed(fixed);
    // The near field of each body with itself is integrated once, at the
    // first solve, and turned with the body at every later one.
    if (templates)
      solver->share_congruent_templates(templates);
    else
      solver->expect_solves(req.steps + 2);
    const std::size_t n6 = 6 * static_cast<std::size_t>(nb);
    std::vector<double> lc(n6);
    loads_to_centres(setup, req.loads.data(), lc.data());
    const bool active = req.flow.given || !sq.empty();
    const std::vector<double> g = active ? surface_velocity(mesh, setup, req.flow, sq)
                                         : std::vector<double>();
    std::vector<double> guess;
    if (!last_density.empty()) {
      // Each body's turn since then, q q_last^-1 (unit: the inverse is the conjugate).
      std::vector<Quaternion> turn(nb);
      for (int b = 0; b < nb; ++b) {
        const Quaternion& q0 = last_state[b].q;
        turn[b] = quaternion_product(st[b].q, Quaternion{q0[0], -q0[1], -q0[2], -q0[3]});
      }
      guess.resize(last_density.size());
      for (int e = 1; e <= m0.nelem; ++e)
        rotate(turn[s0.bodies.body[e - 1] - 1], &last_density[3 * static_cast<std::size_t>(e - 1)],
               &guess[3 * static_cast<std::size_t>(e - 1)]);
    }
    std::vector<double> density;
    const RigidSolver::Outcome o = solver->solve(lc.data(), active ? g.data() : nullptr, &density,
                                                 guess.empty() ? nullptr : guess.data());
    last_density = std::move(density);
    last_state = st;
    if (!templates) templates = solver->congruent_templates();
    if (!o.report.converged) status = 3;
    motion.assign(n6, 0.0);
    motions_to_references(setup, o.motion.data(), motion.data());
    for (int b = 0; b < nb; ++b)
      if (fixed[b])
        for (int k = 0; k < 6; ++k) motion[6 * b + k] = 0.0;
  };

  RigidIntegrator it(initial, req.dt);
  if (req.motion0.size() == 6 * static_cast<std::size_t>(nb)) {
    it.set_motion(req.motion0);
    if (req.density0.size() == 3 * static_cast<std::size_t>(m0.nelem)) {
      last_density = req.density0;
      last_state = initial;
    }
  } else {
    it.set_motion([&] { std::vector<double> mo; motion_of(initial, mo); return mo; }());
  }
  auto report = [&] {
    StepView v;
    v.step = it.step_count();
    v.time = it.time();
    v.state = &it.state();
    v.motion = &it.motion();
    v.configuration = [&, st = it.state()](SurfaceMesh& m, RigidSetup& r, std::vector<Squirmer>& q) {
      configuration(st, m, r, q);
    };
    on_step(v);
  };
  report();
  for (int n = 1; n <= req.steps; ++n) {
    step_now = n;
    it.step(motion_of);
    report();
  }
  return status;
}

int run_time_steps(const StepRequest& req, std::ostream& out, std::ostream* progress) {
  const int nb = req.setup->bodies.count;
  const auto t0 = std::chrono::steady_clock::now();
  auto since = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  std::string csv = "step,time,body,x,y,z,qw,qx,qy,qz,vx,vy,vz,wx,wy,wz\n";
  std::string pvd_entries;
  const std::string csv_path = (fs::path(req.dir) / "trajectory.csv").string();
  const std::string pvd_path = (fs::path(req.dir) / "rigid.pvd").string();
  const int status = integrate_steps(req, [&](const StepView& v) {
    const std::vector<BodyState>& st = *v.state;
    const std::vector<double>& mo = *v.motion;
    for (int b = 0; b < nb; ++b) {
      csv += std::to_string(v.step) + "," + num(v.time) + "," + std::to_string(b + 1);
      for (int c = 0; c < 3; ++c) csv += "," + num(st[b].x[c]);
      for (int c = 0; c < 4; ++c) csv += "," + num(st[b].q[c]);
      for (int c = 0; c < 6; ++c) csv += "," + num(mo[6 * b + c]);
      csv += "\n";
    }
    if (writes_files()) write_file_replacing(csv_path, [&](std::ostream& f) { f << csv; });
    if (req.pvd && writes_files()) {
      char name[32];
      std::snprintf(name, sizeof name, "rigid_%05d.vtu", v.step);
      SurfaceMesh m;
      RigidSetup r;
      std::vector<Squirmer> q;
      v.configuration(m, r, q);
      std::vector<double> u = slip_velocity(m, r, q);
      // The rigid velocity at each element centroid.
      for (int e = 1; e <= m.nelem; ++e) {
        const int b = r.bodies.body[e - 1] - 1;
        double x[3] = {0, 0, 0};
        for (int k = 1; k <= 3; ++k)
          for (int c = 0; c < 3; ++c) x[c] += m.x(m.node(e, k), c + 1) / 3.0;
        const double* V = &mo[6 * b];
        const double* W = V + 3;
        const double d[3] = {x[0] - r.reference[b][0], x[1] - r.reference[b][1],
                             x[2] - r.reference[b][2]};
        double* ue = &u[3 * static_cast<std::size_t>(e - 1)];
        ue[0] += V[0] + W[1] * d[2] - W[2] * d[1];
        ue[1] += V[1] + W[2] * d[0] - W[0] * d[2];
        ue[2] += V[2] + W[0] * d[1] - W[1] * d[0];
      }
      std::ostringstream os;
      write_vtu(os, m, r.bodies, u.data(), nullptr);
      write_file_replacing((fs::path(req.dir) / name).string(), [&](std::ostream& f) { f << os.str(); });
      pvd_entries += "    <DataSet timestep=\"" + num(v.time) + "\" file=\"" + name + "\"/>\n";
      write_file_replacing(pvd_path, [&](std::ostream& f) {
        f << "<?xml version=\"1.0\"?>\n<VTKFile type=\"Collection\" version=\"0.1\">\n"
          << "  <Collection>\n" << pvd_entries << "  </Collection>\n</VTKFile>\n";
      });
    }
    if (v.step > 0 && progress)
      *progress << "velmora-rigid: step " << v.step << " of " << req.steps << ", time "
                << num(v.time) << ": " << pace_text(since(), v.step, req.steps) << '\n'
                << std::flush;
  });
  out << "wrote " << csv_path << (req.pvd ? " and " + pvd_path : std::string()) << '\n';
  return status;
}

}  // namespace velmora::tools
