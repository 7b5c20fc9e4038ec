#include "toolkit/rigid_problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "bem/interior_point.hpp"
#include "common/comm.hpp"
#include "toolkit/orientation_report.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Rays cast for the interior candidates of a body the centroid does not
// suit.  Many points, spread two clearances apart, keep the field of the
// point forces smooth on the scale of the elements in thin walls: on
// gmsh-doc's thicksolid (a shell with walls about an element thick) the
// resistance's asymmetry fell from 16 % with 16 points to 5 % with 1000
// rays and up to 500 points, and the iterations from 300-430 to 245-260.
constexpr int kRays = 1000;

// p - c for body b.
Vec3 offset(const RigidSetup& r, int b) {
  return {r.reference[b][0] - r.centres[3 * b], r.reference[b][1] - r.centres[3 * b + 1],
          r.reference[b][2] - r.centres[3 * b + 2]};
}

}  // namespace

RigidSetup rigid_setup(const SurfaceMesh& m, const std::string& where) {
  RigidSetup r;
  r.bodies = find_bodies(m);
  const int nb = r.bodies.count;
  r.geometry = body_geometry(m, r.bodies);
  std::vector<double> svol(nb, 0.0);
  for (int e = 1; e <= m.nelem; ++e) {
    double x[3][3];
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c) x[v][c] = m.x(m.node(e, v + 1), c + 1);
    svol[r.bodies.body[e - 1] - 1] += (x[0][0] * (x[1][1] * x[2][2] - x[1][2] * x[2][1]) -
                                       x[0][1] * (x[1][0] * x[2][2] - x[1][2] * x[2][0]) +
                                       x[0][2] * (x[1][0] * x[2][1] - x[1][1] * x[2][0])) / 6.0;
  }
  r.centres.assign(3 * static_cast<std::size_t>(nb), 0.0);
  for (int b = 1; b <= nb; ++b) {
    const std::string k = where + ": body " + std::to_string(b);
    if (!r.geometry[b - 1].closed) {
      // A closed surface whose elements disagree with their neighbours is
      // named as such: reorienting repairs it, unlike holes.
      const std::string note = inconsistency_note(body_orientations(m, r.bodies)[b - 1]);
      throw ToolError(k + (note.empty() ? " is not a closed surface" : " is " + note));
    }
    if (!(svol[b - 1] < 0.0))
      throw ToolError(k + " has its normals pointing into the fluid (nodes must run clockwise "
                          "seen from the fluid; velmora-mesh orients meshes)");
    const Vec3& c = r.geometry[b - 1].centroid;
    // The point force and torque sit at the centroid when it lies well
    // inside (a convex or nearly convex body), else at the interior point
    // farthest from the surface among the candidates (a torus's tube, a
    // helix's wire, a box with holes).
    std::vector<int> elems;
    for (int e = 1; e <= m.nelem; ++e)
      if (r.bodies.body[e - 1] == b) elems.push_back(e);
    const MeshView v = view_of(m, nullptr, nullptr);
    // The centroid is judged against the best of 48 candidates (cheap); the
    // many candidates are cast only for the bodies it does not suit.
    const InteriorPoint quick = interior_point(v, elems);
    const bool centroid_inside = winding_number(v, elems, c.data()) > 0.5;
    std::vector<Vec3> chosen;
    if (centroid_inside &&
        (!quick.found || distance_to_surface(v, elems, c.data()) >= 0.5 * quick.clearance)) {
      chosen.push_back(c);
    } else {
      const std::vector<InteriorPoint> inside = interior_candidates(v, elems, kRays);
      if (inside.empty())
        throw ToolError(k + ": no point inside it was found for the point force of the method "
                            "(is it a closed surface?)");
      // Farthest-point sampling among the candidates of at least half the
      // largest clearance, from the one of largest clearance, while the
      // next is more than two clearances from those chosen.
      const double clear = inside.front().clearance;
      std::vector<Vec3> pool;
      for (const InteriorPoint& p : inside)
        if (p.clearance >= 0.5 * clear) pool.push_back({p.x[0], p.x[1], p.x[2]});
      chosen.push_back(pool.front());
      std::vector<double> dmin(pool.size(), std::numeric_limits<double>::infinity());
      while (static_cast<int>(chosen.size()) < RigidSetup::kMaxPoints) {
        const Vec3& last = chosen.back();
        std::size_t far = 0;
        for (std::size_t i = 0; i < pool.size(); ++i) {
          dmin[i] = std::min(dmin[i], std::hypot(pool[i][0] - last[0], pool[i][1] - last[1],
                                                 pool[i][2] - last[2]));
          if (dmin[i] > dmin[far]) far = i;
        }
        if (!(dmin[far] > 2.0 * clear)) break;
        chosen.push_back(pool[far]);
      }
    }
    r.point_first.push_back(static_cast<int>(r.points.size() / 3));
    Vec3 centre{0, 0, 0};
    for (const Vec3& p : chosen)
      for (int i = 0; i < 3; ++i) {
        r.points.push_back(p[i]);
        centre[i] += p[i];
      }
    if (chosen.size() > 1)
      for (int i = 0; i < 3; ++i) centre[i] /= static_cast<double>(chosen.size());
    for (int i = 0; i < 3; ++i) r.centres[3 * (b - 1) + i] = centre[i];
    r.reference.push_back(c);
  }
  r.point_first.push_back(static_cast<int>(r.points.size() / 3));
  return r;
}

