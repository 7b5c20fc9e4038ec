#include "toolkit/orientation_report.hpp"

#include <algorithm>

namespace velmora::tools {

std::vector<BodyOrientation> body_orientations(const SurfaceMesh& m, const Bodies& bodies) {
  // Orienting a copy tells how many elements it had to turn: in a
  // consistently oriented body none or all of them (the whole body turned
  // to face the fluid), otherwise the elements on one side of the seams
  // where neighbours disagree.
  SurfaceMesh copy = m;
  const std::vector<BodyCheck> checks = orient_for_exterior_flow(copy, bodies);
  std::vector<BodyOrientation> out(bodies.count);
  for (int b = 0; b < bodies.count; ++b) {
    const BodyCheck& c = checks[b];
    BodyOrientation& o = out[b];
    o.closed_surface = c.open_edges == 0 && c.nonmanifold_edges == 0;
    o.orientable = c.orientable;
    o.against = std::min(c.flipped, c.nelem - c.flipped);
    // orient_for_exterior_flow leaves a closed body with a negative signed
    // volume; turning all of its elements back gives the original sign.
    o.signed_volume = c.flipped == c.nelem ? -c.signed_volume : c.signed_volume;
  }
  return out;
}

std::string inconsistency_note(const BodyOrientation& o) {
  if (!o.closed_surface || !o.orientable || o.against == 0) return std::string();
  return "closed but inconsistently oriented: " + std::to_string(o.against) +
         (o.against == 1 ? " element runs against its neighbours"
                         : " elements run against their neighbours") +
         "; velmora-mesh input.dat repairs it";
}

std::string flow_side_warning(int body, const BodyOrientation& o, const ModelNotes& notes) {
  if (!o.closed_and_consistent() || o.signed_volume == 0) return std::string();
  const std::string k = "body " + std::to_string(body) + ": ";
  const bool interior = notes.is_interior(body);
  if (!interior && o.signed_volume > 0)
    return k +
           "its normals point out of it, as for fluid inside it (interior flow), but input.dat "
           "declares exterior flow; if the fluid lies outside it, reorient it with velmora-mesh "
           "input.dat; if the fluid fills it, list it on the notes' interior line";
  if (interior && o.signed_volume < 0)
    return k +
           "its normals point into it, as for fluid outside it (exterior flow), but input.dat "
           "declares it interior (fluid inside); if the fluid fills it, reorient it with "
           "velmora-mesh input.dat; if the fluid lies outside, take it off the notes' interior "
           "line";
  return std::string();
}

}  // namespace velmora::tools
