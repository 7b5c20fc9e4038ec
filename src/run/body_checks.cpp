#include "run/body_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bem/mesh_check.hpp"
#include "common/constants.hpp"
#include "run/sanity.hpp"

namespace velmora {

std::vector<double> body_signed_volumes(const MeshView& mesh, const Bodies& bodies) {
  std::vector<double> vol(bodies.count, 0.0);
  for (int e = 1; e <= mesh.nelem; ++e) {
    const int b = bodies.of_element[e - 1];
    if (!bodies.closed[b]) continue;
    double x[3][3];
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c) x[v][c] = mesh.x(mesh.node(e, v + 1), c + 1);
    vol[b] += (x[0][0] * (x[1][1] * x[2][2] - x[1][2] * x[2][1]) +
               x[0][1] * (x[1][2] * x[2][0] - x[1][0] * x[2][2]) +
               x[0][2] * (x[1][0] * x[2][1] - x[1][1] * x[2][0])) /
              6.0;
  }
  return vol;
}

std::string orientation_warning(int body, bool declared_interior) {
  const std::string k = std::to_string(body);
  if (declared_interior)
    return " Warning: body " + k +
           " is declared a wall enclosing the fluid (interior flow), but its normals point into "
           "it, as for a body with the fluid outside; it is solved as such";
  return " Warning: the normals of body " + k +
         " point out of it, as for a wall with the fluid inside it (interior flow), and it is "
         "solved as such; if the fluid lies outside it, its elements run the wrong way round "
         "(velmora-mesh orients them; velmora-mesh --interior declares a wall)";
}

std::string flux_warning(int body, double flux, double share) {
  return " Warning: the velocity prescribed on the walls around the fluid of body " +
         std::to_string(body) + " carries a net flux of " + g3(flux) + " (" + g3(share) +
         " of the flow through them); the fluid enclosed there cannot be compressed, so no "
         "Stokes flow meets these conditions and the results describe none: balance the "
         "inflow and the outflow";
}

std::string gap_warning(int body_a, int body_b, double gap, double size) {
  return " Warning: bodies " + std::to_string(body_a) + " and " + std::to_string(body_b) +
         " come within " + g3(gap) + " of each other, closer than the size " + g3(size) +
         " of their elements there; a gap needs elements a third of it or smaller, or the "
         "flow through it is underresolved";
}

void check_bodies(const MeshView& mesh, const Bodies& bodies, const std::vector<int>& interior) {
  if (bodies.count == 0) return;
  const std::vector<double> vol = body_signed_volumes(mesh, bodies);
  std::vector<char> container(bodies.count, 0);
  for (int b = 0; b < bodies.count; ++b) {
    if (!bodies.closed[b]) continue;
    container[b] = vol[b] > 0.0 ? 1 : 0;
    const bool declared = std::binary_search(interior.begin(), interior.end(), b + 1);
    if (static_cast<bool>(container[b]) != declared) warn(orientation_warning(b + 1, declared));
  }

  // Net flux.  One container with every body closed around or in it: the
  // fluid between them all; several: each container alone, when nothing
  // else is in the mesh.  Only where every component of every element
  // concerned has its velocity prescribed (a traction lets fluid leave).
  const int containers = static_cast<int>(std::count(container.begin(), container.end(), 1));
  if (containers > 0) {
    std::vector<double> flux(bodies.count, 0.0), flow(bodies.count, 0.0);
    std::vector<char> all_velocity(bodies.count, 1);
    for (int e = 1; e <= mesh.nelem; ++e) {
      const int b = bodies.of_element[e - 1];
      const ElementGeometry g = element_geometry(mesh, e);
      double un = 0.0, speed = 0.0;
      for (int k = 1; k <= 3; ++k) {
        if (mesh.traction_prescribed(e, k)) all_velocity[b] = 0;
        un += mesh.value(e, k) * g.normal[k - 1];
        speed += mesh.value(e, k) * mesh.value(e, k);
      }
      flux[b] += g.area * un;
      flow[b] += g.area * std::sqrt(speed);
    }
    const bool all_closed = std::all_of(bodies.closed.begin(), bodies.closed.end(),
                                        [](char c) { return c != 0; });
    auto judge = [&](int body, double f, double total) {
      if (total > 0.0 && std::abs(f) > kFluxShare * total)
        warn(flux_warning(body, f, std::abs(f) / total));
    };
    if (containers == 1 && all_closed &&
        std::all_of(all_velocity.begin(), all_velocity.end(), [](char c) { return c != 0; })) {
      double f = 0.0, total = 0.0;
      for (int b = 0; b < bodies.count; ++b) f += flux[b], total += flow[b];
      const int wall = static_cast<int>(std::find(container.begin(), container.end(), 1) -
                                        container.begin());
      judge(wall + 1, f, total);
    } else if (containers == bodies.count) {
      for (int b = 0; b < bodies.count; ++b)
        if (all_velocity[b]) judge(b + 1, flux[b], flow[b]);
    }
  }

  if (bodies.count > 1) {
    const BodyGap g = closest_gap(mesh, bodies.of_element, kGapInSizes);
    if (g.found) {
      const int a = bodies.of_element[g.e - 1] + 1, b = bodies.of_element[g.f - 1] + 1;
      warn(gap_warning(std::min(a, b), std::max(a, b), g.gap, kGapInSizes * g.size));
    }
  }
}

}  // namespace velmora