std::unique_ptr<RigidSolver> make_solver(const SurfaceMesh& m, const RigidSetup& r,
                                         const RigidControls& ctl) {
  auto solver = std::make_unique<RigidSolver>(m, r.bodies.body.data(), r.bodies.count,
                                              r.centres.data(), ctl, r.point_first, r.points);
  if (comm_has_mpi()) solver->distribute(Comm::world());
  return solver;
}

bool writes_files() { return Comm::world().rank() == 0; }

void loads_to_centres(const RigidSetup& r, const double* lp, double* lc) {
  for (int b = 0; b < r.bodies.count; ++b) {
    const Vec3 F{lp[6 * b], lp[6 * b + 1], lp[6 * b + 2]};
    const Vec3 dxf = cross(offset(r, b), F);
    for (int i = 0; i < 3; ++i) {
      lc[6 * b + i] = F[i];
      lc[6 * b + 3 + i] = lp[6 * b + 3 + i] + dxf[i];
    }
  }
}

void fixed_loads_to_references(const RigidSetup& r, const std::vector<char>& fixed,
                               const double* lc, double* lp) {
  for (int b = 0; b < r.bodies.count && b < static_cast<int>(fixed.size()); ++b) {
    if (!fixed[b]) continue;
    const double* Lc = lc + 6 * static_cast<std::size_t>(b);
    double* L = lp + 6 * static_cast<std::size_t>(b);
    const Vec3 d = offset(r, b);  // p - c
    const Vec3 cxf = cross(Vec3{-d[0], -d[1], -d[2]}, Vec3{Lc[0], Lc[1], Lc[2]});
    for (int i = 0; i < 3; ++i) {
      L[i] = Lc[i];
      L[3 + i] = Lc[3 + i] + cxf[i];
    }
  }
}

void motions_to_references(const RigidSetup& r, const double* mc, double* mp) {
  for (int b = 0; b < r.bodies.count; ++b) {
    const Vec3 W{mc[6 * b + 3], mc[6 * b + 4], mc[6 * b + 5]};
    const Vec3 wxd = cross(W, offset(r, b));
    for (int i = 0; i < 3; ++i) {
      mp[6 * b + i] = mc[6 * b + i] + wxd[i];
      mp[6 * b + 3 + i] = W[i];
    }
  }
}

void motions_to_centres(const RigidSetup& r, const double* mp, double* mc) {
  for (int b = 0; b < r.bodies.count; ++b) {
    const Vec3 W{mp[6 * b + 3], mp[6 * b + 4], mp[6 * b + 5]};
    const Vec3 d = offset(r, b);
    const Vec3 wxd = cross(W, Vec3{-d[0], -d[1], -d[2]});
    for (int i = 0; i < 3; ++i) {
      mc[6 * b + i] = mp[6 * b + i] + wxd[i];
      mc[6 * b + 3 + i] = W[i];
    }
  }
}

std::vector<double> mobility_matrix(RigidSolver& solver, const RigidSetup& r,
                                    std::vector<SolveReport>& reports,
                                    const std::vector<char>& fixed,
                                    const std::function<void(std::size_t, std::size_t)>& on_column) {
  const int nb = r.bodies.count;
  std::vector<int> free_bodies;
  for (int b = 0; b < nb; ++b)
    if (b >= static_cast<int>(fixed.size()) || !fixed[b]) free_bodies.push_back(b);
  const std::size_t n6 = 6 * static_cast<std::size_t>(nb);
  const std::size_t nf = 6 * free_bodies.size();
  std::vector<double> mob(nf * nf, 0.0), lc(n6), col(n6);
  for (std::size_t j = 0; j < nf; ++j) {
    std::vector<double> unit(n6, 0.0);
    unit[6 * static_cast<std::size_t>(free_bodies[j / 6]) + j % 6] = 1.0;
    loads_to_centres(r, unit.data(), lc.data());
    const RigidSolver::Outcome o = solver.solve(lc.data(), nullptr);
    reports.push_back(o.report);
    motions_to_references(r, o.motion.data(), col.data());
    for (std::size_t i = 0; i < nf; ++i)
      mob[i * nf + j] = col[6 * static_cast<std::size_t>(free_bodies[i / 6]) + i % 6];
    if (on_column) on_column(j + 1, nf);
  }
  return mob;
}

}  // namespace velmora::tools

