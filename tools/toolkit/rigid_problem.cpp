#include "toolkit/rigid_problem.hpp"

#include "bem/interior_point.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Winding number of body b's surface about p (normals into the body: 1
// inside, 0 outside).
double winding(const SurfaceMesh& m, const Bodies& bodies, int b, const Vec3& p) {
  std::vector<int> elems;
  for (int e = 1; e <= m.nelem; ++e)
    if (bodies.body[e - 1] == b) elems.push_back(e);
  return winding_number(view_of(m, nullptr, nullptr), elems, p.data());
}

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
    if (!(winding(m, r.bodies, b, c) > 0.5))
      throw ToolError(k + ": its centroid lies outside it, where the point force of the "
                          "method cannot sit");
    for (int i = 0; i < 3; ++i) r.centres[3 * (b - 1) + i] = c[i];
    r.reference.push_back(c);
  }
  return r;
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
