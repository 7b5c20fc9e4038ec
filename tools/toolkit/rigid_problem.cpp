#include "toolkit/rigid_problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "bem/interior_point.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Rays cast for the interior candidates of a body.  More rays and points
// (192 and 64) change the iterations of gmsh-doc's thin demo solids by
// less than the thin walls themselves do (pipe, thicksolid: 206 to 360).
constexpr int kRays = 48;

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
    if (!r.geometry[b - 1].closed) throw ToolError(k + " is not a closed surface");
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
    const std::vector<InteriorPoint> inside = interior_candidates(v, elems, kRays);
    const bool centroid_inside = winding_number(v, elems, c.data()) > 0.5;
    std::vector<Vec3> chosen;
    if (centroid_inside && (inside.empty() || distance_to_surface(v, elems, c.data()) >=
                                                  0.5 * inside.front().clearance)) {
      chosen.push_back(c);
    } else {
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
  return std::make_unique<RigidSolver>(m, r.bodies.body.data(), r.bodies.count, r.centres.data(),
                                       ctl, r.point_first, r.points);
}

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
                                    std::vector<SolveReport>& reports) {
  const std::size_t n6 = 6 * static_cast<std::size_t>(r.bodies.count);
  std::vector<double> mob(n6 * n6, 0.0), lc(n6), mc(n6), col(n6);
  for (std::size_t j = 0; j < n6; ++j) {
    std::vector<double> unit(n6, 0.0);
    unit[j] = 1.0;
    loads_to_centres(r, unit.data(), lc.data());
    reports.push_back(solver.mobility(lc.data(), mc.data()));
    motions_to_references(r, mc.data(), col.data());
    for (std::size_t i = 0; i < n6; ++i) mob[i * n6 + j] = col[i];
  }
  return mob;
}

}  // namespace velmora::tools