namespace velmora::tools {

std::vector<double> slip_velocity(const SurfaceMesh& m, const RigidSetup& r,
                                  const std::vector<Squirmer>& sq) {
  std::vector<double> u(3 * static_cast<std::size_t>(m.nelem), 0.0);
  if (sq.empty()) return u;
  const MeshView v = view_of(m, nullptr, nullptr);
  for (int e = 1; e <= m.nelem; ++e) {
    const int b = r.bodies.body[e - 1] - 1;
    const Squirmer& s = sq[b];
    if (!s.given) continue;
    double x[3] = {0, 0, 0};
    for (int k = 1; k <= 3; ++k)
      for (int c = 0; c < 3; ++c) x[c] += m.x(m.node(e, k), c + 1) / 3.0;
    double d[3], len = 0.0;
    for (int c = 0; c < 3; ++c) {
      d[c] = x[c] - r.reference[b][c];
      len += d[c] * d[c];
    }
    len = std::sqrt(len);
    if (!(len > 0.0)) continue;
    const double* a = s.axis.data();
    const double ct = (a[0] * d[0] + a[1] * d[1] + a[2] * d[2]) / len;
    const double amp = s.B1 + s.B2 * ct;
    double us[3];
    for (int c = 0; c < 3; ++c) us[c] = amp * (ct * d[c] / len - a[c]);
    const ElementGeometry g = element_geometry(v, e);
    const double un = us[0] * g.normal[0] + us[1] * g.normal[1] + us[2] * g.normal[2];
    for (int c = 0; c < 3; ++c) u[3 * static_cast<std::size_t>(e - 1) + c] = us[c] - un * g.normal[c];
  }
  return u;
}

std::vector<double> surface_velocity(const SurfaceMesh& m, const RigidSetup& r,
                                     const AmbientFlow& flow, const std::vector<Squirmer>& sq) {
  std::vector<double> g = slip_velocity(m, r, sq);
  if (!flow.given) return g;
  for (int e = 1; e <= m.nelem; ++e) {
    double x[3] = {0, 0, 0};
    for (int k = 1; k <= 3; ++k)
      for (int c = 0; c < 3; ++c) x[c] += m.x(m.node(e, k), c + 1) / 3.0;
    for (int i = 0; i < 3; ++i)
      g[3 * static_cast<std::size_t>(e - 1) + i] -=
          flow.G[3 * i] * x[0] + flow.G[3 * i + 1] * x[1] + flow.G[3 * i + 2] * x[2];
  }
  return g;
}

void add_ambient_traction(const SurfaceMesh& m, const AmbientFlow& flow, double mu, double* t) {
  if (!flow.given) return;
  const MeshView v = view_of(m, nullptr, nullptr);
  for (int e = 1; e <= m.nelem; ++e) {
    const ElementGeometry g = element_geometry(v, e);
    for (int i = 0; i < 3; ++i) {
      double s = 0.0;
      for (int j = 0; j < 3; ++j) s += mu * (flow.G[3 * i + j] + flow.G[3 * j + i]) * g.normal[j];
      t[3 * static_cast<std::size_t>(e - 1) + i] += s;
    }
  }
}

std::vector<double> stresslets(const SurfaceMesh& m, const RigidSetup& r, const double* t,
                               const double* slip, double mu) {
  const int nb = r.bodies.count;
  std::vector<double> first(9 * static_cast<std::size_t>(nb), 0.0);
  const MeshView v = view_of(m, nullptr, nullptr);
  for (int e = 1; e <= m.nelem; ++e) {
    const int b = r.bodies.body[e - 1] - 1;
    const ElementGeometry g = element_geometry(v, e);
    double x[3] = {0, 0, 0};
    for (int k = 1; k <= 3; ++k)
      for (int c = 0; c < 3; ++c) x[c] += m.x(m.node(e, k), c + 1) / 3.0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        first[9 * static_cast<std::size_t>(b) + 3 * i + j] -=
            g.area * (x[i] - r.reference[b][i]) * t[3 * static_cast<std::size_t>(e - 1) + j];
    if (slip != nullptr) {
      const double* u = slip + 3 * static_cast<std::size_t>(e - 1);
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          first[9 * static_cast<std::size_t>(b) + 3 * i + j] +=
              mu * g.area * (u[i] * g.normal[j] + g.normal[i] * u[j]);
    }
  }
  std::vector<double> s(first.size());
  for (int b = 0; b < nb; ++b) {
    const double* f = &first[9 * static_cast<std::size_t>(b)];
    const double tr = (f[0] + f[4] + f[8]) / 3.0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        s[9 * static_cast<std::size_t>(b) + 3 * i + j] =
            0.5 * (f[3 * i + j] + f[3 * j + i]) - (i == j ? tr : 0.0);
  }
  return s;
}

}  // namespace velmora::tools
